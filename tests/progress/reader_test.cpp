// The segment reader against crafted objects in a private /dev/shm, a real
// writer process racing a reader, and a segment of another user.
#include "progress/reader.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <functional>

#include "progress/seqlock_internal.h"
#include "progress/writer.h"
#include "support/test_support.h"

namespace {

// Everything a test puts into /dev/shm, removed again at its end, so that
// the tests also pass when run together in one process.
std::vector<std::string> g_made;

std::string shm_file(const std::string &name) {
  std::string path = "/dev/shm/" + name;
  g_made.push_back(path);
  return path;
}

void remove_made() {
  for (const std::string &path : g_made)
    if (unlink(path.c_str()) != 0)
      rmdir(path.c_str());
  g_made.clear();
}

std::string seg_name(uint32_t pid) { return PROGRESS_NAME_PREFIX + std::to_string(pid); }

// A well-formed record as the writer would leave it.
ProgressSegment record(uint32_t pid, const char *name = "job") {
  ProgressSegment r;
  memset(&r, 0, sizeof r);
  r.magic = PROGRESS_MAGIC;
  r.version = PROGRESS_VERSION;
  r.pid = pid;
  r.tool = TOOL_AGENT;
  r.state = STATE_RUNNING;
  snprintf(r.name, sizeof r.name, "%s", name);
  r.eta_s = -1;
  return r;
}

// Writes bytes into /dev/shm/<name> (created or truncated), or makes an
// object of `size` bytes whose first min(size, len) bytes are given.
void craft(const std::string &name, const void *bytes, size_t len, size_t size) {
  int fd = open(shm_file(name).c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
  ASSERT_GE(fd, 0) << name;
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  size_t n = len < size ? len : size;
  ASSERT_EQ(pwrite(fd, bytes, n, 0), static_cast<ssize_t>(n));
  close(fd);
}

void craft(const std::string &name, const ProgressSegment &r) {
  craft(name, &r, sizeof r, sizeof r);
}

int run_in_child(const std::function<int()> &fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0)
    _exit(fn());
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

bool exited_ok(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

struct Scan {
  ScanEntry *entries = nullptr;
  size_t count = 0;
  StatusCode st = scan_segments(&entries, &count);
  ~Scan() { free(entries); }
  std::multiset<uint32_t> pids() const {
    std::multiset<uint32_t> s;
    for (size_t i = 0; i < count; i++)
      s.insert(entries[i].pid);
    return s;
  }
};

struct ShmTest : ::testing::Test {
  void TearDown() override { remove_made(); }
};
using ReaderAttach = ShmTest;
using ReaderSnapshot = ShmTest;
using ReaderScan = ShmTest;

// ---------------------------------------------------------------------------
// Attach and detach

TEST_F(ReaderAttach, MissingSegmentIsNotFound) {
  ProgressSegment dummy;
  const ProgressSegment *seg = &dummy;
  EXPECT_EQ(progress_attach(4000001, &seg), ST_NOTFOUND);
  EXPECT_EQ(seg, nullptr);
}

TEST_F(ReaderAttach, WrongMagicOrVersionIsCorrupt) {
  ProgressSegment r = record(700);
  for (uint32_t version : {5u, 7u, 0u}) {
    r.version = version;
    craft(seg_name(700), r);
    const ProgressSegment *seg = &r;
    EXPECT_EQ(progress_attach(700, &seg), ST_CORRUPT) << "version " << version;
    EXPECT_EQ(seg, nullptr);
  }
  r = record(700);
  r.magic = 0x50524F48;
  craft(seg_name(700), r);
  const ProgressSegment *seg = nullptr;
  EXPECT_EQ(progress_attach(700, &seg), ST_CORRUPT);
  // Nothing stays mapped after a rejected attach.
  std::string maps;
  FILE *f = fopen("/proc/self/maps", "r");
  char line[512];
  while (fgets(line, sizeof line, f))
    maps += line;
  fclose(f);
  EXPECT_EQ(maps.find(seg_name(700)), std::string::npos);
}

TEST_F(ReaderAttach, ObjectNotYetSizedIsNotAvailable) {
  ProgressSegment r = record(701);
  for (size_t size : {size_t{0}, size_t{8}, PROGRESS_SEGMENT_SIZE - 1}) {
    craft(seg_name(701), &r, sizeof r, size);
    const ProgressSegment *seg = nullptr;
    EXPECT_EQ(progress_attach(701, &seg), ST_NOTFOUND) << size << " bytes";
    EXPECT_EQ(seg, nullptr);
  }
  // A longer object is fine: only the record is mapped.
  craft(seg_name(701), &r, sizeof r, 4096);
  const ProgressSegment *seg = nullptr;
  EXPECT_EQ(progress_attach(701, &seg), ST_OK);
  progress_detach(&seg);
}

TEST_F(ReaderAttach, DetachEmptiesAndToleratesEmptyReferences) {
  craft(seg_name(702), record(702));
  const ProgressSegment *seg = nullptr;
  progress_detach(nullptr);
  progress_detach(&seg);
  ASSERT_EQ(progress_attach(702, &seg), ST_OK);
  progress_detach(&seg);
  EXPECT_EQ(seg, nullptr);
  progress_detach(&seg);
  EXPECT_EQ(seg, nullptr);
}

TEST_F(ReaderAttach, MappingOutlivesTheName) {
  craft(seg_name(703), record(703, "kept"));
  const ProgressSegment *seg = nullptr;
  ASSERT_EQ(progress_attach(703, &seg), ST_OK);
  unlink(shm_file(seg_name(703)).c_str());
  ProgressSegment copy;
  ASSERT_EQ(progress_snapshot(seg, &copy), ST_OK);
  EXPECT_STREQ(copy.name, "kept");
  const ProgressSegment *again = nullptr;
  EXPECT_EQ(progress_attach(703, &again), ST_NOTFOUND);
  progress_detach(&seg);
}

TEST_F(ReaderAttach, SegmentOfAnotherUserIsNotFound) {
  // The owner (uid 65534) creates its segment with mode 0600 and waits; a
  // reader of another uid (65533) must be refused.  Root would not be.
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  fflush(nullptr);
  pid_t owner = fork();
  if (owner == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(1);
    ProgressSegment *s;
    if (progress_create(&s, TOOL_AGENT, "private", 0, 0, "") != ST_OK)
      _exit(2);
    if (write(ready[1], "r", 1) != 1)
      _exit(3);
    char c;
    if (read(done[0], &c, 1) < 0)
      _exit(4);
    progress_destroy(&s);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  uint32_t pid = static_cast<uint32_t>(owner);
  int status = run_in_child([pid] {
    if (setgid(65533) != 0 || setuid(65533) != 0)
      return 1;
    const ProgressSegment *seg = nullptr;
    return progress_attach(pid, &seg) == ST_NOTFOUND && seg == nullptr ? 0 : 2;
  });
  EXPECT_TRUE(exited_ok(status)) << status;
  const ProgressSegment *seg = nullptr;
  EXPECT_EQ(progress_attach(pid, &seg), ST_OK); // root may
  progress_detach(&seg);
  ASSERT_EQ(write(done[1], "d", 1), 1);
  int st;
  waitpid(owner, &st, 0);
  EXPECT_TRUE(exited_ok(st));
}

// ---------------------------------------------------------------------------
// Snapshot

TEST_F(ReaderSnapshot, MissingArgumentsAreInvalid) {
  ProgressSegment buf;
  EXPECT_EQ(progress_snapshot(nullptr, &buf), ST_INVAL);
  craft(seg_name(710), record(710));
  const ProgressSegment *seg = nullptr;
  ASSERT_EQ(progress_attach(710, &seg), ST_OK);
  EXPECT_EQ(progress_snapshot(seg, nullptr), ST_INVAL);
  progress_detach(&seg);
}

TEST_F(ReaderSnapshot, QuietSegmentCopiesOnTheFirstAttempt) {
  ProgressSegment r = record(711, "quiet");
  r.seq = 42;
  r.blocks_done = 12345;
  r.worker_block[63] = 77;
  craft(seg_name(711), r);
  const ProgressSegment *seg = nullptr;
  ASSERT_EQ(progress_attach(711, &seg), ST_OK);
  ProgressSegment copy;
  int attempts = 0;
  EXPECT_EQ(progress_snapshot_counted(seg, &copy, &attempts), ST_OK);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(copy.seq, 42u);
  EXPECT_EQ(memcmp(&copy, &r, sizeof r), 0);
  progress_detach(&seg);
}

TEST_F(ReaderSnapshot, OddCounterGivesUpAfterExactlyOneHundredAttempts) {
  ProgressSegment r = record(712);
  r.seq = 7;
  craft(seg_name(712), r);
  const ProgressSegment *seg = nullptr;
  ASSERT_EQ(progress_attach(712, &seg), ST_OK);
  ProgressSegment copy;
  int attempts = 0;
  EXPECT_EQ(progress_snapshot_counted(seg, &copy, &attempts), ST_AGAIN);
  EXPECT_EQ(attempts, 100);
  EXPECT_EQ(progress_snapshot(seg, &copy), ST_AGAIN);
  progress_detach(&seg);
}

// True when every counter of the copy carries the same value, as the
// stress writer publishes them.
bool consistent(const ProgressSegment &c) {
  uint64_t v = c.blocks_done;
  auto v32 = static_cast<uint32_t>(v);
  bool ok = c.block_current == v && c.written == v && c.zero == v && c.unchanged == v &&
            c.bytes_raw == v && c.bytes_compressed == v && c.fs_free == v && c.q_raw_depth == v32 &&
            c.q_raw_cap == v32 && c.q_out_depth == v32 && c.q_out_cap == v32 &&
            c.workers_active == v32 && c.workers_total == v32 && c.bg_duty_pct == v32 &&
            c.bg_self_net == v32 && c.level == static_cast<int32_t>(v32);
  for (int64_t w : c.worker_block)
    ok = ok && w == static_cast<int64_t>(v);
  return ok && c.seq % 2 == 0;
}

TEST_F(ReaderSnapshot, RacingWriterNeverYieldsATornCopy) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    ProgressSegment *s;
    if (progress_create(&s, TOOL_AGENT, "stress", 0, 0, "") != ST_OK)
      _exit(1);
    if (write(ready[1], "r", 1) != 1)
      _exit(2);
    int64_t blocks[PROGRESS_MAX_WORKERS];
    ProgressSample x{};
    x.worker_blocks = blocks;
    x.worker_count = PROGRESS_MAX_WORKERS;
    for (uint64_t v = 1;; v++) {
      x.blocks_done = x.block_current = x.written = x.zero = x.unchanged = v;
      x.bytes_raw = x.bytes_compressed = x.fs_free = v;
      auto v32 = static_cast<uint32_t>(v);
      x.q_raw_depth = x.q_raw_cap = x.q_out_depth = x.q_out_cap = v32;
      x.workers_active = x.workers_total = x.bg_duty_pct = x.bg_self_net = v32;
      x.level = static_cast<int32_t>(v32);
      for (int64_t &b : blocks)
        b = static_cast<int64_t>(v);
      progress_update(s, &x);
    }
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const ProgressSegment *seg = nullptr;
  ASSERT_EQ(progress_attach(static_cast<uint32_t>(writer), &seg), ST_OK);
  // The record as created holds no sample yet: start once updates flow.
  ProgressSegment copy;
  ASSERT_TRUE(
      zt::wait_until([&] { return progress_snapshot(seg, &copy) == ST_OK && copy.seq > 0; }));

  constexpr int ROUNDS = 3000000;
  int accepted = 0, torn = 0;
  uint64_t first = 0, last = 0;
  for (int i = 0; i < ROUNDS; i++) {
    if (progress_snapshot(seg, &copy) != ST_OK)
      continue;
    accepted++;
    if (!consistent(copy))
      torn++;
    if (first == 0)
      first = copy.blocks_done;
    last = copy.blocks_done;
  }
  kill(writer, SIGKILL);
  int st;
  waitpid(writer, &st, 0);
  progress_detach(&seg);
  unlink(shm_file(seg_name(static_cast<uint32_t>(writer))).c_str());

  printf("accepted %d of %d snapshots against a tight-loop writer; %llu updates seen\n", accepted,
         ROUNDS, static_cast<unsigned long long>(last - first));
  EXPECT_EQ(torn, 0);
  EXPECT_GT(accepted, 0);
  EXPECT_GT(last, first) << "the writer did not run while the reader copied";
}

// ---------------------------------------------------------------------------
// Scan

TEST_F(ReaderScan, NothingFoundStillHandsBackAnArray) {
  Scan scan;
  EXPECT_EQ(scan.st, ST_OK);
  EXPECT_EQ(scan.count, 0u);
  EXPECT_NE(scan.entries, nullptr);
}

TEST_F(ReaderScan, NineSegmentsGrowTheArray) {
  std::multiset<uint32_t> want;
  for (uint32_t pid = 801; pid <= 809; pid++) {
    ProgressSegment r = record(pid);
    r.tool = TOOL_XENV;
    r.backup_type = BACKUP_DIFF;
    r.state = STATE_FINISHING;
    r.child_pid = pid + 1000;
    craft(seg_name(pid), r);
    want.insert(pid);
  }
  Scan scan;
  ASSERT_EQ(scan.st, ST_OK);
  EXPECT_EQ(scan.pids(), want);
  for (size_t i = 0; i < scan.count; i++) {
    const ScanEntry &e = scan.entries[i];
    EXPECT_EQ(e.tool, TOOL_XENV);
    EXPECT_EQ(e.backup_type, BACKUP_DIFF);
    EXPECT_EQ(e.state, STATE_FINISHING);
    EXPECT_EQ(e.child_pid, e.pid + 1000);
    EXPECT_STREQ(e.name, "job");
  }
}

TEST_F(ReaderScan, NamesAndObjectsThatAreNotSegmentsAreSkipped) {
  ProgressSegment good = record(900);
  craft("zpr_progress.", good);
  craft("zpr_progress.abc", good);
  craft("zpr_progress.0", good);
  craft("other_tool.901", record(901));
  ProgressSegment bad = record(902);
  bad.version = 5;
  craft(seg_name(902), bad);
  ProgressSegment odd = record(903);
  odd.seq = 3;
  craft(seg_name(903), odd);
  craft(seg_name(904), &good, sizeof good, 0); // created, not yet sized
  craft(seg_name(905), "garbage", 7, PROGRESS_SEGMENT_SIZE);
  ASSERT_EQ(mkdir(shm_file(seg_name(906)).c_str(), 0700), 0);
  craft(seg_name(900), good);
  ASSERT_EQ(symlink(seg_name(900).c_str(), shm_file(seg_name(907)).c_str()), 0);
  ASSERT_EQ(mkfifo(shm_file(seg_name(908)).c_str(), 0600), 0);

  // A FIFO opened without care would block the scan for ever: scan in a
  // child with an alarm, and take the pids back through a pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int status = run_in_child([&] {
    alarm(60);
    Scan scan;
    if (scan.st != ST_OK)
      return 1;
    for (size_t i = 0; i < scan.count; i++)
      if (write(fds[1], &scan.entries[i].pid, 4) != 4)
        return 2;
    return 0;
  });
  close(fds[1]);
  ASSERT_TRUE(exited_ok(status)) << "scan blocked or failed, status " << status;
  std::multiset<uint32_t> pids;
  uint32_t pid;
  while (read(fds[0], &pid, 4) == 4)
    pids.insert(pid);
  close(fds[0]);
  EXPECT_EQ(pids, std::multiset<uint32_t>{900});
}

TEST_F(ReaderScan, NumberedNamesLeadToThePlainNumbersSegment) {
  // Leading zeros and trailing letters parse to 123; the entries carry the
  // pid stored in that segment, not the one in any name.
  craft(seg_name(123), record(777, "plain"));
  craft("zpr_progress.00123", "not a record", 12, PROGRESS_SEGMENT_SIZE);
  craft("zpr_progress.123abc", "not a record", 12, PROGRESS_SEGMENT_SIZE);
  Scan scan;
  ASSERT_EQ(scan.st, ST_OK);
  ASSERT_EQ(scan.count, 3u);
  for (size_t i = 0; i < scan.count; i++) {
    EXPECT_EQ(scan.entries[i].pid, 777u);
    EXPECT_STREQ(scan.entries[i].name, "plain");
  }
}

TEST_F(ReaderScan, UnterminatedNameIsCutAndTerminated) {
  ProgressSegment r = record(950);
  memset(r.name, 'n', sizeof r.name);
  craft(seg_name(950), r);
  Scan scan;
  ASSERT_EQ(scan.count, 1u);
  EXPECT_EQ(std::string(scan.entries[0].name), std::string(63, 'n'));
}

} // namespace
