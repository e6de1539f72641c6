// Argument vectors (NUL-separated, at most 64, argv[0] fixed) through the
// option lookup, the unknown-option check and the run log's option
// reading.  The console logger is held at ERROR and the run log started
// with --no-log --no-syslog; run with -close_fd_mask=2.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "monitor/monitor_options.h"
#include "runtime/log.h"
#include "runtime/option_check.h"
#include "runtime/options.h"
#include "runtime/runlog.h"
#include "runtime/runlog_internal.h"

namespace {

// A value handed back is the default or lies inside one argument.
void check_value(const char *value, const char *def, int argc, char **argv) {
  for (int i = 1; i < argc && value != def; i++)
    if (value >= argv[i] && value <= argv[i] + strlen(argv[i]))
      return;
  if (value != def)
    abort();
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
  char *argv[66];
  static char program[] = "zpr_monitor";
  argv[0] = program;
  int argc = 1;
  for (size_t i = 0, start = 0; i <= size && argc <= 64; i++) {
    if (i < size && data[i] != 0)
      continue;
    argv[argc] = static_cast<char *>(malloc(i - start + 1));
    memcpy(argv[argc], data + start, i - start);
    argv[argc++][i - start] = '\0';
    start = i + 1;
  }
  argv[argc] = nullptr;

  static const char def[] = "default";
  for (const OptionSpec *table : {monitor_options, common_options, runlog_options})
    for (const OptionSpec *entry = table; entry->long_name != nullptr; entry++) {
      check_value(opt_value(argc, argv, entry->long_name, entry->short_name, def), def, argc, argv);
      if (opt_flag(argc, argv, entry->long_name, entry->short_name) > 1)
        abort();
      for (int i = 1; i < argc; i++) { // a match names the argument; no match writes no value
        const char *value = def;
        const OptionSpec *m = opt_match(table, argv[i], &value);
        if (m == nullptr ? value != def : strncmp(argv[i], m->long_name, strlen(m->long_name)) != 0 &&
                                              (m->short_name == nullptr || strcmp(argv[i], m->short_name) != 0))
          abort();
        check_value(value == nullptr ? def : value, def, argc, argv);
      }
    }
  (void)runlog_parse_mask("--syslog", opt_value(argc, argv, "--syslog", nullptr, nullptr));
  (void)runlog_parse_mask("--log", opt_value(argc, argv, "--log", nullptr, nullptr));
  for (int positional = 0; positional <= 2; positional++) {
    int warnings = opt_check_unknown(argc, argv, positional == 2 ? nullptr : monitor_options, positional);
    if (warnings < 0 || warnings >= argc)
      abort();
  }
  for (int i = 1; i < argc; i++)
    free(argv[i]);
  return 0;
}
