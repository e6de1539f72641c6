// Argument vectors through the option lookup, the unknown-option check and
// the run log's option reading.
//
// Input: the arguments separated by NUL bytes (argv[0] is fixed), at most
// 64 of them.  The console logger is held at ERROR and the run log is
// started once with --no-log --no-syslog, so the check's warnings go
// nowhere and nothing opens /var/log or syslog; run with -close_fd_mask=2
// to silence the run log's own "invalid mask" lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "monitor/monitor_options.h"
#include "runtime/log.h"
#include "runtime/option_check.h"
#include "runtime/options.h"
#include "runtime/runlog.h"
#include "runtime/runlog_internal.h"

namespace {

constexpr int MAX_ARGS = 64;

void check(bool ok) {
  if (!ok)
    abort();
}

// A value handed back must be the default or lie inside one argument.
void check_value(const char *value, const char *def, int argc, char **argv, size_t *lengths) {
  if (value == def)
    return;
  for (int i = 1; i < argc; i++)
    if (value >= argv[i] && value <= argv[i] + lengths[i])
      return;
  abort();
}

const OptionSpec *const kTables[] = {monitor_options, common_options, runlog_options};

// A plain restatement of the matching and check-pass rules, for a second
// opinion on every input.
const OptionSpec *model_match(const OptionSpec *table, const char *arg, const char **value) {
  for (const OptionSpec *e = table; e->long_name != nullptr; e++) {
    const size_t n = strlen(e->long_name);
    if (strlen(arg) >= n && memcmp(arg, e->long_name, n) == 0) {
      if (arg[n] == '\0') {
        *value = nullptr;
        return e;
      }
      if (arg[n] == '=') {
        if (e->takes_value) {
          *value = arg + n + 1;
          return e;
        }
        continue;
      }
    }
    if (e->short_name != nullptr && strcmp(arg, e->short_name) == 0) {
      *value = nullptr;
      return e;
    }
  }
  return nullptr;
}

int model_warnings(int argc, char **argv, int max_positional) {
  int count = 0, positional = 0, i = 1;
  while (i < argc) {
    const char *a = argv[i];
    if (strcmp(a, "--") == 0)
      break;
    if (a[0] != '-' || a[1] == '\0') {
      count += positional >= max_positional;
      positional++;
      i++;
      continue;
    }
    const char *value = nullptr;
    const OptionSpec *entry = nullptr;
    for (const OptionSpec *table : kTables)
      if (entry == nullptr)
        entry = model_match(table, a, &value);
    if (entry != nullptr) {
      if (!entry->takes_value || value != nullptr) {
        i++;
        continue;
      }
      if (i + 1 >= argc)
        break;
      i += 2;
      continue;
    }
    count++;
    i += strchr(a, '=') == nullptr && i + 1 < argc && argv[i + 1][0] != '-' ? 2 : 1;
  }
  return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  log_init("fuzz_args", LVL_ERROR);
  static char a0[] = "fuzz_args", a1[] = "--no-log", a2[] = "--no-syslog";
  static char *argv[] = {a0, a1, a2, nullptr};
  runlog_init(3, argv, "zpr_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One heap block per argument, exactly its length plus the NUL, so a
  // read past an argument is caught.
  char *argv[MAX_ARGS + 2];
  size_t lengths[MAX_ARGS + 2];
  static char program[] = "zpr_monitor";
  argv[0] = program;
  lengths[0] = sizeof program - 1;
  int argc = 1;
  size_t start = 0;
  for (size_t i = 0; i <= size && argc <= MAX_ARGS; i++) {
    if (i < size && data[i] != 0)
      continue;
    size_t len = i - start;
    argv[argc] = static_cast<char *>(malloc(len + 1));
    memcpy(argv[argc], data + start, len);
    argv[argc][len] = '\0';
    lengths[argc] = len;
    argc++;
    start = i + 1;
  }
  argv[argc] = nullptr;

  static const char def[] = "default";
  for (const OptionSpec *table : kTables) {
    for (const OptionSpec *entry = table; entry->long_name != nullptr; entry++) {
      const char *v = opt_value(argc, argv, entry->long_name, entry->short_name, def);
      check_value(v, def, argc, argv, lengths);
      int flag = opt_flag(argc, argv, entry->long_name, entry->short_name);
      check(flag == 0 || flag == 1);
      for (int i = 1; i < argc; i++) {
        const char *inline_value = nullptr;
        const OptionSpec *m = opt_match(table, argv[i], &inline_value);
        const char *model_value = nullptr;
        const OptionSpec *model = model_match(table, argv[i], &model_value);
        check(m == model);
        if (m != nullptr) {
          check(inline_value == model_value);
          if (inline_value != nullptr)
            check_value(inline_value, nullptr, argc, argv, lengths);
        }
      }
    }
  }
  // The run log's reading of its options, as runlog_init does it.
  (void)runlog_parse_mask("--syslog", opt_value(argc, argv, "--syslog", nullptr, nullptr));
  (void)runlog_parse_mask("--log", opt_value(argc, argv, "--log", nullptr, nullptr));
  static const char log_dir[] = "/var/log/zpr/";
  check_value(opt_value(argc, argv, "--log-path", nullptr, log_dir), log_dir, argc, argv, lengths);

  for (int positional = 0; positional <= 2; positional++) {
    int warnings = opt_check_unknown(argc, argv, monitor_options, positional);
    check(warnings >= 0 && warnings < argc);
    check(warnings == model_warnings(argc, argv, positional));
  }
  (void)opt_check_unknown(argc, argv, nullptr, 0);

  for (int i = 1; i < argc; i++)
    free(argv[i]);
  return 0;
}
