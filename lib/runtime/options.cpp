#include "runtime/options.h"

#include <cstring>

namespace {

bool names_option(const char *arg, const char *long_name, const char *short_name,
                  const char **inline_value) {
  *inline_value = nullptr;
  if (long_name != nullptr) {
    size_t n = strlen(long_name);
    if (strncmp(arg, long_name, n) == 0) {
      if (arg[n] == '\0')
        return true;
      if (arg[n] == '=') {
        *inline_value = arg + n + 1;
        return true;
      }
    }
  }
  return short_name != nullptr && strcmp(arg, short_name) == 0;
}

} // namespace

const char *opt_value(int argc, char **argv, const char *long_name, const char *short_name,
                      const char *def) {
  if (argc <= 1 || (long_name == nullptr && short_name == nullptr))
    return def;
  for (int i = 1; i < argc; i++) {
    const char *inline_value;
    if (argv[i] == nullptr || !names_option(argv[i], long_name, short_name, &inline_value))
      continue;
    if (inline_value != nullptr)
      return inline_value;
    return i + 1 < argc && argv[i + 1] != nullptr ? argv[i + 1] : def;
  }
  return def;
}

int opt_flag(int argc, char **argv, const char *long_name, const char *short_name) {
  for (int i = 1; i < argc; i++) {
    if (argv[i] == nullptr)
      continue;
    if (long_name != nullptr && strcmp(argv[i], long_name) == 0)
      return 1;
    if (short_name != nullptr && strcmp(argv[i], short_name) == 0)
      return 1;
  }
  return 0;
}
