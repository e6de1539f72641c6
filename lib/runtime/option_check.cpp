#include "runtime/option_check.h"

#include <cstring>

#include "runtime/log.h"
#include "runtime/runlog.h"

const OptionSpec common_options[] = {
    {"--help", "-h", 0},
    {"--version", nullptr, 0},
    {"--selftest", nullptr, 0},
    {nullptr, nullptr, 0},
};

const OptionSpec runlog_options[] = {
    {"--no-syslog", nullptr, 0}, {"--no-log", nullptr, 0},   {"--syslog", nullptr, 1},
    {"--log", nullptr, 1},       {"--log-path", nullptr, 1}, {nullptr, nullptr, 0},
};

namespace {

enum Warning { W_POSITIONAL, W_UNKNOWN_INLINE, W_UNKNOWN_WITH_VALUE, W_UNKNOWN };

constexpr const char *kWarningFormats[] = {
    "unexpected argument '%.*s' ignored",
    "unknown option '%.*s=...' ignored",
    "unknown option '%.*s' ignored (with the value after it)",
    "unknown option '%.*s' ignored",
};

// Sends one warning, naming the first length characters of text, to the
// console and to the run log.
void warn(Warning kind, const char *text, size_t length) {
  const char *format = kWarningFormats[kind];
  int shown = static_cast<int>(length);
  log_msg(LVL_WARN, format, shown, text);
  runlog_msg(static_cast<int>(RUNLOG_STARTSTOP), format, shown, text);
}

// The entry of the tables in force that arg names, or null.
const OptionSpec *lookup(const OptionSpec *table, const char *arg, const char **value) {
  const OptionSpec *entry = opt_match(table, arg, value);
  if (entry == nullptr)
    entry = opt_match(common_options, arg, value);
  if (entry == nullptr && runlog_active())
    entry = opt_match(runlog_options, arg, value);
  return entry;
}

} // namespace

const OptionSpec *opt_match(const OptionSpec *table, const char *arg, const char **value_out) {
  if (table == nullptr || arg == nullptr)
    return nullptr;
  for (const OptionSpec *entry = table; entry->long_name != nullptr; entry++) {
    size_t n = strlen(entry->long_name);
    if (strncmp(arg, entry->long_name, n) == 0) {
      if (arg[n] == '\0') {
        *value_out = nullptr;
        return entry;
      }
      // A switch given "=value" is not this option, and its short alias
      // is not tried either.
      if (arg[n] == '=') {
        if (entry->takes_value) {
          *value_out = arg + n + 1;
          return entry;
        }
        continue;
      }
    }
    if (entry->short_name != nullptr && strcmp(arg, entry->short_name) == 0) {
      *value_out = nullptr;
      return entry;
    }
  }
  return nullptr;
}

int opt_check_unknown(int argc, char **argv, const OptionSpec *table, int max_positional) {
  if (argc < 2)
    return 0;
  int count = 0;
  int positional_seen = 0;
  int i = 1;
  while (i < argc) {
    const char *arg = argv[i] != nullptr ? argv[i] : "";
    if (strcmp(arg, "--") == 0)
      break;

    if (arg[0] != '-' || arg[1] == '\0') {
      if (positional_seen >= max_positional) {
        warn(W_POSITIONAL, arg, strlen(arg));
        count++;
      }
      positional_seen++;
      i++;
      continue;
    }

    const char *value = nullptr;
    const OptionSpec *entry = lookup(table, arg, &value);
    if (entry != nullptr) {
      if (!entry->takes_value || value != nullptr) {
        i++;
        continue;
      }
      // The value is the next argument, whatever it holds.
      if (i + 1 >= argc)
        break;
      i += 2;
      continue;
    }

    const char *equals = strchr(arg, '=');
    if (equals != nullptr) {
      warn(W_UNKNOWN_INLINE, arg, static_cast<size_t>(equals - arg));
      i++;
    } else if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
      warn(W_UNKNOWN_WITH_VALUE, arg, strlen(arg));
      i += 2;
    } else {
      warn(W_UNKNOWN, arg, strlen(arg));
      i++;
    }
    count++;
  }
  return count;
}
