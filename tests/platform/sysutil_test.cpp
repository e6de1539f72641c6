#include "platform/sysutil.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "platform/sysutil_internal.h"
#include "runtime/clock.h"
#include "support/test_support.h"

namespace {

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs fn in a forked child and returns its exit code (-1 when it did not
// exit normally).  For cases that change process-wide state.
int in_child(const std::function<int()> &fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0)
    _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// Changes into dir for the lifetime of the object.
struct ScopedCwd {
  int saved;
  explicit ScopedCwd(const std::string &dir) : saved(open(".", O_RDONLY | O_DIRECTORY)) {
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~ScopedCwd() {
    EXPECT_EQ(fchdir(saved), 0);
    close(saved);
  }
};

std::string uname_part() {
  struct utsname names;
  EXPECT_EQ(uname(&names), 0);
  return std::string(names.sysname) + " " + names.release;
}

// os_description_from on an os-release file holding text.
std::string describe(const zt::TempDir &dir, const std::string &text) {
  std::string path = dir.path + "/os-release";
  zt::write_file(path, text);
  char buf[512];
  EXPECT_EQ(os_description_from(path.c_str(), buf, sizeof buf), 0);
  return buf;
}

} // namespace

TEST(PathExists, FollowsLinks) {
  zt::TempDir dir;
  std::string file = dir.path + "/f";
  zt::write_file(file, "x");
  ASSERT_EQ(symlink("missing", (dir.path + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("f", (dir.path + "/good").c_str()), 0);
  EXPECT_EQ(path_exists(dir.path.c_str()), 1);
  EXPECT_EQ(path_exists(file.c_str()), 1);
  EXPECT_EQ(path_exists((dir.path + "/good").c_str()), 1);
  EXPECT_EQ(path_exists((dir.path + "/dangling").c_str()), 0);
  EXPECT_EQ(path_exists((dir.path + "/none").c_str()), 0);
}

TEST(MakeDir, ResultsByWhatIsThere) {
  zt::TempDir dir;
  std::string fresh = dir.path + "/new";
  EXPECT_EQ(make_dir(fresh.c_str()), ST_OK);
  EXPECT_TRUE(is_dir(fresh));
  EXPECT_EQ(make_dir(fresh.c_str()), ST_OK);

  std::string file = dir.path + "/file";
  zt::write_file(file, "x");
  EXPECT_EQ(make_dir(file.c_str()), ST_EXISTS);

  std::string dangling = dir.path + "/dangling";
  ASSERT_EQ(symlink("nowhere", dangling.c_str()), 0);
  EXPECT_EQ(make_dir(dangling.c_str()), ST_EXISTS);

  EXPECT_EQ(make_dir((dir.path + "/missing/child").c_str()), ST_NOTFOUND);
  EXPECT_FALSE(path_exists((dir.path + "/missing").c_str()));
}

TEST(MakeDir, PermissionDenialIsAnIoFailure) {
  zt::TempDir dir;
  ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
  std::string target = dir.path + "/denied";
  int code = in_child([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      return 100;
    return -make_dir(target.c_str());
  });
  EXPECT_EQ(code, -ST_IO);
  EXPECT_FALSE(path_exists(target.c_str()));
}

TEST(MakeDirs, CreatesEveryLevel) {
  zt::TempDir dir;
  std::string nested = dir.path + "/a/b/c";
  EXPECT_EQ(make_dirs(nested.c_str()), ST_OK);
  EXPECT_TRUE(is_dir(nested));
  EXPECT_EQ(make_dirs(nested.c_str()), ST_OK);

  std::string trailing = dir.path + "/x/y/";
  EXPECT_EQ(make_dirs(trailing.c_str()), ST_OK);
  EXPECT_TRUE(is_dir(dir.path + "/x/y"));
  EXPECT_EQ(make_dirs(trailing.c_str()), ST_OK);
}

TEST(MakeDirs, RelativePathWithDoubledSeparator) {
  zt::TempDir dir;
  ScopedCwd cwd(dir.path);
  EXPECT_EQ(make_dirs("a//b"), ST_OK);
  EXPECT_TRUE(is_dir(dir.path + "/a/b"));
}

TEST(MakeDirs, FileInTheMiddle) {
  zt::TempDir dir;
  zt::write_file(dir.path + "/plain", "x");
  EXPECT_EQ(make_dirs((dir.path + "/plain/sub/leaf").c_str()), ST_IO);
  std::string existing_file = dir.path + "/plain";
  EXPECT_EQ(make_dirs(existing_file.c_str()), ST_EXISTS);
}

TEST(MakeDirs, RootAndEmpty) {
  EXPECT_EQ(make_dirs("/"), ST_OK);
  EXPECT_EQ(make_dirs(""), ST_NOTFOUND);
}

TEST(MakeDirs, NullPathCreatesNothing) {
  zt::TempDir dir;
  ScopedCwd cwd(dir.path);
  EXPECT_EQ(make_dirs(nullptr), ST_INVAL);
  EXPECT_EQ(make_dir(nullptr), ST_INVAL);
  EXPECT_FALSE(path_exists("(null)"));
}

TEST(MakeDirs, LongPathIsCutAt1099Characters) {
  zt::TempDir dir;
  // Levels of 99 characters each, so the cut falls inside one of them.
  std::string path = dir.path;
  while (path.size() < 1200)
    path += "/" + std::string(99, 'd');
  path.resize(1200);
  ASSERT_NE(path[1098], '/');
  ASSERT_NE(path[1099], '/');

  EXPECT_EQ(make_dirs(path.c_str()), ST_OK);
  std::string kept = path.substr(0, 1099);
  EXPECT_TRUE(is_dir(kept));
  EXPECT_FALSE(path_exists(path.substr(0, 1100).c_str()));
  EXPECT_FALSE(path_exists(path.c_str()));
}

TEST(OnlineCpuCount, AtLeastOne) {
  int64_t count = online_cpu_count();
  EXPECT_GE(count, 1);
  EXPECT_EQ(count, sysconf(_SC_NPROCESSORS_ONLN));
}

TEST(HostName, FullAndShortBuffers) {
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  char buf[256];
  ASSERT_EQ(host_name(buf, sizeof buf), ST_OK);
  EXPECT_STREQ(buf, names.nodename);

  size_t length = strlen(names.nodename);
  ASSERT_GE(length, 1u);
  memset(buf, 'z', sizeof buf);
  EXPECT_EQ(host_name(buf, length), ST_IO);
  EXPECT_EQ(host_name(buf, 1), ST_IO);
  EXPECT_EQ(host_name(buf, 0), ST_INVAL);
  EXPECT_EQ(host_name(nullptr, 16), ST_INVAL);
}

TEST(OsDescription, PrettyNameForms) {
  zt::TempDir dir;
  const std::string sys = uname_part();
  EXPECT_EQ(describe(dir, "ID=debian\r\nPRETTY_NAME=\"Debian GNU/Linux 12\"\r\nX=1\n"),
            "Debian GNU/Linux 12 (" + sys + ")");
  EXPECT_EQ(describe(dir, "PRETTY_NAME=Plain Name\n"), "Plain Name (" + sys + ")");
  EXPECT_EQ(describe(dir, "PRETTY_NAME=\"\"\n"), sys);
  EXPECT_EQ(describe(dir, "PRETTY_NAME=\n"), sys);
  EXPECT_EQ(describe(dir, "PRETTY_NAME='Quoted'\n"), "'Quoted' (" + sys + ")");
  EXPECT_EQ(describe(dir, "PRETTY_NAME=\"Open\n"), "\"Open (" + sys + ")");
  EXPECT_EQ(describe(dir, "PRETTY_NAME=\"\n"), "\" (" + sys + ")");
  EXPECT_EQ(describe(dir, "PRETTY_NAME=Last line without newline"),
            "Last line without newline (" + sys + ")");
  EXPECT_EQ(describe(dir, "NAME=x\n pretty_name=\"no\"\nPRETTY_NAMEX=\"no\"\n"), sys);
}

TEST(OsDescription, OnlyTheFirstPrettyNameCounts) {
  zt::TempDir dir;
  EXPECT_EQ(describe(dir, "PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Second\"\n"),
            "First (" + uname_part() + ")");
}

TEST(OsDescription, LongValuesAreCut) {
  zt::TempDir dir;
  const std::string sys = uname_part();
  std::string value(200, 'v');
  value[158] = 'L';
  EXPECT_EQ(describe(dir, "PRETTY_NAME=" + value + "\n"), value.substr(0, 159) + " (" + sys + ")");

  // A 300-character quoted value does not fit the line buffer: the closing
  // quote is never seen and the opening one stays.
  std::string quoted = "\"" + std::string(300, 'q') + "\"";
  EXPECT_EQ(describe(dir, "PRETTY_NAME=" + quoted + "\n"),
            "\"" + std::string(158, 'q') + " (" + sys + ")");

  // The pieces of an overlong line are not lines of their own.
  std::string filler = "COMMENT=" + std::string(247, 'c') + "PRETTY_NAME=\"Hidden\"\n";
  EXPECT_EQ(describe(dir, filler + "PRETTY_NAME=\"Real\"\n"), "Real (" + sys + ")");
}

TEST(OsDescription, MissingFileAndSmallBuffers) {
  const std::string sys = uname_part();
  char buf[512];
  EXPECT_EQ(os_description_from("/nonexistent/os-release", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), sys);

  char small[6];
  EXPECT_EQ(os_description_from("/nonexistent/os-release", small, sizeof small), 0);
  EXPECT_EQ(std::string(small), sys.substr(0, 5));
  EXPECT_EQ(os_description_from("/nonexistent/os-release", nullptr, 0), 0);
}

TEST(OsDescription, RealSystem) {
  char buf[512];
  EXPECT_EQ(os_description(buf, sizeof buf), 0);
  std::string text = buf;
  const std::string sys = uname_part();
  if (zt::read_file("/etc/os-release").find("PRETTY_NAME=") != std::string::npos) {
    const std::string tail = " (" + sys + ")";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  } else {
    EXPECT_EQ(text, sys);
  }
}

TEST(FreeSpace, MissingPathLeavesOutputAlone) {
  uint64_t bytes = 12345;
  EXPECT_EQ(free_space_bytes("/nonexistent/zpr/path", &bytes), ST_NOTFOUND);
  EXPECT_EQ(bytes, 12345u);
  EXPECT_EQ(free_space_bytes(nullptr, &bytes), ST_INVAL);
  EXPECT_EQ(free_space_bytes("/", nullptr), ST_INVAL);
  EXPECT_EQ(bytes, 12345u);
}

TEST(FreeSpace, FollowsWhatIsWritten) {
  // A tmpfs of known size in a private mount namespace: its free space is
  // exact and falls by what a file takes.
  zt::TempDir dir;
  std::string mnt = dir.path;
  int code = in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return 77;
    if (mount("zpr-test", mnt.c_str(), "tmpfs", 0, "size=4m") != 0)
      return 78;
    uint64_t before = 0, after = 0;
    if (free_space_bytes(mnt.c_str(), &before) != ST_OK || before != 4u << 20)
      return 1;
    zt::write_file(mnt + "/one-mib", std::string(1u << 20, 'x'));
    if (free_space_bytes((mnt + "/one-mib").c_str(), &after) != ST_OK)
      return 2;
    return after == before - (1u << 20) ? 0 : 3;
  });
  if (code == 77 || code == 78)
    GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(code, 0);
}

TEST(SleepMs, MicrosecondsAreClamped) {
  EXPECT_EQ(sleep_ms_micros(0), 0u);
  EXPECT_EQ(sleep_ms_micros(-1), 0u);
  EXPECT_EQ(sleep_ms_micros(INT_MIN), 0u);
  EXPECT_EQ(sleep_ms_micros(1), 1000u);
  EXPECT_EQ(sleep_ms_micros(SLEEP_MS_MAX), 2147483000u);
  EXPECT_EQ(sleep_ms_micros(SLEEP_MS_MAX + 1), 2147483000u);
  EXPECT_EQ(sleep_ms_micros(INT_MAX), 2147483000u);
}

TEST(SleepMs, SleepsAtLeastTheTime) {
  int64_t start = monotonic_ms();
  EXPECT_EQ(sleep_ms(20), 0);
  EXPECT_GE(monotonic_ms() - start, 20);
  EXPECT_EQ(sleep_ms(-5), 0);
  EXPECT_EQ(sleep_ms(0), 0);
}

TEST(LowerPriority, NiceAndIoPriority) {
  int code = in_child([] {
    errno = 0;
    int before = getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
      return 1;
    if (lower_priority() != 0)
      return 2;
    int expected = before + 10 > 19 ? 19 : before + 10;
    if (getpriority(PRIO_PROCESS, 0) != expected)
      return 3;
    // ioprio_get(IOPRIO_WHO_PROCESS, self): best effort (2) << 13 | level 7.
    if (syscall(SYS_ioprio_get, 1, 0) != (2 << 13 | 7))
      return 4;
    // Capped at 19 on a second call.
    if (lower_priority() != 0 || getpriority(PRIO_PROCESS, 0) != 19)
      return 5;
    return 0;
  });
  EXPECT_EQ(code, 0);
}
