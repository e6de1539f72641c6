#include "monitor/labels.h"

#include <cstdio>

namespace {

constexpr const char *TOOL_LABELS[] = {"agent", "restore", "proxmox", "xenV", "pve-rst", "xenV-rst"};
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
