#include "progress/labels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string bytes(uint64_t v) {
  char buf[32];
  return format_bytes(v, buf, sizeof buf);
}

std::string hms(uint64_t ms) {
  char buf[24];
  return format_hms(ms, buf, sizeof buf);
}

TEST(Labels, ByteSizesStepThroughBinaryUnitsUpToTiB) {
  EXPECT_EQ(bytes(0), "0.0 B");
  EXPECT_EQ(bytes(1023), "1023.0 B");
  EXPECT_EQ(bytes(1024), "1.0 KiB");
  EXPECT_EQ(bytes(1536), "1.5 KiB");
  EXPECT_EQ(bytes(1048576), "1.0 MiB");
  EXPECT_EQ(bytes(3ull << 30), "3.0 GiB");
  EXPECT_EQ(bytes(1ull << 40), "1.0 TiB");
  // No unit beyond TiB: values keep growing in it.
  EXPECT_EQ(bytes(1ull << 50), "1024.0 TiB");
  EXPECT_EQ(bytes(UINT64_MAX), "16777216.0 TiB");
}

TEST(Labels, ByteSizeIsCutToTheBuffer) {
  char buf[6];
  EXPECT_STREQ(format_bytes(1536, buf, sizeof buf), "1.5 K");
}

TEST(Labels, TimesAreHoursMinutesSecondsWithUnwrappedHours) {
  EXPECT_EQ(hms(0), "00:00:00");
  EXPECT_EQ(hms(999), "00:00:00");
  EXPECT_EQ(hms(3725000), "01:02:05");
  EXPECT_EQ(hms(100ull * 3600000), "100:00:00");
  EXPECT_EQ(hms(UINT64_MAX), "5124095576030:25:51");
}

TEST(Labels, ToolAndTypeTextsWithUnknownValues) {
  const char *tools[] = {"agent", "restore", "proxmox", "xenV", "pve-rst", "xenV-rst"};
  for (uint8_t t = 0; t < 6; t++)
    EXPECT_STREQ(tool_label(t), tools[t]);
  EXPECT_STREQ(tool_label(6), "?");
  EXPECT_STREQ(tool_label(255), "?");
  EXPECT_STREQ(type_label(0), "FULL");
  EXPECT_STREQ(type_label(1), "DIFF");
  EXPECT_STREQ(type_label(2), "INC");
  EXPECT_STREQ(type_label(3), "?");
  EXPECT_STREQ(type_label(255), "?");
}

} // namespace

TEST(PrintableText, StopsAtTheZeroOrTheFieldEndAndEscapesEveryOtherByte) {
  char out[printable_size(8)];
  const char terminated[8] = {'a', '\n', 'b', '\0', 'x', 'x', 'x', 'x'};
  EXPECT_STREQ(printable_text(terminated, sizeof terminated, out), "a^Jb");
  const char unterminated[8] = {'\x1b', '[', '\x7f', '\x80', '\xff', 'z', 'z', 'z'};
  EXPECT_STREQ(printable_text(unterminated, sizeof unterminated, out), "^[[^?M-^@M-^?zzz");
  const char worst[8] = {'\x81', '\x81', '\x81', '\x81', '\x81', '\x81', '\x81', '\x81'};
  EXPECT_EQ(strlen(printable_text(worst, sizeof worst, out)), sizeof out - 1);
}
