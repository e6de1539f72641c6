#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/stub_fs.h"
#include "platform/test_devices.h"
#include "support/test_support.h"

namespace {

// A scratch directory that nobody (65534) may enter, so that permission
// tests fail on the file itself and not on the way to it.
struct Scratch {
  zt::TempDir dir;
  Scratch() { chmod(dir.path.c_str(), 0755); }
  std::string at(const char *name) const { return dir.path + "/" + name; }
};

TEST(FileTest, FdValid) {
  EXPECT_EQ(fd_valid(0), 1);
  EXPECT_EQ(fd_valid(17), 1);
  EXPECT_EQ(fd_valid(-1), 0);
  EXPECT_EQ(fd_valid(-2), 0);
}

TEST(FileTest, OpenWriteEmptiesAndOpenRwKeeps) {
  Scratch s;
  std::string a = s.at("a");
  std::string b = s.at("b");
  zt::write_file(a, "old content");
  zt::write_file(b, "old content");

  int fd = -1;
  ASSERT_EQ(file_open_write(a.c_str(), 0644, &fd), ST_OK);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(file_close(fd), ST_OK);
  EXPECT_EQ(zt::read_file(a), "");

  ASSERT_EQ(file_open_rw(b.c_str(), 0644, &fd), ST_OK);
  uint64_t n = 0;
  ASSERT_EQ(file_pwrite_all(fd, "NEW", 3, 0, &n), ST_OK);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(file_close(fd), ST_OK);
  EXPECT_EQ(zt::read_file(b), "NEW content");
}

TEST(FileTest, CreatedFilesGetTheCallersMode) {
  Scratch s;
  mode_t old = umask(0);
  int w = -1;
  int rw = -1;
  EXPECT_EQ(file_open_write(s.at("w").c_str(), 0640, &w), ST_OK);
  EXPECT_EQ(file_open_rw(s.at("rw").c_str(), 0604, &rw), ST_OK);
  umask(old);
  struct stat st{};
  ASSERT_EQ(stat(s.at("w").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat(s.at("rw").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  file_close(w);
  file_close(rw);
}

TEST(FileTest, OpenFailuresTranslateErrnoAndKeepTheOutParameter) {
  Scratch s;
  int fd = 12345;
  EXPECT_EQ(file_open_read(s.at("missing").c_str(), &fd), ST_NOTFOUND);
  EXPECT_EQ(file_open_write(s.at("nodir/f").c_str(), 0644, &fd), ST_NOTFOUND);
  EXPECT_EQ(file_open_rw(s.at("nodir/f").c_str(), 0644, &fd), ST_NOTFOUND);
  zt::write_file(s.at("plain"), "x");
  EXPECT_EQ(file_open_read(s.at("plain/below").c_str(), &fd), ST_IO); // ENOTDIR
  EXPECT_EQ(fd, 12345);
}

TEST(FileTest, DirectoryOpensButDoesNotRead) {
  Scratch s;
  int fd = -1;
  ASSERT_EQ(file_open_read(s.dir.path.c_str(), &fd), ST_OK);
  char buf[16];
  uint64_t n = 77;
  EXPECT_EQ(file_pread(fd, buf, sizeof(buf), 0, &n), ST_IO); // EISDIR
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(file_close(fd), ST_OK);
}

TEST(FileTest, UnreadableFileIsAnIoErrorForAnUnprivilegedUser) {
  Scratch s;
  std::string secret = s.at("secret");
  zt::write_file(secret, "root only");
  chmod(secret.c_str(), 0600);
  auto result = zt::run_as_nobody([&] {
    int fd = 4242;
    StatusCode st = file_open_read(secret.c_str(), &fd);
    return fd == 4242 ? st : 100;
  });
  ASSERT_TRUE(result.has_value()) << "could not run a child as nobody";
  EXPECT_EQ(*result, ST_IO);
}

TEST(FileTest, CloseOfNoneAndDoubleClose) {
  EXPECT_EQ(file_close(-1), ST_OK);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(file_close(p[0]), ST_OK);
  EXPECT_EQ(file_close(p[0]), ST_IO); // EBADF
  EXPECT_EQ(file_close(p[1]), ST_OK);
}

TEST(FileTest, PreadIsOneCallWithShortCountsAtTheEnd) {
  Scratch s;
  std::string path = s.at("ten");
  zt::write_file(path, "0123456789");
  int fd = -1;
  ASSERT_EQ(file_open_read(path.c_str(), &fd), ST_OK);
  char buf[16] = {};
  uint64_t n = 0;
  EXPECT_EQ(file_pread(fd, buf, 4, 3, &n), ST_OK);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(file_pread(fd, buf, 8, 6, &n), ST_OK);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(file_pread(fd, buf, 8, 10, &n), ST_OK); // at the end
  EXPECT_EQ(n, 0u);
  n = 5;
  EXPECT_EQ(file_pread(fd, buf, 8, 1000, &n), ST_OK); // past the end
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(file_pread(fd, buf, 2, 0, nullptr), ST_OK);
  // The descriptor's own offset is not moved by positioned reads.
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  file_close(fd);
  n = 9;
  EXPECT_EQ(file_pread(fd, buf, 2, 0, &n), ST_IO);
  EXPECT_EQ(n, 9u);
}

TEST(FileTest, PwriteAll) {
  // Length 0 makes no call at all: not even an invalid descriptor fails.
  uint64_t n = 99;
  EXPECT_EQ(file_pwrite_all(-1, nullptr, 0, 0, &n), ST_OK);
  EXPECT_EQ(n, 0u);

  Scratch s;
  std::string path = s.at("w");
  int fd = -1;
  ASSERT_EQ(file_open_rw(path.c_str(), 0644, &fd), ST_OK);
  EXPECT_EQ(file_pwrite_all(fd, "abc", 3, 5, &n), ST_OK);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(file_pwrite_all(fd, "XY", 2, 0, nullptr), ST_OK);
  EXPECT_EQ(zt::read_file(path), std::string("XY\0\0\0abc", 8));
  EXPECT_EQ(file_fsync(fd), ST_OK);
  file_close(fd);

  ASSERT_EQ(file_open_read(path.c_str(), &fd), ST_OK);
  n = 7;
  EXPECT_EQ(file_pwrite_all(fd, "zz", 2, 0, &n), ST_IO); // EBADF: read-only
  EXPECT_EQ(n, 7u);
  file_close(fd);
  EXPECT_EQ(file_fsync(-1), ST_IO);
}

// A signal without SA_RESTART cuts a write short twice: once after the first
// 4 KiB request (a partial count) and once before any byte of the next call
// (EINTR).  Every byte must still arrive, each at its own offset.
TEST(FileTest, InterruptedWriteContinuesWhereItStopped) {
  std::string data(16384, '\0');
  for (size_t i = 0; i < data.size(); i++)
    data[i] = static_cast<char>(zt::pattern_byte(i));
  auto result = zt::with_stub_fs("", 0, {2, 3}, [&](const std::string &path, zt::StubFs &fs) {
    int fd = -1;
    if (file_open_rw(path.c_str(), 0644, &fd) != ST_OK)
      return 1;
    uint64_t n = 0;
    StatusCode st = file_pwrite_all(fd, data.data(), data.size(), 1000, &n);
    file_close(fd);
    if (st != ST_OK || n != data.size())
      return 2;
    if (zt::stub_fs_signals() != 2)
      return 3;
    std::lock_guard<std::mutex> lock(fs.mu);
    if (fs.write_offsets != std::vector<uint64_t>{1000, 5096, 5096, 5096, 9192, 13288})
      return 4;
    if (fs.content.size() != 1000 + data.size() ||
        memcmp(fs.content.data() + 1000, data.data(), data.size()) != 0)
      return 5;
    return 0;
  });
  ASSERT_TRUE(result.has_value()) << "the child serving the test file system died";
  if (*result == zt::STUB_FS_UNAVAILABLE)
    GTEST_SKIP() << "FUSE mounts are not available on this machine";
  EXPECT_EQ(*result, 0) << "1 open, 2 write result, 3 signals, 4 request offsets, 5 content";
}

TEST(FileTest, TruncateGrowsAndShrinks) {
  Scratch s;
  std::string path = s.at("t");
  zt::write_file(path, "12345");
  int fd = -1;
  ASSERT_EQ(file_open_rw(path.c_str(), 0644, &fd), ST_OK);
  EXPECT_EQ(file_truncate(fd, 4096), ST_OK);
  uint64_t size = 0;
  EXPECT_EQ(fd_size(fd, &size), ST_OK);
  EXPECT_EQ(size, 4096u);
  std::string text = zt::read_file(path);
  EXPECT_EQ(text.substr(0, 5), "12345");
  EXPECT_EQ(text.find_first_not_of('\0', 5), std::string::npos);
  EXPECT_EQ(file_truncate(fd, 2), ST_OK);
  EXPECT_EQ(zt::read_file(path), "12");
  file_close(fd);
}

TEST(FileTest, RenameReplacesTheTarget) {
  Scratch s;
  zt::write_file(s.at("new"), "new");
  zt::write_file(s.at("old"), "old");
  EXPECT_EQ(file_rename(s.at("new").c_str(), s.at("old").c_str()), ST_OK);
  EXPECT_EQ(zt::read_file(s.at("old")), "new");
  EXPECT_NE(access(s.at("new").c_str(), F_OK), 0);
  EXPECT_EQ(file_rename(s.at("new").c_str(), s.at("other").c_str()), ST_NOTFOUND);
}

TEST(FileTest, SizeOfFileAndPipe) {
  Scratch s;
  zt::make_image(s.at("img"), 12345);
  int fd = -1;
  ASSERT_EQ(file_open_read(s.at("img").c_str(), &fd), ST_OK);
  uint64_t size = 0;
  EXPECT_EQ(fd_size(fd, &size), ST_OK);
  EXPECT_EQ(size, 12345u);
  file_close(fd);

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "abc", 3), 3);
  size = 99;
  EXPECT_EQ(fd_size(p[0], &size), ST_OK);
  EXPECT_EQ(size, 0u);
  close(p[0]);
  close(p[1]);
  size = 99;
  EXPECT_EQ(fd_size(-1, &size), ST_IO);
  EXPECT_EQ(size, 99u);
}

TEST(FileTest, SectorSizeOfNonDevicesLeavesNoDescriptorOpen) {
  Scratch s;
  zt::write_file(s.at("f"), "not a device");
  int before = zt::open_fd_count();
  int32_t sector = 77;
  EXPECT_EQ(device_sector_size(s.at("f").c_str(), &sector), ST_IO); // ENOTTY
  EXPECT_EQ(device_sector_size(s.at("missing").c_str(), &sector), ST_NOTFOUND);
  EXPECT_EQ(device_sector_size("/dev/null", &sector), ST_IO);
  EXPECT_EQ(sector, 77);
  EXPECT_EQ(zt::open_fd_count(), before);
}

TEST(FileTest, LoopDeviceSizeAndSectorSizes) {
  Scratch s;
  zt::make_image(s.at("disk.img"), 1 << 20);
  for (unsigned sector : {512u, 4096u}) {
    zt::LoopDevice loop(s.at("disk.img"), sector);
    if (loop.dev.empty())
      GTEST_SKIP() << loop.why;
    int fd = -1;
    ASSERT_EQ(file_open_read(loop.dev.c_str(), &fd), ST_OK);
    uint64_t size = 0;
    EXPECT_EQ(fd_size(fd, &size), ST_OK);
    EXPECT_EQ(size, 1u << 20);
    file_close(fd);

    int before = zt::open_fd_count();
    int32_t got = 0;
    EXPECT_EQ(device_sector_size(loop.dev.c_str(), &got), ST_OK);
    EXPECT_EQ(got, static_cast<int32_t>(sector));
    EXPECT_EQ(zt::open_fd_count(), before);
  }
}

TEST(FileTest, AdvicePassesTheRawResult) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(advise_sequential(p[0]), ESPIPE);
  EXPECT_EQ(advise_willneed(p[0], 0, 4096), ESPIPE);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(advise_sequential(-1), EBADF);

  Scratch s;
  zt::make_image(s.at("f"), 8192);
  int fd = -1;
  ASSERT_EQ(file_open_read(s.at("f").c_str(), &fd), ST_OK);
  EXPECT_EQ(advise_sequential(fd), 0);
  EXPECT_EQ(advise_willneed(fd, 4096, 4096), 0);
  file_close(fd);
}

} // namespace
