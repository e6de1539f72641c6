// The platform layer on real objects: files, a seq_file whose reads come
// back short, loop block devices (skipped where the machine has none), a
// tmpfs too small for what is written, children without root, and
// interrupted or partial writes.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "platform/block.h"
#include "platform/file.h"
#include "platform/sysutil.h"
#include "platform/sysutil_internal.h"
#include "platform/thread.h"
#include "support/test_support.h"

// Writes may be cut on demand: the first call of a series writes at most
// 4096 bytes, the second fails with EINTR, as a signal would make them.
namespace {
int g_cut_writes = 0;
}
extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  static auto fn = reinterpret_cast<ssize_t (*)(int, const void *, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
  if (g_cut_writes == 1)
    return g_cut_writes = 0, errno = EINTR, -1;
  if (g_cut_writes == 2)
    g_cut_writes = 1, n = n < 4096 ? n : 4096;
  return fn(fd, buf, n, off);
}

namespace {

// fn in a forked child, as nobody (65534) when asked; its result or -1.
int in_child(const std::function<int()> &fn, bool nobody = false) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0)
    _exit(nobody && (setgid(65534) != 0 || setuid(65534) != 0) ? 120 : fn());
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A loop device on image, detached when the last descriptor closes.
struct Loop {
  std::string dev;
  int fd = -1;
  explicit Loop(const std::string &image, unsigned sector = 0) {
    int ctl = open("/dev/loop-control", O_RDWR), backing = open(image.c_str(), O_RDWR);
    for (int i = 0; i < 50 && ctl >= 0 && backing >= 0 && dev.empty(); i++) {
      std::string name = "/dev/loop" + std::to_string(ioctl(ctl, LOOP_CTL_GET_FREE));
      loop_config cfg{};
      cfg.fd = static_cast<__u32>(backing), cfg.block_size = sector;
      cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if ((fd = open(name.c_str(), O_RDWR)) >= 0 && ioctl(fd, LOOP_CONFIGURE, &cfg) == 0)
        dev = name;
      else if (fd >= 0)
        close(fd);
    }
    close(backing), close(ctl);
  }
  ~Loop() {
    if (!dev.empty())
      ioctl(fd, LOOP_CLR_FD, 0), close(fd);
  }
};

std::string image(const std::string &path, size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++)
    data[i] = static_cast<char>((i * 7 + i / 4096) % 251 + 1);
  zt::write_file(path, data);
  return data;
}

TEST(File, StatusesAndOutParameters) {
  zt::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  const std::string f = dir.path + "/f";
  zt::write_file(f, "0123456789");
  int fd = 4242;
  EXPECT_EQ(file_open_read((dir.path + "/missing").c_str(), &fd), ST_NOTFOUND);
  EXPECT_EQ(file_open_write((dir.path + "/no/f").c_str(), 0644, &fd), ST_NOTFOUND);
  EXPECT_EQ(file_open_rw((f + "/below").c_str(), 0644, &fd), ST_IO); // ENOTDIR
  chmod(f.c_str(), 0600);
  EXPECT_EQ(in_child([&] { return -file_open_read(f.c_str(), &fd); }, true), -ST_IO);
  EXPECT_EQ(fd, 4242);

  ASSERT_EQ(file_open_rw(f.c_str(), 0644, &fd), ST_OK);
  char buf[16] = {};
  uint64_t n = 0;
  EXPECT_EQ(file_pread(fd, buf, 8, 6, &n), ST_OK); // one call, short at the end
  EXPECT_EQ(std::string(buf, n), "6789");
  EXPECT_EQ(file_pread(fd, buf, 8, 1000, &n), ST_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(file_pwrite_all(fd, "XY", 2, 12, &n), ST_OK);
  EXPECT_EQ(zt::read_file(f), std::string("0123456789\0\0XY", 14));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0); // positioned I/O leaves the offset alone
  EXPECT_EQ(file_truncate(fd, 3), ST_OK);
  EXPECT_EQ(fd_size(fd, &n), ST_OK);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(file_fsync(fd), ST_OK);
  EXPECT_EQ(file_close(fd), ST_OK);
  n = 9;
  EXPECT_EQ(file_pread(fd, buf, 2, 0, &n), ST_IO);
  EXPECT_EQ(file_pwrite_all(fd, "zz", 2, 0, &n), ST_IO);
  EXPECT_EQ(fd_size(fd, &n), ST_IO);
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(file_close(fd), ST_IO);
  EXPECT_EQ(file_close(-1), ST_OK);
  EXPECT_EQ(file_fsync(-1), ST_IO);
  EXPECT_EQ(file_pwrite_all(-1, nullptr, 0, 0, &n), ST_OK); // no call at all
  EXPECT_EQ(n, 0u);

  ASSERT_EQ(file_open_write(f.c_str(), 0644, &fd), ST_OK); // empties
  EXPECT_EQ(zt::read_file(f), "");
  file_close(fd);
  EXPECT_EQ(file_rename(f.c_str(), (dir.path + "/g").c_str()), ST_OK);
  EXPECT_EQ(file_rename(f.c_str(), (dir.path + "/g").c_str()), ST_NOTFOUND);
  int32_t sector = 77;
  EXPECT_EQ(device_sector_size((dir.path + "/g").c_str(), &sector), ST_IO); // ENOTTY
  EXPECT_EQ(device_sector_size(f.c_str(), &sector), ST_NOTFOUND);
  EXPECT_EQ(sector, 77);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(advise_sequential(p[0]), ESPIPE);
  EXPECT_EQ(advise_willneed(p[0], 0, 4096), ESPIPE);
  close(p[0]), close(p[1]);
}

TEST(File, InterruptedAndPartialWritesContinue) {
  zt::TempDir dir;
  const std::string data = image(dir.path + "/src", 16384);
  int fd = -1;
  ASSERT_EQ(file_open_rw((dir.path + "/dst").c_str(), 0644, &fd), ST_OK);
  uint64_t n = 0;
  g_cut_writes = 2;
  EXPECT_EQ(file_pwrite_all(fd, data.data(), data.size(), 1000, &n), ST_OK);
  EXPECT_EQ(g_cut_writes, 0);
  EXPECT_EQ(n, data.size());
  file_close(fd);
  EXPECT_EQ(zt::read_file(dir.path + "/dst"), std::string(1000, '\0') + data);
}

TEST(Block, ReadersOfFilesAndShortReads) {
  zt::TempDir dir;
  const std::string data = image(dir.path + "/img", 10000);
  BlockHandle h;
  memset(&h, 0x5a, sizeof h);
  ASSERT_EQ(block_reader_open(&h, (dir.path + "/img").c_str()), ST_OK);
  EXPECT_EQ(h.ops, &file_reader_ops);
  EXPECT_EQ(std::string(h.path, sizeof h.path), (dir.path + "/img").append(sizeof h.path - dir.path.size() - 4, '\0'));
  uint64_t size = 0;
  int flag = 0;
  EXPECT_EQ(block_reader_size(&h, &size), ST_OK);
  EXPECT_EQ(block_reader_query_flag(&h, &flag), ST_OK);
  EXPECT_EQ(size * 10 + flag, 100001u);
  std::string buf(4096, 'x');
  int32_t count = -1;
  for (int block : {1, 2, 3}) { // whole, short last (zeros after), past the end
    ASSERT_EQ(block_reader_read(&h, block, 4096, buf.data(), &count), ST_OK);
    std::string want = data.substr(std::min<size_t>(block * 4096, 10000), 4096);
    EXPECT_EQ(count, static_cast<int32_t>(want.size()));
    EXPECT_EQ(buf, want.append(4096 - want.size(), '\0'));
  }
  uint64_t got = 0;
  ASSERT_EQ(block_reader_read_at(&h, 9900, 150, buf.data(), &got), ST_OK);
  EXPECT_EQ(got, 100u);
  EXPECT_EQ(buf.substr(0, 150), data.substr(9900) + std::string(50, '\0'));
  EXPECT_EQ(block_reader_read(&h, uint64_t{1} << 52, 4096, buf.data(), &count), ST_INVAL); // wraps
  EXPECT_EQ(block_reader_read(&h, 0, 0x80000000u, buf.data(), &count), ST_INVAL);
  BlockRange ranges[1];
  uint32_t nr = 9;
  EXPECT_EQ(block_reader_changed_ranges(&h, 42, ranges, 1, &nr), ST_UNSUPPORTED);
  EXPECT_EQ(block_reader_open_snapshot(&h, "/x", 1), ST_UNSUPPORTED);
  block_reader_close(&h);
  EXPECT_EQ(h.fd, -1);

  // A seq_file answers at most a page per read: a block of it is still
  // whole, never zeros where bytes exist.
  const std::string syms = zt::read_file("/proc/kallsyms");
  if (syms.size() < 70000)
    GTEST_SKIP() << "no /proc/kallsyms to read short from";
  ASSERT_EQ(block_reader_open(&h, "/proc/kallsyms"), ST_OK);
  std::string big(65536, 'x');
  ASSERT_EQ(block_reader_read(&h, 0, 65536, big.data(), &count), ST_OK);
  EXPECT_EQ(count, 65536);
  EXPECT_TRUE(big == syms.substr(0, 65536));
  ASSERT_EQ(block_reader_read_at(&h, 1000, 65536, big.data(), &got), ST_OK);
  EXPECT_TRUE(big == syms.substr(1000, 65536));
  block_reader_close(&h);
}

TEST(Block, OpenFailuresAndWriters) {
  zt::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, (dir.path + "/missing").c_str()), ST_NOTFOUND);
  EXPECT_EQ(h.ops, nullptr);
  char buf[16];
  uint64_t size = 5;
  EXPECT_EQ(block_reader_read(&h, 0, 16, buf, nullptr), ST_INVAL);
  EXPECT_EQ(block_reader_size(&h, &size), ST_INVAL);
  EXPECT_EQ(block_reader_read_at(&h, 0, 16, buf, &size), ST_IO);
  EXPECT_EQ(size, 5u);
  const std::string secret = dir.path + "/secret";
  image(secret, 4096);
  chmod(secret.c_str(), 0600);
  EXPECT_EQ(in_child([&] {
              StatusCode st = block_reader_open(&h, secret.c_str());
              return h.fd == -1 && h.ops == &file_reader_ops ? -st : 100;
            }, true), -ST_IO);

  // A path longer than the handle holds is opened in full and cut there.
  std::string path = dir.path;
  while (path.size() < 1300)
    mkdir((path += "/" + std::string(200, 'd')).c_str(), 0755);
  path += "/target";
  mode_t old = umask(027);
  ASSERT_EQ(block_writer_open(&h, path.c_str()), ST_OK);
  umask(old);
  EXPECT_EQ(std::string(h.path), path.substr(0, 1023));
  EXPECT_EQ(block_writer_write(&h, 2, 4, "zz", 2), ST_OK);
  EXPECT_EQ(block_writer_write(&h, 0, 4, "AAAABBBB", 8), ST_OK);
  EXPECT_EQ(block_writer_write(&h, uint64_t{1} << 52, 4096, "x", 1), ST_INVAL);
  EXPECT_EQ(zt::read_file(path), "AAAABBBBzz");
  EXPECT_EQ(block_writer_truncate(&h, 6), ST_OK);
  EXPECT_EQ(block_writer_close(&h), ST_OK);
  EXPECT_EQ(zt::read_file(path), "AAAABB");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u); // 0644 less the umask

  EXPECT_EQ(block_writer_open(&h, (dir.path + "/no/target").c_str()), ST_NOTFOUND);
  EXPECT_EQ(block_writer_close(&h), ST_IO);
  ASSERT_EQ(block_writer_open(&h, "/dev/null"), ST_OK);
  EXPECT_EQ(block_writer_close(&h), ST_OK); // no flush there is no failure
}

TEST(Block, LoopDevices) {
  zt::TempDir dir;
  const std::string data = image(dir.path + "/disk.img", 1 << 20);
  for (unsigned sector : {512u, 4096u}) {
    Loop loop(dir.path + "/disk.img", sector);
    if (loop.dev.empty())
      GTEST_SKIP() << "no loop device could be attached on this machine";
    int32_t got = 0;
    EXPECT_EQ(device_sector_size(loop.dev.c_str(), &got), ST_OK);
    EXPECT_EQ(got, static_cast<int32_t>(sector));
    BlockHandle r, w;
    ASSERT_EQ(block_reader_open(&r, loop.dev.c_str()), ST_OK);
    EXPECT_EQ(r.ops, &device_reader_ops);
    uint64_t size = 0;
    EXPECT_EQ(block_reader_size(&r, &size), ST_OK);
    EXPECT_EQ(size, 1u << 20);
    ASSERT_EQ(block_writer_open(&w, loop.dev.c_str()), ST_OK);
    EXPECT_EQ(w.is_block * 10 + r.is_block, 11);
    std::string ones(8192, '\x11'), back(4096, 'x');
    EXPECT_EQ(block_writer_write(&w, 3, 4096, ones.data(), 4096), ST_OK);
    EXPECT_EQ(block_writer_truncate(&w, 100), ST_OK); // nothing on a device
    EXPECT_EQ(block_writer_write(&w, 256, 4096, ones.data(), 4096), ST_IO); // past the end
    EXPECT_EQ(block_writer_write(&w, 255, 4096, ones.data(), 8192), ST_IO);
    EXPECT_EQ(block_writer_close(&w), ST_OK);
    int32_t count = 0;
    for (int block : {2, 3, 256}) {
      ASSERT_EQ(block_reader_read(&r, block, 4096, back.data(), &count), ST_OK);
      EXPECT_EQ(back, block == 3 ? ones.substr(0, 4096) : block == 2 ? data.substr(8192, 4096)
                                                                     : std::string(4096, '\0'));
    }
    block_reader_close(&r);
  }
  // Writes to a device land in the page cache; one whose image lives on a
  // tmpfs too small for them fails at the flush, and close must say so.
  int result = in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("small", dir.path.c_str(), "tmpfs", 0, "size=256k") != 0)
      return 77;
    int fd = open((dir.path + "/disk.img").c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ftruncate(fd, 8 << 20) != 0)
      return 1;
    close(fd);
    Loop loop(dir.path + "/disk.img");
    BlockHandle w;
    if (loop.dev.empty() || block_writer_open(&w, loop.dev.c_str()) != ST_OK)
      return 2;
    std::string block(65536, '\x5c');
    for (uint64_t i = 0; i < 32; i++)
      if (block_writer_write(&w, i, 65536, block.data(), 65536) != ST_OK)
        return 3;
    return -block_writer_close(&w);
  });
  EXPECT_EQ(result, -ST_IO);
}

TEST(Sysutil, DirectoriesTable) {
  zt::TempDir dir;
  const std::string d = dir.path;
  zt::write_file(d + "/file", "x");
  ASSERT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);
  std::string deep = d;
  while (deep.size() < 1200)
    deep += "/" + std::string(99, 'd');
  const struct {
    bool all; // make_dirs, else make_dir
    std::string path;
    StatusCode want;
    std::string made; // a directory that exists afterwards
  } rows[] = {
      {false, d + "/new", ST_OK, d + "/new"},          {false, d + "/new", ST_OK, ""},
      {false, d + "/file", ST_EXISTS, ""},             {false, d + "/dangling", ST_EXISTS, ""},
      {false, d + "/missing/child", ST_NOTFOUND, ""},  {true, d + "/a/b/c", ST_OK, d + "/a/b/c"},
      {true, d + "/x//y/", ST_OK, d + "/x/y"},         {true, d + "/x/y/", ST_OK, ""},
      {true, d + "/file/sub/leaf", ST_IO, ""},         {true, d + "/file", ST_EXISTS, ""},
      {true, "/", ST_OK, ""},                          {true, "", ST_NOTFOUND, ""},
      {true, deep.substr(0, 1200), ST_OK, deep.substr(0, 1099)},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.path.substr(d.size() < row.path.size() ? d.size() : 0, 40));
    EXPECT_EQ(row.all ? make_dirs(row.path.c_str()) : make_dir(row.path.c_str()), row.want);
    struct stat st;
    EXPECT_TRUE(row.made.empty() || (stat(row.made.c_str(), &st) == 0 && S_ISDIR(st.st_mode)));
  }
  EXPECT_FALSE(path_exists(deep.substr(0, 1100).c_str()));
  EXPECT_FALSE(path_exists((d + "/missing").c_str()) || path_exists((d + "/dangling").c_str()));
  EXPECT_TRUE(path_exists((d + "/file").c_str()));
  EXPECT_EQ(make_dirs(nullptr) * 10 + make_dir(nullptr), ST_INVAL * 11);
  chmod(d.c_str(), 0755);
  EXPECT_EQ(in_child([&] { return -make_dir((d + "/denied").c_str()); }, true), -ST_IO);
}

TEST(Sysutil, SystemFacts) {
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  const std::string sys = std::string(names.sysname) + " " + names.release;
  zt::TempDir dir;
  const std::string path = dir.path + "/os-release";
  const std::string q300 = "\"" + std::string(300, 'q') + "\"";
  const struct {
    std::string text, want;
  } rows[] = {
      {"ID=debian\r\nPRETTY_NAME=\"Debian GNU/Linux 12\"\r\nX=1\n", "Debian GNU/Linux 12 (" + sys + ")"},
      {"PRETTY_NAME=Plain Name\n", "Plain Name (" + sys + ")"},
      {"PRETTY_NAME=\"\"\n", sys}, {"PRETTY_NAME=\n", sys},
      {"PRETTY_NAME='Quoted'\n", "'Quoted' (" + sys + ")"},
      {"PRETTY_NAME=\"Open\n", "\"Open (" + sys + ")"},
      {"PRETTY_NAME=Last", "Last (" + sys + ")"},
      {"NAME=x\n pretty_name=\"no\"\nPRETTY_NAMEX=\"no\"\n", sys},
      {"PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Second\"\n", "First (" + sys + ")"},
      {"PRETTY_NAME=" + std::string(200, 'v') + "\n", std::string(159, 'v') + " (" + sys + ")"},
      {"PRETTY_NAME=" + q300 + "\n", "\"" + std::string(158, 'q') + " (" + sys + ")"},
      {"C=" + std::string(253, 'c') + "PRETTY_NAME=\"Hidden\"\nPRETTY_NAME=\"Real\"\n", "Real (" + sys + ")"},
  };
  char buf[512];
  for (const auto &row : rows) {
    zt::write_file(path, row.text);
    EXPECT_EQ(os_description_from(path.c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(buf, row.want) << row.text.substr(0, 40);
  }
  char small[6];
  EXPECT_EQ(os_description_from("/nonexistent", small, sizeof small), 0);
  EXPECT_EQ(std::string(small), sys.substr(0, 5));

  ASSERT_EQ(host_name(buf, sizeof buf), ST_OK);
  EXPECT_STREQ(buf, names.nodename);
  EXPECT_EQ(host_name(buf, strlen(names.nodename)), ST_IO);
  EXPECT_EQ(host_name(buf, 0), ST_INVAL);
  EXPECT_EQ(online_cpu_count(), sysconf(_SC_NPROCESSORS_ONLN));
  for (auto [ms, us] : std::initializer_list<std::pair<int, unsigned>>{
           {0, 0}, {-1, 0}, {INT_MIN, 0}, {1, 1000}, {SLEEP_MS_MAX, 2147483000}, {INT_MAX, 2147483000}})
    EXPECT_EQ(sleep_ms_micros(ms), us) << ms;

  uint64_t bytes = 12345;
  EXPECT_EQ(free_space_bytes("/nonexistent", &bytes), ST_NOTFOUND);
  EXPECT_EQ(free_space_bytes(nullptr, &bytes), ST_INVAL);
  EXPECT_EQ(bytes, 12345u);
  EXPECT_EQ(in_child([&] {
              uint64_t before = 0, after = 0;
              if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                  mount("t", dir.path.c_str(), "tmpfs", 0, "size=4m") ||
                  free_space_bytes(dir.path.c_str(), &before) != ST_OK || before != 4u << 20)
                return 1;
              zt::write_file(dir.path + "/mib", std::string(1u << 20, 'x'));
              free_space_bytes((dir.path + "/mib").c_str(), &after);
              return after == before - (1u << 20) ? 0 : 2;
            }), 0);
  // Niceness up by 10, capped at 19; I/O priority best effort, level 7.
  EXPECT_EQ(in_child([] {
              int before = getpriority(PRIO_PROCESS, 0);
              if (lower_priority() != 0 || getpriority(PRIO_PROCESS, 0) != std::min(before + 10, 19) ||
                  syscall(SYS_ioprio_get, 1, 0) != (2 << 13 | 7))
                return 1;
              return lower_priority() == 0 && getpriority(PRIO_PROCESS, 0) == 19 ? 0 : 2;
            }), 0);
}

TEST(Threads, ResultsAndFailedCreate) {
  pthread_t t;
  static void *seen = nullptr;
  ASSERT_EQ(thread_start(&t, [](void *arg) { return seen = arg, -5; }, &t), 0);
  void *value = nullptr;
  ASSERT_EQ(pthread_join(t, &value), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(value), -5); // widened
  EXPECT_EQ(seen, &t);
  ASSERT_EQ(thread_start(&t, [](void *) { return -5; }, nullptr), 0);
  EXPECT_EQ(thread_join(t), 0); // the entry's result is not passed on
  // With no threads allowed, and no capabilities after the uid change.
  EXPECT_EQ(in_child([] {
              rlimit none{0, 0};
              pthread_t u;
              return setrlimit(RLIMIT_NPROC, &none) == 0 ? thread_start(&u, [](void *) { return 0; }, nullptr) : 1;
            }, true), EAGAIN);
}

} // namespace
