// Command line of zpr_exporter.  Every option is checked strictly: an
// unknown option, a bad number or two modes at once is a usage error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "runtime/status.h"

// Not in the 9100-9999 range of the exporters' port list (full), nor any
// port /etc/services names, nor the kernel's ephemeral range.
inline constexpr uint16_t EXPORTER_DEFAULT_PORT = 10909;
inline constexpr uint32_t EXPORTER_DEFAULT_INTERVAL_S = 15;
inline constexpr size_t EXPORTER_MAX_TRUSTED_USERS = 16;

enum ExporterMode : uint8_t { MODE_LISTEN, MODE_TEXTFILE, MODE_ONCE };
enum ExporterFormat : uint8_t { FORMAT_PROMETHEUS, FORMAT_JSON };

struct ExporterOptions {
  ExporterMode mode;
  ExporterFormat format;
  char listen[128];        // civetweb's "ADDR:PORT", "[ADDR6]:PORT" or "PORT"
  const char *listen_text; // as given (points into argv), or the default
  const char *textfile;    // points into argv
  const char *state_file;  // null: last runs kept in memory only
  uint32_t interval_s;     // textfile rewrite period
  uid_t trusted_users[EXPORTER_MAX_TRUSTED_USERS]; // owners whose records count besides
  size_t trusted_user_count;                       // root and the exporter's own user
  bool help;
  bool version;
};

// Parses argv.  On ST_INVAL writes a reason (without "error: ") into why.
StatusCode exporter_parse_args(int argc, char **argv, ExporterOptions *out, char *why,
                               unsigned why_size);

// The suite's unknown-option warnings for argv (for --version and
// --selftest, which end the program before the strict parse); their count.
int exporter_warn_unknown(int argc, char **argv);

void exporter_print_help();
