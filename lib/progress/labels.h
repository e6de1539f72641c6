// Texts for a record's fields, shared by the monitor and the exporter.
#pragma once

#include <cstddef>
#include <cstdint>

// "agent", "restore", "proxmox", "xenV", "pve-rst", "xenV-rst", or "?".
const char *tool_label(uint8_t tool);

// "FULL", "DIFF", "INC", or "?".
const char *type_label(uint8_t backup_type);

// "%.1f %s" in B, KiB, MiB, GiB or TiB (at most four divisions by 1024).
// Writes into buf (32 bytes suffice) and returns buf.
const char *format_bytes(uint64_t value, char *buf, size_t size);

// "%02llu:%02llu:%02llu" hours:minutes:seconds; hours are not wrapped.
// Writes into buf (24 bytes suffice) and returns buf.
const char *format_hms(uint64_t ms, char *buf, size_t size);

// Room printable_text needs for a field of `field` bytes: at most four
// characters per byte ("M-^X") and the terminator.
constexpr size_t printable_size(size_t field) { return 4 * field + 1; }

// Copies a character field of another process's record into dst as
// printable ASCII, up to its terminating zero or the field's end: control
// bytes as ^X, bytes above 127 as M-x.  dst has printable_size(size) bytes.
const char *printable_text(const char *field, size_t size, char *dst);
