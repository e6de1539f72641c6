#include "platform/block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/stub_fs.h"
#include "platform/test_devices.h"
#include "support/test_support.h"

namespace {

struct Scratch {
  zt::TempDir dir;
  Scratch() { chmod(dir.path.c_str(), 0755); }
  std::string at(const char *name) const { return dir.path + "/" + name; }
};

// Checks buf[0..n) against the image pattern starting at byte offset.
bool matches_pattern(const unsigned char *buf, size_t n, size_t offset) {
  for (size_t i = 0; i < n; i++)
    if (buf[i] != zt::pattern_byte(offset + i))
      return false;
  return true;
}

bool all_zero(const unsigned char *buf, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (buf[i] != 0)
      return false;
  return true;
}

TEST(BlockReaderTest, RegularFileTakesTheFileTable) {
  Scratch s;
  zt::make_image(s.at("img"), 10000);
  BlockHandle h;
  memset(&h, 0x5a, sizeof(h));
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  EXPECT_EQ(h.is_block, 0);
  EXPECT_EQ(h.ops, &file_reader_ops);
  EXPECT_GE(h.fd, 0);
  EXPECT_STREQ(h.path, s.at("img").c_str());
  // The reset cleared the whole path buffer, not just its start.
  EXPECT_TRUE(all_zero(reinterpret_cast<unsigned char *>(h.path) + strlen(h.path),
                       sizeof(h.path) - strlen(h.path)));
  uint64_t size = 0;
  EXPECT_EQ(block_reader_size(&h, &size), ST_OK);
  EXPECT_EQ(size, 10000u);
  int flag = 0;
  EXPECT_EQ(block_reader_query_flag(&h, &flag), ST_OK);
  EXPECT_EQ(flag, 1);
  block_reader_close(&h);
  EXPECT_EQ(h.fd, -1);
  // A handle may be opened again after close.
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  block_reader_close(&h);
}

TEST(BlockReaderTest, ShortLastBlockEndsInZeros) {
  Scratch s;
  zt::make_image(s.at("img"), 10000);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  std::vector<unsigned char> buf(4096);
  int32_t count = -1;

  ASSERT_EQ(block_reader_read(&h, 1, 4096, buf.data(), &count), ST_OK);
  EXPECT_EQ(count, 4096);
  EXPECT_TRUE(matches_pattern(buf.data(), 4096, 4096));

  memset(buf.data(), 0xAA, buf.size());
  ASSERT_EQ(block_reader_read(&h, 2, 4096, buf.data(), &count), ST_OK);
  EXPECT_EQ(count, 1808);
  EXPECT_TRUE(matches_pattern(buf.data(), 1808, 8192));
  EXPECT_TRUE(all_zero(buf.data() + 1808, 2288));

  memset(buf.data(), 0xAA, buf.size());
  ASSERT_EQ(block_reader_read(&h, 3, 4096, buf.data(), &count), ST_OK);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(all_zero(buf.data(), 4096));

  EXPECT_EQ(block_reader_read(&h, 0, 4096, buf.data(), nullptr), ST_OK);
  block_reader_close(&h);
}

TEST(BlockReaderTest, ReadAtZeroFillsPastTheEnd) {
  Scratch s;
  zt::make_image(s.at("img"), 10000);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  std::vector<unsigned char> buf(150, 0xAA);
  uint64_t count = 0;
  ASSERT_EQ(block_reader_read_at(&h, 9900, 150, buf.data(), &count), ST_OK);
  EXPECT_EQ(count, 100u);
  EXPECT_TRUE(matches_pattern(buf.data(), 100, 9900));
  EXPECT_TRUE(all_zero(buf.data() + 100, 50));

  count = 99;
  EXPECT_EQ(block_reader_read_at(&h, 0, 0, buf.data(), &count), ST_OK);
  EXPECT_EQ(count, 0u);
  block_reader_close(&h);
}

// A file system that answers every read with at most 1000 bytes: a single
// pread comes back short in mid-file, yet a block must hold the real data,
// never zeros in place of bytes that exist.
TEST(BlockReaderTest, ShortReadsInMidFileAreContinued) {
  std::string content(10000, '\0');
  for (size_t i = 0; i < content.size(); i++)
    content[i] = static_cast<char>(zt::pattern_byte(i));
  auto result = zt::with_stub_fs(content, 1000, {}, [&](const std::string &path, zt::StubFs &) {
    BlockHandle h;
    if (block_reader_open(&h, path.c_str()) != ST_OK || h.ops != &file_reader_ops)
      return 1;
    std::vector<unsigned char> buf(4096, 0xAA);
    if (pread(h.fd, buf.data(), buf.size(), 0) != 1000)
      return 2; // the stub really does cut reads short
    int32_t count = 0;
    if (block_reader_read(&h, 0, 4096, buf.data(), &count) != ST_OK || count != 4096 ||
        !matches_pattern(buf.data(), 4096, 0))
      return 3;
    memset(buf.data(), 0xAA, buf.size());
    if (block_reader_read(&h, 2, 4096, buf.data(), &count) != ST_OK || count != 1808 ||
        !matches_pattern(buf.data(), 1808, 8192) || !all_zero(buf.data() + 1808, 2288))
      return 4;
    std::vector<unsigned char> all(10050, 0xAA);
    uint64_t n = 0;
    if (block_reader_read_at(&h, 0, all.size(), all.data(), &n) != ST_OK || n != 10000 ||
        !matches_pattern(all.data(), 10000, 0) || !all_zero(all.data() + 10000, 50))
      return 5;
    block_reader_close(&h);
    return 0;
  });
  ASSERT_TRUE(result.has_value()) << "the child serving the test file system died";
  if (*result == zt::STUB_FS_UNAVAILABLE)
    GTEST_SKIP() << "FUSE mounts are not available on this machine";
  EXPECT_EQ(*result, 0) << "1 open, 2 stub, 3 whole block, 4 last block, 5 byte range";
}

// A table that brings its own byte-range read is used instead of the
// built-in one.
TEST(BlockReaderTest, TableReadAtIsPreferred) {
  static int calls;
  calls = 0;
  static const BlockReaderOps with_read_at = {
      file_reader_ops.open, file_reader_ops.read_block, file_reader_ops.size,
      file_reader_ops.query_flag, file_reader_ops.close,
      [](BlockHandle *, uint64_t offset, uint64_t length, void *, uint64_t *out) {
        calls++;
        *out = offset + length;
        return ST_OK;
      }};
  Scratch s;
  zt::make_image(s.at("img"), 100);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  h.ops = &with_read_at;
  unsigned char buf[8];
  uint64_t n = 0;
  EXPECT_EQ(block_reader_read_at(&h, 40, 2, buf, &n), ST_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(n, 42u);
  block_reader_close(&h);
  EXPECT_EQ(h.fd, -1);
}

TEST(BlockReaderTest, MissingPathLeavesNoTable) {
  Scratch s;
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, s.at("missing").c_str()), ST_NOTFOUND);
  EXPECT_EQ(h.ops, nullptr);
  EXPECT_EQ(h.fd, -1);
  block_reader_close(&h); // does nothing
  EXPECT_EQ(h.fd, -1);
  // Calls on a handle without a table are refused rather than followed
  // through a null table.
  unsigned char buf[16];
  uint64_t size = 5;
  EXPECT_EQ(block_reader_read(&h, 0, sizeof(buf), buf, nullptr), ST_INVAL);
  EXPECT_EQ(block_reader_size(&h, &size), ST_INVAL);
  EXPECT_EQ(size, 5u);
  uint64_t count = 3;
  EXPECT_EQ(block_reader_read_at(&h, 0, sizeof(buf), buf, &count), ST_IO); // no descriptor
  EXPECT_EQ(count, 3u);
}

TEST(BlockReaderTest, UnreadablePathKeepsTheTableWithoutDescriptor) {
  Scratch s;
  std::string secret = s.at("secret");
  zt::make_image(secret, 4096);
  chmod(secret.c_str(), 0600);
  auto result = zt::run_as_nobody([&] {
    BlockHandle h;
    StatusCode st = block_reader_open(&h, secret.c_str());
    bool shape = h.fd == -1 && h.ops == &file_reader_ops && strcmp(h.path, secret.c_str()) == 0;
    block_reader_close(&h);
    return shape ? st : 100;
  });
  ASSERT_TRUE(result.has_value()) << "could not run a child as nobody";
  EXPECT_EQ(*result, ST_IO);
}

// Nested directories make a path longer than the handle can hold, though
// every component is within the file system's limit.
std::string long_path(const std::string &base, size_t total) {
  std::string path = base;
  std::string part(200, 'd');
  while (path.size() + 1 + part.size() + 1 + 20 < total) {
    path += "/" + part;
    mkdir(path.c_str(), 0755);
  }
  path += "/";
  path += std::string(total - path.size(), 'f');
  return path;
}

TEST(BlockHandleTest, LongPathIsOpenedInFullAndCutInTheHandle) {
  Scratch s;
  std::string path = long_path(s.dir.path, 1500);
  ASSERT_EQ(path.size(), 1500u);

  BlockHandle w;
  ASSERT_EQ(block_writer_open(&w, path.c_str()), ST_OK);
  EXPECT_EQ(strlen(w.path), 1023u);
  EXPECT_EQ(std::string(w.path), path.substr(0, 1023));
  EXPECT_EQ(block_writer_write(&w, 0, 4096, "long", 4), ST_OK);
  EXPECT_EQ(block_writer_close(&w), ST_OK);

  BlockHandle r;
  ASSERT_EQ(block_reader_open(&r, path.c_str()), ST_OK);
  EXPECT_EQ(std::string(r.path), path.substr(0, 1023));
  char buf[8] = {};
  int32_t count = 0;
  EXPECT_EQ(block_reader_read(&r, 0, 8, buf, &count), ST_OK);
  EXPECT_EQ(count, 4);
  EXPECT_STREQ(buf, "long");
  block_reader_close(&r);
}

TEST(BlockWriterTest, CreatesWithMode0644BeforeUmask) {
  Scratch s;
  mode_t old = umask(0);
  BlockHandle h;
  StatusCode st = block_writer_open(&h, s.at("new").c_str());
  umask(027);
  BlockHandle h2;
  StatusCode st2 = block_writer_open(&h2, s.at("masked").c_str());
  umask(old);
  ASSERT_EQ(st, ST_OK);
  ASSERT_EQ(st2, ST_OK);
  EXPECT_EQ(h.ops, &block_writer_ops);
  EXPECT_EQ(h.is_block, 0);
  struct stat sb{};
  ASSERT_EQ(stat(s.at("new").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 07777, 0644u);
  ASSERT_EQ(stat(s.at("masked").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 07777, 0640u);
  EXPECT_EQ(block_writer_close(&h), ST_OK);
  EXPECT_EQ(block_writer_close(&h2), ST_OK);
  EXPECT_EQ(h.fd, -1);
}

TEST(BlockWriterTest, WritesBlocksIntoAnExistingFileAndTruncates) {
  Scratch s;
  std::string path = s.at("target");
  zt::write_file(path, std::string(10, 'k'));
  BlockHandle h;
  ASSERT_EQ(block_writer_open(&h, path.c_str()), ST_OK);
  EXPECT_EQ(zt::read_file(path), std::string(10, 'k')); // kept
  // A short last block at block 2, and two blocks' worth at block 0.
  EXPECT_EQ(block_writer_write(&h, 2, 4, "zz", 2), ST_OK);
  EXPECT_EQ(block_writer_write(&h, 0, 4, "AAAABBBB", 8), ST_OK);
  EXPECT_EQ(zt::read_file(path), "AAAABBBBzz");
  EXPECT_EQ(block_writer_truncate(&h, 6), ST_OK);
  EXPECT_EQ(zt::read_file(path), "AAAABB");
  EXPECT_EQ(block_writer_truncate(&h, 8), ST_OK);
  EXPECT_EQ(zt::read_file(path), std::string("AAAABB\0\0", 8));
  EXPECT_EQ(block_writer_close(&h), ST_OK);
}

TEST(BlockWriterTest, OffsetsThatWouldWrapAreRefused) {
  Scratch s;
  BlockHandle h;
  ASSERT_EQ(block_writer_open(&h, s.at("target").c_str()), ST_OK);
  // 2^52 blocks of 4096 bytes would wrap to offset 0.
  EXPECT_EQ(block_writer_write(&h, uint64_t{1} << 52, 4096, "x", 1), ST_INVAL);
  EXPECT_EQ(block_writer_close(&h), ST_OK);
  EXPECT_EQ(zt::read_file(s.at("target")), "");

  zt::make_image(s.at("img"), 4096);
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  unsigned char buf[4096];
  int32_t count = 7;
  EXPECT_EQ(block_reader_read(&h, uint64_t{1} << 52, 4096, buf, &count), ST_INVAL);
  // A block whose byte count would not fit the signed 32-bit out count.
  EXPECT_EQ(block_reader_read(&h, 0, 0x80000000u, buf, &count), ST_INVAL);
  EXPECT_EQ(count, 7);
  block_reader_close(&h);
}

TEST(BlockWriterTest, CloseAfterFailedOpenIsAnIoError) {
  Scratch s;
  BlockHandle h;
  EXPECT_EQ(block_writer_open(&h, s.at("nodir/target").c_str()), ST_NOTFOUND);
  EXPECT_EQ(h.fd, -1);
  EXPECT_EQ(h.ops, &block_writer_ops);
  EXPECT_EQ(block_writer_close(&h), ST_IO);

  BlockHandle never{};
  never.fd = -1;
  EXPECT_EQ(block_writer_close(&never), ST_OK); // no table
}

TEST(BlockWriterTest, TargetsWithoutFlushAreNotAFailure) {
  BlockHandle h;
  ASSERT_EQ(block_writer_open(&h, "/dev/null"), ST_OK);
  EXPECT_EQ(h.is_block, 0);
  EXPECT_EQ(block_writer_write(&h, 3, 512, "data", 4), ST_OK);
  EXPECT_EQ(block_writer_close(&h), ST_OK); // fsync gives EINVAL here
}

TEST(BlockDeviceTest, ReaderAndWriterOnALoopDevice) {
  Scratch s;
  zt::make_image(s.at("disk.img"), 1 << 20);
  zt::LoopDevice loop(s.at("disk.img"));
  if (loop.dev.empty())
    GTEST_SKIP() << loop.why;

  BlockHandle r;
  ASSERT_EQ(block_reader_open(&r, loop.dev.c_str()), ST_OK);
  EXPECT_EQ(r.is_block, 1);
  EXPECT_EQ(r.ops, &device_reader_ops);
  uint64_t size = 0;
  EXPECT_EQ(block_reader_size(&r, &size), ST_OK);
  EXPECT_EQ(size, 1u << 20);
  int flag = 0;
  EXPECT_EQ(block_reader_query_flag(&r, &flag), ST_OK);
  EXPECT_EQ(flag, 1);
  std::vector<unsigned char> buf(65536);
  int32_t count = 0;
  ASSERT_EQ(block_reader_read(&r, 5, 65536, buf.data(), &count), ST_OK);
  EXPECT_EQ(count, 65536);
  EXPECT_TRUE(matches_pattern(buf.data(), buf.size(), 5 * 65536));
  ASSERT_EQ(block_reader_read(&r, 16, 65536, buf.data(), &count), ST_OK); // past the end
  EXPECT_EQ(count, 0);
  block_reader_close(&r);

  BlockHandle w;
  ASSERT_EQ(block_writer_open(&w, loop.dev.c_str()), ST_OK);
  EXPECT_EQ(w.is_block, 1);
  std::vector<unsigned char> ones(4096, 0x11);
  EXPECT_EQ(block_writer_write(&w, 3, 4096, ones.data(), 4096), ST_OK);
  EXPECT_EQ(block_writer_truncate(&w, 100), ST_OK); // no-op on a device
  // Past the end of the device nothing can be written: an error, never a
  // silent short write.
  EXPECT_EQ(block_writer_write(&w, 256, 4096, ones.data(), 4096), ST_IO);
  EXPECT_EQ(block_writer_write(&w, 255, 4096, ones.data(), 4096), ST_OK);
  std::vector<unsigned char> two(8192, 0x22);
  EXPECT_EQ(block_writer_write(&w, 255, 4096, two.data(), 8192), ST_IO);
  EXPECT_EQ(block_writer_close(&w), ST_OK);

  ASSERT_EQ(block_reader_open(&r, loop.dev.c_str()), ST_OK);
  EXPECT_EQ(block_reader_size(&r, &size), ST_OK);
  EXPECT_EQ(size, 1u << 20);
  std::vector<unsigned char> back(4096);
  ASSERT_EQ(block_reader_read(&r, 3, 4096, back.data(), &count), ST_OK);
  EXPECT_EQ(back, ones);
  ASSERT_EQ(block_reader_read(&r, 2, 4096, back.data(), &count), ST_OK);
  EXPECT_TRUE(matches_pattern(back.data(), 4096, 2 * 4096));
  block_reader_close(&r);
}

// Writes to a device land in the page cache; a device that cannot store
// them fails only at the flush.  The writer's close must say so: here the
// loop device's image lives on a tmpfs too small for the data.
TEST(BlockDeviceTest, CloseReportsDataTheDeviceCouldNotStore) {
  zt::TempDir mnt;
  std::string why;
  auto result = zt::run_in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("zpr-small", mnt.path.c_str(), "tmpfs", 0, "size=256k") != 0)
      return 77;
    std::string image = mnt.path + "/disk.img";
    int fd = open(image.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ftruncate(fd, 8 << 20) != 0)
      return 1;
    close(fd);
    zt::LoopDevice loop(image);
    if (loop.dev.empty())
      return 78;
    BlockHandle w;
    if (block_writer_open(&w, loop.dev.c_str()) != ST_OK || w.is_block != 1)
      return 2;
    std::vector<unsigned char> block(65536, 0x5c);
    for (uint64_t i = 0; i < 32; i++)
      if (block_writer_write(&w, i, 65536, block.data(), 65536) != ST_OK)
        return 3;
    StatusCode st = block_writer_close(&w);
    return w.fd == -1 ? st : 4;
  });
  ASSERT_TRUE(result.has_value());
  if (*result == 77)
    GTEST_SKIP() << "cannot mount a private tmpfs here";
  if (*result == 78)
    GTEST_SKIP() << "loop devices are not available on this machine";
  EXPECT_EQ(*result, ST_IO);
}

TEST(BlockReaderTest, ThreadsShareOneHandle) {
  Scratch s;
  constexpr uint32_t kBlock = 4096;
  constexpr uint64_t kBlocks = 256;
  zt::make_image(s.at("img"), kBlock * kBlocks);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  int bad[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      std::vector<unsigned char> buf(kBlock);
      for (uint64_t i = static_cast<uint64_t>(t); i < kBlocks; i += 4) {
        int32_t count = 0;
        if (block_reader_read(&h, i, kBlock, buf.data(), &count) != ST_OK ||
            count != static_cast<int32_t>(kBlock) || !matches_pattern(buf.data(), kBlock, i * kBlock))
          bad[t]++;
      }
    });
  }
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(bad[0] + bad[1] + bad[2] + bad[3], 0);
  block_reader_close(&h);
}

TEST(BlockHandleTest, SnapshotAndChangedRangesAreNotOfferedHere) {
  Scratch s;
  zt::make_image(s.at("img"), 4096);
  BlockHandle h;
  ASSERT_EQ(block_reader_open(&h, s.at("img").c_str()), ST_OK);
  EXPECT_EQ(block_reader_open_snapshot(&h, s.at("img").c_str(), 1), ST_UNSUPPORTED);
  EXPECT_EQ(block_reader_open_snapshot(nullptr, nullptr, 0), ST_UNSUPPORTED);
  BlockRange ranges[4];
  uint32_t n = 9;
  EXPECT_EQ(block_reader_changed_ranges(&h, 42, ranges, 4, &n), ST_UNSUPPORTED);
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(block_reader_changed_ranges(nullptr, 0, nullptr, 0, nullptr), ST_UNSUPPORTED);
  // The open reader is not disturbed.
  EXPECT_GE(h.fd, 0);
  EXPECT_EQ(h.ops, &file_reader_ops);
  block_reader_close(&h);
}

} // namespace
