#include "progress/labels.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *TOOL_LABELS[] = {"agent", "restore", "proxmox",
                                       "xenV",  "pve-rst", "xenV-rst"};
constexpr const char *TYPE_LABELS[] = {"FULL", "DIFF", "INC"};
constexpr const char *BYTE_UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB"};

template <size_t N> const char *label_of(const char *const (&table)[N], uint8_t value) {
  return value < N ? table[value] : "?";
}

} // namespace

const char *tool_label(uint8_t tool) { return label_of(TOOL_LABELS, tool); }

const char *type_label(uint8_t backup_type) { return label_of(TYPE_LABELS, backup_type); }

const char *format_bytes(uint64_t value, char *buf, size_t size) {
  double v = static_cast<double>(value);
  size_t unit = 0;
  // TiB is the largest unit: larger values keep growing in TiB.
  while (unit + 1 < sizeof BYTE_UNITS / sizeof BYTE_UNITS[0] && v >= 1024.0) {
    v /= 1024.0;
    unit++;
  }
  snprintf(buf, size, "%.1f %s", v, BYTE_UNITS[unit]);
  return buf;
}

const char *format_hms(uint64_t ms, char *buf, size_t size) {
  snprintf(buf, size, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(ms / 3600000),
           static_cast<unsigned long long>(ms / 60000 % 60),
           static_cast<unsigned long long>(ms / 1000 % 60));
  return buf;
}

// Copies a character field of another process's record into dst as
// printable ASCII: it stops at the terminating zero or at the field's end,
// whichever comes first, and shows control bytes as ^X and bytes above 127
// as M-x, so that nothing a writer stored reaches the terminal raw (an
// escape sequence in a job name could otherwise clear or retitle it).
const char *printable_text(const char *field, size_t size, char *dst) {
  size_t out = 0;
  const size_t len = strnlen(field, size);
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(field[i]);
    if (c >= 0x80) {
      dst[out++] = 'M';
      dst[out++] = '-';
      c &= 0x7f;
    }
    if (c < 0x20 || c == 0x7f) {
      dst[out++] = '^';
      dst[out++] = static_cast<char>(c ^ 0x40);
    } else {
      dst[out++] = static_cast<char>(c);
    }
  }
  dst[out] = '\0';
  return dst;
}
