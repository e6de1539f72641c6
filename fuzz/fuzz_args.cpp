// Argument vectors (NUL-separated, at most 64, argv[0] fixed) through option lookup,
// unknown-option check and mask reading.  The run log's warnings (--no-log --no-syslog) go to
// standard error only: use -close_fd_mask=2.
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

// A flag is set exactly when an argument is its long or short form.
static bool present(const OptionSpec *e, int argc, char **argv) {
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], e->long_name) == 0 ||
        (e->short_name != nullptr && strcmp(argv[i], e->short_name) == 0))
      return true;
  return false;
}

// A value handed back is the default or lies inside one argument.
static void check_value(const char *value, const char *def, int argc, char **argv) {
  for (int i = 1; i < argc && value != def; i++)
    if (value >= argv[i] && value <= argv[i] + strlen(argv[i]))
      return;
  if (value != def)
    abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static char a0[] = "fuzz_args";
  static char a1[] = "--no-log";
  static char a2[] = "--no-syslog";
  static char *argv[] = {a0, a1, a2, nullptr};
  log_init("fuzz_args", LVL_ERROR);
  runlog_init(3, argv, "zpr_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Each argument a heap block of exactly its length and NUL, so a read past it is caught.
  static char program[] = "zpr_monitor";
  static char def[] = "default";
  char *argv[66] = {program};
  int argc = 1;
  for (size_t i = 0, start = 0; i <= size && argc <= 64; i++)
    if (i == size || data[i] == 0) {
      argv[argc] = static_cast<char *>(calloc(i - start + 1, 1));
      memcpy(argv[argc++], data + start, i - start);
      start = i + 1;
    }
  for (const OptionSpec *table : {monitor_options, common_options, runlog_options})
    for (const OptionSpec *e = table; e->long_name != nullptr; e++) {
      check_value(opt_value(argc, argv, e->long_name, e->short_name, def), def, argc, argv);
      if (opt_flag(argc, argv, e->long_name, e->short_name) != present(e, argc, argv))
        abort();
      for (int i = 1; i < argc; i++) { // a match names the argument; no match writes no value
        const char *value = def;
        const OptionSpec *m = opt_match(table, argv[i], &value);
        if (m == nullptr ? value != def
                         : strncmp(argv[i], m->long_name, strlen(m->long_name)) != 0 &&
                               (m->short_name == nullptr || strcmp(argv[i], m->short_name) != 0))
          abort();
        check_value(value == nullptr ? def : value, def, argc, argv);
      }
    }
  (void)runlog_parse_mask("--log", opt_value(argc, argv, "--log", nullptr, nullptr));
  for (int positional = 0; positional <= 2; positional++) {
    int warnings =
        opt_check_unknown(argc, argv, positional == 2 ? nullptr : monitor_options, positional);
    if (warnings < 0 || warnings >= argc)
      abort();
  }
  for (int i = 1; i < argc; i++)
    free(argv[i]);
  return 0;
}
