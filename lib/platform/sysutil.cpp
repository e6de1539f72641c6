#include "platform/sysutil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/sysutil_internal.h"

namespace {

constexpr size_t kDirsBufferSize = 1100;
constexpr size_t kPrettyNameSize = 160;
constexpr size_t kLineBufferSize = 256;
constexpr char kPrettyKey[] = "PRETTY_NAME=";
constexpr size_t kPrettyKeyLength = sizeof kPrettyKey - 1;

constexpr long kIoprioWhoProcess = 1;
constexpr long kIoprioClassBestEffort = 2;
constexpr long kIoprioClassShift = 13;
constexpr long kIoprioLowestLevel = 7;
constexpr long kIoprioBackground = kIoprioClassBestEffort << kIoprioClassShift | kIoprioLowestLevel;
static_assert(kIoprioBackground == 16391);
static_assert(SYS_ioprio_set == 251, "ioprio_set is system call 251 on x86-64");

static_assert(static_cast<long long>(SLEEP_MS_MAX) * 1000 <= INT32_MAX,
              "the longest sleep must fit usleep's 32-bit microsecond count");

// The last step shared by make_dir and make_dirs: mkdir, where an existing
// directory counts as success and an existing anything else does not.
StatusCode mkdir_final(const char *path) {
  if (mkdir(path, 0777) == 0)
    return ST_OK;
  int err = errno;
  if (err != EEXIST)
    return status_from_errno(err);
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
    return ST_OK;
  return ST_EXISTS;
}

// The value of a PRETTY_NAME line (the text after the key) as the pretty
// name: line endings dropped, one pair of enclosing double quotes removed,
// at most 159 characters kept.
void take_pretty_name(const char *value, char *pretty, size_t size) {
  size_t len = strlen(value);
  while (len > 0 && (value[len - 1] == '\n' || value[len - 1] == '\r'))
    len--;
  if (len >= 2 && value[0] == '"' && value[len - 1] == '"') {
    value++;
    len -= 2;
  }
  snprintf(pretty, size, "%.*s", static_cast<int>(len), value);
}

// Reads the pretty name from an os-release file; empty when the file is
// missing or names none.  Only the first piece of a line longer than the
// line buffer is examined: the pieces after it are not lines of their own.
void read_pretty_name(const char *path, char *pretty, size_t size) {
  pretty[0] = '\0';
  FILE *file = fopen(path, "r");
  if (file == nullptr)
    return;
  char line[kLineBufferSize];
  bool at_line_start = true;
  while (fgets(line, sizeof line, file) != nullptr) {
    bool begins_line = at_line_start;
    at_line_start = strchr(line, '\n') != nullptr;
    if (begins_line && strncmp(line, kPrettyKey, kPrettyKeyLength) == 0) {
      take_pretty_name(line + kPrettyKeyLength, pretty, size);
      break;
    }
  }
  fclose(file);
}

} // namespace

int path_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? 1 : 0;
}

StatusCode make_dir(const char *path) {
  if (path == nullptr)
    return ST_INVAL;
  return mkdir_final(path);
}

StatusCode make_dirs(const char *path) {
  // Formatting a null path would create a directory named "(null)".
  if (path == nullptr)
    return ST_INVAL;
  char work[kDirsBufferSize];
  snprintf(work, sizeof work, "%s", path);
  // Every '/' after the first character ends one level; the results of
  // these steps are left to the final mkdir to reveal.
  for (char *p = work + (work[0] != '\0' ? 1 : 0); *p != '\0'; p++) {
    if (*p != '/')
      continue;
    *p = '\0';
    mkdir(work, 0777);
    *p = '/';
  }
  return mkdir_final(work);
}

int64_t online_cpu_count() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? count : 1;
}

StatusCode host_name(char *buf, size_t size) {
  if (buf == nullptr || size == 0)
    return ST_INVAL;
  if (gethostname(buf, size) != 0)
    return status_from_errno(errno);
  buf[size - 1] = '\0';
  return ST_OK;
}

int os_description_from(const char *os_release_path, char *buf, size_t size) {
  struct utsname names;
  if (uname(&names) != 0) {
    snprintf(buf, size, "%s", "unknown");
    return 0;
  }
  char pretty[kPrettyNameSize];
  read_pretty_name(os_release_path, pretty, sizeof pretty);
  if (pretty[0] != '\0')
    snprintf(buf, size, "%s (%s %s)", pretty, names.sysname, names.release);
  else
    snprintf(buf, size, "%s %s", names.sysname, names.release);
  return 0;
}

int os_description(char *buf, size_t size) {
  return os_description_from("/etc/os-release", buf, size);
}

StatusCode free_space_bytes(const char *path, uint64_t *bytes) {
  if (path == nullptr || bytes == nullptr)
    return ST_INVAL;
  struct statvfs fs;
  if (statvfs(path, &fs) != 0)
    return status_from_errno(errno);
  *bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return ST_OK;
}

unsigned int sleep_ms_micros(int ms) {
  if (ms <= 0)
    return 0;
  if (ms > SLEEP_MS_MAX)
    ms = SLEEP_MS_MAX;
  return static_cast<unsigned int>(ms) * 1000u;
}

int sleep_ms(int ms) { return usleep(sleep_ms_micros(ms)); }

long lower_priority() {
  // The new niceness is of no interest; -1 is also a valid result of nice.
  [[maybe_unused]] int ignored = nice(10);
  return syscall(SYS_ioprio_set, kIoprioWhoProcess, 0L, kIoprioBackground);
}
