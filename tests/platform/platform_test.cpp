// The platform layer on real objects: files, a seq_file read short, loop devices (skipped where none), a tmpfs
// too small for what is written, children without root, interrupted or partial writes.
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
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/child.h"
#include "platform/block.h"
#include "platform/file.h"
#include "platform/sysutil.h"
#include "platform/sysutil_internal.h"
#include "platform/thread.h"
#include "support/test_support.h"

// Writes cut on demand: the first call of a series writes at most 4096 bytes, the second fails with EINTR.
static int g_cut_writes = 0;
extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  static auto fn =
      reinterpret_cast<ssize_t (*)(int, const void *, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
  if (g_cut_writes == 1)
    return g_cut_writes = 0, errno = EINTR, -1;
  if (g_cut_writes == 2)
    g_cut_writes = 1, n = n < 4096 ? n : 4096;
  return fn(fd, buf, n, off);
}

namespace {

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

using Statuses = std::vector<StatusCode>;

TEST(File, StatusesOutParametersAndCutWrites) {
  zt::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  const std::string f = dir.path + "/f", g = dir.path + "/g";
  zt::write_file(f, "0123456789");
  chmod(f.c_str(), 0600);
  int fd = 4242, p[2];
  uint64_t n = 9;
  int32_t sector = 77;
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(
      (Statuses{file_open_read((dir.path + "/missing").c_str(), &fd),
                file_open_write((dir.path + "/no/f").c_str(), 0644, &fd),
                file_open_rw((f + "/below").c_str(), 0644, &fd), // ENOTDIR
                in_child([&] { return -file_open_read(f.c_str(), &fd); }, true),
                file_pread(-1, &fd, 2, 0, &n), file_pwrite_all(-1, "zz", 2, 0, &n), fd_size(-1, &n),
                file_close(-1), file_fsync(-1), file_close(p[0]), file_close(p[0]),
                device_sector_size(f.c_str(), &sector), device_sector_size("/dev/null", &sector),
                advise_sequential(p[1]), advise_willneed(p[1], 0, 4096), advise_sequential(-1),
                // Offsets past INT64_MAX would turn negative on the way down.
                file_pread(p[1], &fd, 1, uint64_t{1} << 63, &n),
                file_pwrite_all(p[1], "z", 1, INT64_MAX, &n),
                file_truncate(p[1], uint64_t{1} << 63), file_open_read(nullptr, &fd),
                file_rename(nullptr, f.c_str()), fd_size(p[1], nullptr),
                device_sector_size(nullptr, &sector)}),
      (Statuses{ST_NOTFOUND, ST_NOTFOUND, ST_IO,    1,        ST_IO,    ST_IO,    ST_IO,   ST_OK,
                ST_IO,       ST_OK,       ST_IO,    ST_IO,    ST_IO,    ESPIPE,   ESPIPE,  EBADF,
                ST_INVAL,    ST_INVAL,    ST_INVAL, ST_INVAL, ST_INVAL, ST_INVAL, ST_INVAL}));
  EXPECT_EQ(fd * 100 + n * 10 + sector / 7, 4242u * 100 + 90 + 11);
  close(p[1]);
  ASSERT_EQ(file_open_rw(f.c_str(), 0644, &fd), ST_OK);
  char buf[16] = {};
  std::vector<uint64_t> counts(5);
  EXPECT_EQ((Statuses{file_pread(fd, buf, 8, 6, &counts[0]), // one call, short at the end
                      file_pread(fd, buf + 8, 8, 1000, &counts[1]),
                      file_pwrite_all(fd, "XY", 2, 12, &counts[2]), file_truncate(fd, 20),
                      fd_size(fd, &counts[3]), file_fsync(fd),
                      file_pwrite_all(-1, nullptr, 0, 0, &counts[4]), file_close(fd)}),
            Statuses(8, ST_OK));
  EXPECT_EQ(counts, (std::vector<uint64_t>{4, 0, 2, 20, 0}));
  EXPECT_EQ(std::string(buf, 4) + zt::read_file(f),
            "67890123456789" + std::string("\0\0XY", 4) + std::string(6, '\0'));
  ASSERT_EQ(file_open_write(f.c_str(), 0644, &fd), ST_OK); // empties
  EXPECT_EQ(zt::read_file(f), "");
  // A partial write, then one a signal interrupts: all bytes still arrive.
  const std::string data = image(g, 16384);
  g_cut_writes = 2;
  EXPECT_EQ(file_pwrite_all(fd, data.data(), data.size(), 1000, &n), ST_OK);
  EXPECT_EQ(n * 10 + g_cut_writes + lseek(fd, 0, SEEK_CUR), 163840u); // the offset is left alone
  EXPECT_EQ(zt::read_file(f), std::string(1000, '\0') + data);
  file_close(fd);
  EXPECT_EQ((Statuses{file_rename(f.c_str(), g.c_str()), file_rename(f.c_str(), g.c_str())}),
            (Statuses{ST_OK, ST_NOTFOUND}));
}

TEST(Block, ReadersOfFilesAndShortReads) {
  zt::TempDir dir;
  const std::string data = image(dir.path + "/img", 10000);
  BlockHandle h;
  memset(&h, 0x5a, sizeof h);
  ASSERT_EQ(block_reader_open(&h, (dir.path + "/img").c_str()), ST_OK);
  EXPECT_EQ(h.ops, &file_reader_ops);
  EXPECT_EQ(std::string(h.path, sizeof h.path),
            (dir.path + "/img").append(sizeof h.path - dir.path.size() - 4, '\0'));
  uint64_t size = 0, got = 0;
  int flag = 0;
  int32_t count = -1;
  std::string buf(4096, 'x');
  BlockRange ranges[1];
  uint32_t nr = 9;
  EXPECT_EQ((Statuses{block_reader_size(&h, &size), block_reader_query_flag(&h, &flag),
                      block_reader_read(&h, uint64_t{1} << 52, 4096, buf.data(), &count), // wraps
                      block_reader_read(&h, 0, 0x80000000u, buf.data(), &count),
                      block_reader_changed_ranges(&h, 42, ranges, 1, &nr),
                      block_reader_open_snapshot(&h, "/x", 1)}),
            (Statuses{ST_OK, ST_OK, ST_INVAL, ST_INVAL, ST_UNSUPPORTED, ST_UNSUPPORTED}));
  EXPECT_EQ(size * 10 + flag + count + nr, 100001u - 1 + 9);
  for (int block : {1, 2, 3}) { // whole, short last (zeros after), past the end
    ASSERT_EQ(block_reader_read(&h, block, 4096, buf.data(), &count), ST_OK);
    std::string want = data.substr(std::min<size_t>(block * 4096, 10000), 4096);
    EXPECT_EQ(count, static_cast<int32_t>(want.size()));
    EXPECT_EQ(buf, want.append(4096 - want.size(), '\0'));
  }
  ASSERT_EQ(block_reader_read_at(&h, 9900, 150, buf.data(), &got), ST_OK);
  EXPECT_EQ(buf.substr(0, 150) + std::to_string(got),
            data.substr(9900) + std::string(50, '\0') + "100");
  // A table that brings its own byte-range read is used instead of the built-in one.
  static BlockReaderOps own = file_reader_ops;
  own.read_at = [](BlockHandle *, uint64_t offset, uint64_t length, void *, uint64_t *out) {
    return *out = offset + length, ST_AGAIN;
  };
  h.ops = &own;
  EXPECT_EQ(block_reader_read_at(&h, 40, 2, buf.data(), &got) * 100 + static_cast<int>(got),
            ST_AGAIN * 100 + 42);
  block_reader_close(&h);
  EXPECT_EQ(h.fd, -1);
  // A seq_file answers at most a page per read: a block of it is still whole, never zeros where bytes exist.
  const std::string syms = zt::read_file("/proc/kallsyms");
  if (syms.size() < 70000)
    GTEST_SKIP() << "no /proc/kallsyms to read short from";
  ASSERT_EQ(block_reader_open(&h, "/proc/kallsyms"), ST_OK);
  std::string big(65536, 'x');
  ASSERT_EQ(block_reader_read(&h, 0, 65536, big.data(), &count), ST_OK);
  EXPECT_TRUE(count == 65536 && big == syms.substr(0, 65536));
  ASSERT_EQ(block_reader_read_at(&h, 1000, 65536, big.data(), &got), ST_OK);
  EXPECT_TRUE(big == syms.substr(1000, 65536));
  block_reader_close(&h);
}

TEST(Block, OpenFailuresWritersAndLoopDevices) {
  zt::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  BlockHandle h, r;
  char buf[16];
  uint64_t size = 5;
  const std::string secret = dir.path + "/secret";
  image(secret, 4096);
  chmod(secret.c_str(), 0600);
  EXPECT_EQ(
      (Statuses{block_reader_open(&h, (dir.path + "/missing").c_str()),
                block_reader_read(&h, 0, 16, buf, nullptr), block_reader_size(&h, &size),
                block_reader_read_at(&h, 0, 16, buf, &size),
                in_child(
                    [&] { // a failed open keeps the table, without descriptor
                      return block_reader_open(&r, secret.c_str()) == ST_IO && r.fd == -1 &&
                             r.ops == &file_reader_ops;
                    },
                    true),
                block_writer_open(&r, (dir.path + "/no/target").c_str()), block_writer_close(&r),
                block_writer_open(&r, "/dev/null"),
                block_writer_close(&r)}), // no flush there: no failure
      (Statuses{ST_NOTFOUND, ST_INVAL, ST_INVAL, ST_IO, 1, ST_NOTFOUND, ST_IO, ST_OK, ST_OK}));
  EXPECT_EQ(size * 10 + (h.ops == nullptr), 51u);
  // A path longer than the handle holds is opened in full and cut there.
  std::string path = dir.path;
  while (path.size() < 1300)
    mkdir(path.append("/").append(200, 'd').c_str(), 0755);
  path += "/target";
  mode_t old = umask(027);
  ASSERT_EQ(block_writer_open(&h, path.c_str()), ST_OK);
  umask(old);
  EXPECT_EQ(std::string(h.path), path.substr(0, 1023));
  EXPECT_EQ(
      (Statuses{block_writer_write(&h, 2, 4, "zz", 2), block_writer_write(&h, 0, 4, "AAAABBBB", 8),
                block_writer_write(&h, uint64_t{1} << 52, 4096, "x", 1),
                block_writer_truncate(&h, 6), block_writer_close(&h)}),
      (Statuses{ST_OK, ST_OK, ST_INVAL, ST_OK, ST_OK}));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(zt::read_file(path) + std::to_string(st.st_mode & 0777),
            "AAAABB416"); // 0640: 0644 less the umask
  const std::string data = image(dir.path + "/disk.img", 1 << 20);
  for (unsigned sector : {512u, 4096u}) {
    Loop loop(dir.path + "/disk.img", sector);
    if (loop.dev.empty())
      GTEST_SKIP() << "no loop device could be attached on this machine";
    int32_t got = 0;
    std::string ones(8192, '\x11'), back(3 * 4096, 'x');
    EXPECT_EQ(
        (Statuses{device_sector_size(loop.dev.c_str(), &got),
                  block_reader_open(&r, loop.dev.c_str()), block_reader_size(&r, &size),
                  block_writer_open(&h, loop.dev.c_str()),
                  block_writer_write(&h, 3, 4096, ones.data(), 4096),
                  block_writer_truncate(&h, 100),                       // nothing on a device
                  block_writer_write(&h, 256, 4096, ones.data(), 4096), // past the end
                  block_writer_write(&h, 255, 4096, ones.data(), 8192), block_writer_close(&h),
                  block_reader_read(&r, 2, 4096, back.data(), nullptr),
                  block_reader_read(&r, 3, 4096, back.data() + 4096, nullptr),
                  block_reader_read(&r, 256, 4096, back.data() + 8192, nullptr)}),
        (Statuses{ST_OK, ST_OK, ST_OK, ST_OK, ST_OK, ST_OK, ST_IO, ST_IO, ST_OK, ST_OK, ST_OK,
                  ST_OK}));
    EXPECT_EQ(std::to_string(got) + " " + std::to_string(size) + " " +
                  std::to_string(h.is_block * 10 + r.is_block),
              std::to_string(sector) + " 1048576 11");
    EXPECT_TRUE(r.ops == &device_reader_ops &&
                back == data.substr(8192, 4096) + ones.substr(4096) + std::string(4096, '\0'));
    block_reader_close(&r);
  }
  // A device write lands in the page cache: with the image on a tmpfs too small for it, close must fail.
  EXPECT_EQ(
      in_child([&] {
        if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("small", dir.path.c_str(), "tmpfs", 0, "size=256k") ||
            !image(dir.path + "/i", 0).empty() || truncate((dir.path + "/i").c_str(), 8 << 20))
          return 77;
        Loop loop(dir.path + "/i");
        BlockHandle w;
        std::string block(65536, '\x5c');
        for (uint64_t i = 0; i < 32; i++)
          if ((i == 0 && block_writer_open(&w, loop.dev.c_str()) != ST_OK) ||
              block_writer_write(&w, i, 65536, block.data(), 65536) != ST_OK)
            return 2;
        return -block_writer_close(&w);
      }),
      -ST_IO);
}

TEST(Sysutil, DirectoriesAndSystemFacts) {
  zt::TempDir dir;
  std::string d = dir.path, deep = d;
  while (deep.size() < 1200)
    deep.append("/").append(99, 'd');
  zt::write_file(d + "/file", "x");
  ASSERT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);
  chmod(d.c_str(), 0755);
  EXPECT_EQ(
      (Statuses{make_dir((d + "/new").c_str()), make_dir((d + "/new").c_str()),
                make_dir((d + "/file").c_str()), make_dir((d + "/dangling").c_str()),
                make_dir((d + "/missing/child").c_str()), make_dirs((d + "/a/b/c").c_str()),
                make_dirs((d + "/x//y/").c_str()), make_dirs((d + "/x/y/").c_str()),
                make_dirs((d + "/file/sub/leaf").c_str()), make_dirs((d + "/file").c_str()),
                make_dirs("/"), make_dirs(""), make_dirs(nullptr), make_dir(nullptr),
                make_dirs(deep.substr(0, 1200).c_str()), // only the first 1099 characters count
                in_child([&] { return -make_dir((d + "/denied").c_str()); }, true)}),
      (Statuses{ST_OK, ST_OK, ST_EXISTS, ST_EXISTS, ST_NOTFOUND, ST_OK, ST_OK, ST_OK, ST_IO,
                ST_EXISTS, ST_OK, ST_NOTFOUND, ST_INVAL, ST_INVAL, ST_OK, -ST_IO}));
  std::string exist;
  for (const std::string &path :
       {d + "/new", d + "/a/b/c", d + "/x/y", d + "/file", d + "/dangling", d + "/missing",
        deep.substr(0, 1099), deep.substr(0, 1100), d + "/denied"})
    exist += std::to_string(path_exists(path.c_str()));
  EXPECT_EQ(exist, "111100100"); // links followed: a dangling one does not exist
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  const std::string sys = std::string(names.sysname) + " " + names.release, in = " (" + sys + ")";
  const std::string rows[][2] = {
      {"ID=debian\r\nPRETTY_NAME=\"Debian GNU/Linux 12\"\r\nX=1\n", "Debian GNU/Linux 12" + in},
      {"PRETTY_NAME=Plain Name\n", "Plain Name" + in},
      {"PRETTY_NAME=\"\"\n", sys},
      {"PRETTY_NAME=\n", sys},
      {"PRETTY_NAME='Quoted'\n", "'Quoted'" + in},
      {"PRETTY_NAME=\"Open\n", "\"Open" + in},
      {"PRETTY_NAME=Last", "Last" + in},
      {"NAME=x\n pretty_name=\"no\"\nPRETTY_NAMEX=\"no\"\n", sys},
      {"PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Second\"\n", "First" + in},
      {"PRETTY_NAME=" + std::string(200, 'v') + "\n", std::string(159, 'v') + in},
      {"PRETTY_NAME=\"" + std::string(300, 'q') + "\"\n",
       "\"" + std::string(158, 'q') + in}, // quote never seen
      {"C=" + std::string(253, 'c') + "PRETTY_NAME=\"Hidden\"\nPRETTY_NAME=\"Real\"\n",
       "Real" + in}};
  char buf[512], small[6];
  for (const auto &row : rows) {
    zt::write_file(d + "/os-release", row[0]);
    EXPECT_EQ(os_description_from((d + "/os-release").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(buf, row[1]) << row[0].substr(0, 40);
  }
  EXPECT_EQ(os_description_from("/nonexistent", small, sizeof small), 0);
  EXPECT_EQ(std::string(small), sys.substr(0, 5));
  uint64_t bytes = 12345;
  EXPECT_EQ(
      (Statuses{host_name(buf, sizeof buf), host_name(small, strlen(names.nodename)),
                host_name(buf, 0), free_space_bytes("/nonexistent", &bytes),
                free_space_bytes(nullptr, &bytes),
                in_child([&] { // a tmpfs of 4 MiB: free space exact, and less by what a file takes
                  uint64_t before = 0, after = 0;
                  if (unshare(CLONE_NEWNS) ||
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                      mount("t", d.c_str(), "tmpfs", 0, "size=4m") ||
                      free_space_bytes(d.c_str(), &before))
                    return 1;
                  zt::write_file(d + "/mib", std::string(1u << 20, 'x'));
                  free_space_bytes((d + "/mib").c_str(), &after);
                  return before == 4u << 20 && after == 3u << 20 ? 0 : 2;
                })}),
      (Statuses{ST_OK, ST_IO, ST_INVAL, ST_NOTFOUND, ST_INVAL, 0}));
  EXPECT_EQ(std::string(buf) + " " + std::to_string(bytes), std::string(names.nodename) + " 12345");
  EXPECT_EQ(online_cpu_count(), sysconf(_SC_NPROCESSORS_ONLN));
  std::string micros;
  for (int ms : {0, -1, INT_MIN, 1, SLEEP_MS_MAX, INT_MAX})
    micros += std::to_string(sleep_ms_micros(ms)) + " ";
  EXPECT_EQ(micros, "0 0 0 1000 2147483000 2147483000 ");
  // Niceness up by 10, capped at 19; I/O priority best effort, level 7.
  EXPECT_EQ(in_child([] {
              int before = getpriority(PRIO_PROCESS, 0);
              if (lower_priority() != 0 ||
                  getpriority(PRIO_PROCESS, 0) != std::min(before + 10, 19) ||
                  syscall(SYS_ioprio_get, 1, 0) != (2 << 13 | 7))
                return 1;
              return lower_priority() == 0 && getpriority(PRIO_PROCESS, 0) == 19 ? 0 : 2;
            }),
            0);
}

TEST(Threads, ResultsAndFailedCreate) {
  pthread_t t;
  static void *seen = nullptr;
  void *value = nullptr;
  ASSERT_EQ(thread_start(
                &t, [](void *arg) { return seen = arg, -5; }, &t),
            0);
  ASSERT_EQ(pthread_join(t, &value), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(value) * 10 + (seen == &t), -49); // the result widened
  ASSERT_EQ(thread_start(
                &t, [](void *) { return -5; }, nullptr),
            0);
  EXPECT_EQ(thread_join(t), 0); // the entry's result is not passed on
  EXPECT_EQ(in_child(
                [] { // no threads allowed, and no capabilities after the uid change
                  rlimit none{0, 0};
                  pthread_t u;
                  return setrlimit(RLIMIT_NPROC, &none)
                             ? 1
                             : thread_start(
                                   &u, [](void *) { return 0; }, nullptr);
                },
                true),
            EAGAIN);
}

} // namespace
