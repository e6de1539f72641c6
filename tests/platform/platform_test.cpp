// The platform layer on real objects: files, a seq_file read short, loop devices (skipped where
// none), a tmpfs too small for what is written, children without root, cut and interrupted writes.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/block.h"
#include "platform/file.h"
#include "platform/sysutil.h"
#include "platform/sysutil_internal.h"
#include "support/child.h"
#include "support/test_support.h"

// Writes cut on demand: the first call of a series writes at most 4096
// bytes, the second fails with EINTR.
static int g_cut_writes = 0;
extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  static auto fn =
      reinterpret_cast<ssize_t (*)(int, const void *, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
  if (g_cut_writes == 1) {
    g_cut_writes = 0;
    errno = EINTR;
    return -1;
  }
  if (g_cut_writes == 2) {
    g_cut_writes = 1;
    n = std::min<size_t>(n, 4096);
  }
  return fn(fd, buf, n, off);
}

namespace {

// A loop device on image, detached when the last descriptor closes.
struct Loop {
  std::string dev;
  int fd = -1;
  explicit Loop(const std::string &image, unsigned sector = 0) {
    const int ctl = open("/dev/loop-control", O_RDWR);
    const int backing = open(image.c_str(), O_RDWR);
    for (int i = 0; i < 50 && ctl >= 0 && backing >= 0 && dev.empty(); i++) {
      std::string name = "/dev/loop" + std::to_string(ioctl(ctl, LOOP_CTL_GET_FREE));
      loop_config cfg{};
      cfg.fd = static_cast<__u32>(backing);
      cfg.block_size = sector;
      cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if ((fd = open(name.c_str(), O_RDWR)) >= 0 && ioctl(fd, LOOP_CONFIGURE, &cfg) == 0)
        dev = name;
      else if (fd >= 0)
        close(fd);
    }
    close(backing);
    close(ctl);
  }
  ~Loop() {
    if (dev.empty())
      return;
    ioctl(fd, LOOP_CLR_FD, 0);
    close(fd);
  }
};

std::string image(const std::string &path, size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++)
    data[i] = static_cast<char>((i * 7 + i / 4096) % 251 + 1);
  zt::write_file(path, data);
  return data;
}

TEST(File, StatusesOutParametersAndCutWrites) {
  zt::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  const std::string f = dir.path + "/f";
  zt::write_file(f, "0123456789");
  chmod(f.c_str(), 0600);
  int fd = 4242;
  int p[2];
  uint64_t n = 9;
  ASSERT_EQ(pipe(p), 0);
  zt::expect_statuses({
      {"open missing", file_open_read((dir.path + "/missing").c_str(), &fd), ST_NOTFOUND},
      {"create in missing dir", file_open_write((dir.path + "/no/f").c_str(), 0644, &fd),
       ST_NOTFOUND},
      {"file as a directory", file_open_rw((f + "/below").c_str(), 0644, &fd), ST_IO},
      {"another user's file", in_child([&] { return -file_open_read(f.c_str(), &fd); }, true),
       -ST_IO},
      // Offsets past INT64_MAX would turn negative on the way down.
      {"read at 2^63", file_pread(p[1], &fd, 1, uint64_t{1} << 63, &n), ST_INVAL},
      {"write past INT64_MAX", file_pwrite_all(p[1], "z", 1, INT64_MAX, &n), ST_INVAL},
  });
  EXPECT_EQ(fd, 4242) << "out parameters are written only on success";
  EXPECT_EQ(n, 9u);
  close(p[0]);
  close(p[1]);
  ASSERT_EQ(file_open_rw(f.c_str(), 0644, &fd), ST_OK);
  char buf[16] = {};
  uint64_t count[4] = {};
  zt::expect_statuses({
      {"read short at the end", file_pread(fd, buf, 8, 6, &count[0]), ST_OK},
      {"read past the end", file_pread(fd, buf + 8, 8, 1000, &count[1]), ST_OK},
      {"write past the end", file_pwrite_all(fd, "XY", 2, 12, &count[2]), ST_OK},
      {"truncate", file_truncate(fd, 20), ST_OK},
      {"size", fd_size(fd, &count[3]), ST_OK},
      {"close", file_close(fd), ST_OK},
  });
  EXPECT_EQ(std::vector<uint64_t>(count, count + 4), (std::vector<uint64_t>{4, 0, 2, 20}));
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(zt::read_file(f), "0123456789" + std::string("\0\0XY", 4) + std::string(6, '\0'));
  // Opened anew it is emptied; then a partial write and one a signal interrupts: all bytes arrive.
  ASSERT_EQ(file_open_write(f.c_str(), 0644, &fd), ST_OK);
  const std::string data = image(dir.path + "/g", 16384);
  g_cut_writes = 2;
  EXPECT_EQ(file_pwrite_all(fd, data.data(), data.size(), 1000, &n), ST_OK);
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(g_cut_writes, 0) << "a cut and an interrupted write";
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "the file offset is left alone";
  EXPECT_EQ(zt::read_file(f), std::string(1000, '\0') + data);
  file_close(fd);
}

TEST(Block, ReadersOfFilesAndShortReads) {
  zt::TempDir dir;
  const std::string data = image(dir.path + "/img", 10000);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, (dir.path + "/img").c_str()), ST_OK);
  uint64_t size = 0;
  uint64_t got = 0;
  int32_t count = -1;
  std::string buf(4096, 'x');
  zt::expect_statuses({
      {"size", block_reader_size(&h, &size), ST_OK},
      {"offset that wraps", block_reader_read(&h, uint64_t{1} << 52, 4096, buf.data(), &count),
       ST_INVAL},
      {"block of 2 GiB", block_reader_read(&h, 0, 0x80000000u, buf.data(), &count), ST_INVAL},
  });
  EXPECT_EQ(size, 10000u);
  EXPECT_EQ(count, -1);
  for (int block : {1, 2, 3}) { // whole, short last (zeros after), past the end
    ASSERT_EQ(block_reader_read(&h, block, 4096, buf.data(), &count), ST_OK);
    std::string want = data.substr(std::min<size_t>(block * 4096, 10000), 4096);
    EXPECT_EQ(count, static_cast<int32_t>(want.size()));
    EXPECT_EQ(buf, want.append(4096 - want.size(), '\0'));
  }
  ASSERT_EQ(block_reader_read_at(&h, 9900, 150, buf.data(), &got), ST_OK);
  EXPECT_EQ(buf.substr(0, 150), data.substr(9900) + std::string(50, '\0'));
  EXPECT_EQ(got, 100u);
  block_reader_close(&h);
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

TEST(Block, OpenFailuresWritersAndLoopDevices) {
  zt::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  BlockHandle h;
  BlockHandle r;
  char buf[16];
  uint64_t size = 5;
  const std::string secret = dir.path + "/secret";
  image(secret, 4096);
  chmod(secret.c_str(), 0600);
  zt::expect_statuses({
      {"open missing", block_reader_open(&h, (dir.path + "/missing").c_str()), ST_NOTFOUND},
      {"read unopened", block_reader_read(&h, 0, 16, buf, nullptr), ST_INVAL},
      {"range unopened", block_reader_read_at(&h, 0, 16, buf, &size), ST_IO},
      {"denied: table kept, no descriptor",
       in_child(
           [&] {
             return block_reader_open(&r, secret.c_str()) == ST_IO && r.fd == -1 &&
                    r.ops == &file_reader_ops;
           },
           true),
       1},
      {"writer in missing dir", block_writer_open(&r, (dir.path + "/no/target").c_str()),
       ST_NOTFOUND},
      {"close failed writer", block_writer_close(&r), ST_IO},
      {"writer on /dev/null", block_writer_open(&r, "/dev/null"), ST_OK},
      {"close: no flush there", block_writer_close(&r), ST_OK},
  });
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(h.ops, nullptr);
  const std::string path = dir.path + "/target";
  zt::expect_statuses({
      {"open writer", block_writer_open(&h, path.c_str()), ST_OK},
      {"write block 2 of 4 bytes", block_writer_write(&h, 2, 4, "zz", 2), ST_OK},
      {"write blocks 0 and 1", block_writer_write(&h, 0, 4, "AAAABBBB", 8), ST_OK},
      {"offset that wraps", block_writer_write(&h, uint64_t{1} << 52, 4096, "x", 1), ST_INVAL},
      {"truncate", block_writer_truncate(&h, 6), ST_OK},
      {"close", block_writer_close(&h), ST_OK},
  });
  EXPECT_EQ(zt::read_file(path), "AAAABB");
  const std::string data = image(dir.path + "/disk.img", 1 << 20);
  for (unsigned sector : {512u, 4096u}) {
    SCOPED_TRACE(sector);
    Loop loop(dir.path + "/disk.img", sector);
    if (loop.dev.empty())
      GTEST_SKIP() << "no loop device could be attached on this machine";
    int32_t got = 0;
    std::string ones(8192, '\x11');
    std::string back(2 * 4096, 'x');
    zt::expect_statuses({
        {"sector size", device_sector_size(loop.dev.c_str(), &got), ST_OK},
        {"open reader", block_reader_open(&r, loop.dev.c_str()), ST_OK},
        {"size", block_reader_size(&r, &size), ST_OK},
        {"open writer", block_writer_open(&h, loop.dev.c_str()), ST_OK},
        {"write block 3", block_writer_write(&h, 3, 4096, ones.data(), 4096), ST_OK},
        {"truncate: nothing on a device", block_writer_truncate(&h, 100), ST_OK},
        {"write across the end", block_writer_write(&h, 255, 4096, ones.data(), 8192), ST_IO},
        {"close writer", block_writer_close(&h), ST_OK},
        {"read block 2", block_reader_read(&r, 2, 4096, back.data(), nullptr), ST_OK},
        {"read block 3", block_reader_read(&r, 3, 4096, back.data() + 4096, nullptr), ST_OK},
    });
    EXPECT_EQ(got, static_cast<int32_t>(sector));
    EXPECT_EQ(size, 1048576u);
    EXPECT_EQ(r.ops, &device_reader_ops);
    EXPECT_TRUE(back == data.substr(8192, 4096) + ones.substr(4096));
    block_reader_close(&r);
  }
  // A device write lands in the page cache: with the image on a tmpfs too
  // small for it, close must fail.
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
  const std::string d = dir.path;
  std::string deep = d;
  while (deep.size() < 1200)
    deep.append("/").append(99, 'd');
  zt::write_file(d + "/file", "x");
  ASSERT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);
  zt::expect_statuses({
      {"make", make_dir((d + "/new").c_str()), ST_OK},
      {"make again", make_dir((d + "/new").c_str()), ST_OK},
      {"make over a file", make_dir((d + "/file").c_str()), ST_EXISTS},
      {"make over a dangling link", make_dir((d + "/dangling").c_str()), ST_EXISTS},
      {"make in a missing dir", make_dir((d + "/missing/child").c_str()), ST_NOTFOUND},
      {"below a file", make_dirs((d + "/file/sub/leaf").c_str()), ST_IO},
      {"1200 characters: 1099 count", make_dirs(deep.substr(0, 1200).c_str()), ST_OK},
  });
  const std::pair<std::string, int> exists[] = {
      {d + "/new", 1}, {d + "/dangling", 0}, {deep.substr(0, 1099), 1}, {deep.substr(0, 1100), 0}};
  for (const auto &[path, want] : exists)
    EXPECT_EQ(path_exists(path.c_str()), want) << path.substr(d.size());
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  const std::string sys = std::string(names.sysname) + " " + names.release;
  const std::string in = " (" + sys + ")";
  const std::string rows[][2] = {
      {"ID=debian\r\nPRETTY_NAME=\"Debian GNU/Linux 12\"\r\nX=1\n", "Debian GNU/Linux 12" + in},
      {"PRETTY_NAME=\"\"\n", sys},
      {"PRETTY_NAME=\"Open", "\"Open" + in}, // no closing quote, no newline
      {"NAME=x\n pretty_name=\"no\"\nPRETTY_NAMEX=\"no\"\n", sys},
      {"PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Second\"\n", "First" + in},
      {"PRETTY_NAME=" + std::string(200, 'v') + "\n", std::string(159, 'v') + in},
      {"C=" + std::string(253, 'c') + "PRETTY_NAME=\"Hidden\"\nPRETTY_NAME=\"Real\"\n",
       "Real" + in}};
  char buf[512];
  for (const auto &row : rows) {
    zt::write_file(d + "/os-release", row[0]);
    EXPECT_EQ(os_description_from((d + "/os-release").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(buf, row[1]) << row[0].substr(0, 40);
  }
  const std::pair<int, unsigned> sleeps[] = {{-1, 0}, {1, 1000}, {INT_MAX, 2147483000u}};
  for (const auto &[ms, micros] : sleeps)
    EXPECT_EQ(sleep_ms_micros(ms), micros) << ms << " ms";
}

} // namespace
