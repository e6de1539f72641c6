// The segment writer, checked from the outside: bytes read back by another
// process, records read through the reader, real signals in forked
// children, and a full /dev/shm.  Runs with a private /dev/shm.
#include "progress/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "digest/cpu_features.h"
#include "progress/reader.h"
#include "runtime/clock.h"
#include "runtime/log.h"
#include "support/test_support.h"

namespace {

std::string shm_path(uint32_t pid) {
  return "/dev/shm/" + std::string(PROGRESS_NAME_PREFIX) + std::to_string(pid);
}

bool shm_exists(uint32_t pid) {
  struct stat st;
  return lstat(shm_path(pid).c_str(), &st) == 0;
}

uint32_t self_pid() { return static_cast<uint32_t>(getpid()); }

// Runs fn in a forked child and returns its raw wait status; fn's result is
// the child's exit status.
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

ProgressSegment snap(const ProgressSegment *seg) {
  ProgressSegment copy;
  EXPECT_EQ(progress_snapshot(seg, &copy), ST_OK);
  return copy;
}

// Little-endian value of width bytes at off, assembled byte by byte.
uint64_t le(const unsigned char *b, size_t off, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; i--)
    v = (v << 8) | b[off + static_cast<size_t>(i)];
  return v;
}

std::string text_at(const unsigned char *b, size_t off, size_t size) {
  const char *p = reinterpret_cast<const char *>(b + off);
  return std::string(p, strnlen(p, size));
}

struct Writer : ::testing::Test {
  ProgressSegment *seg = nullptr;
  void TearDown() override { progress_destroy(&seg); }
};

// ---------------------------------------------------------------------------
// Layout

TEST_F(Writer, RecordReadsBackAtItsOffsetsInAnotherProcess) {
  ASSERT_EQ(progress_create(&seg, TOOL_XENV, "layout-job", BACKUP_INC, 1000000, "/dev/vg0/disk"),
            ST_OK);
  int64_t workers[3] = {7, -1, 0x123456789A};
  ProgressSample s{};
  s.blocks_done = 250000;
  s.block_current = 250001;
  s.written = 0x0102030405060708;
  s.zero = 11;
  s.unchanged = 12;
  s.bytes_raw = 0xA1A2A3A4A5A6A7A8;
  s.bytes_compressed = 14;
  s.fs_free = 15;
  s.q_raw_depth = 16;
  s.q_raw_cap = 17;
  s.q_out_depth = 18;
  s.q_out_cap = 19;
  s.workers_active = 20;
  s.workers_total = 21;
  s.worker_blocks = workers;
  s.worker_count = 3;
  s.compression = 2;
  s.level = -5;
  s.level_min = 1;
  s.level_max = 19;
  s.bg_active = 1;
  s.bg_duty_pct = 22;
  s.bg_duty_min = 23;
  s.bg_duty_max = 24;
  s.bg_foreign_cpu = 25;
  s.bg_foreign_io = 26;
  s.bg_foreign_net = 27;
  s.bg_self_cpu = 28;
  s.bg_self_io = 29;
  s.bg_self_net = 30;
  progress_update(seg, &s);
  progress_set_child(4242);

  // A separate process reads the object with plain open and read and hands
  // the bytes back through a pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string path = shm_path(self_pid());
  int status = run_in_child([&] {
    close(fds[0]);
    int fd = open(path.c_str(), O_RDONLY);
    unsigned char buf[PROGRESS_SEGMENT_SIZE];
    if (fd < 0 || read(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf))
      return 1;
    return write(fds[1], buf, sizeof buf) == static_cast<ssize_t>(sizeof buf) ? 0 : 2;
  });
  close(fds[1]);
  ASSERT_TRUE(exited_ok(status));
  unsigned char b[PROGRESS_SEGMENT_SIZE];
  ASSERT_EQ(read(fds[0], b, sizeof b), static_cast<ssize_t>(sizeof b));
  close(fds[0]);

  EXPECT_EQ(std::string(reinterpret_cast<char *>(b), 4), "GORP");
  EXPECT_EQ(le(b, 0, 8), 0x0000000650524F47u);
  EXPECT_EQ(le(b, 8, 8), 4u); // update and set_child
  EXPECT_EQ(le(b, 16, 4), self_pid());
  EXPECT_EQ(b[20], TOOL_XENV);
  EXPECT_EQ(b[21], BACKUP_INC);
  EXPECT_EQ(b[22], STATE_RUNNING);
  EXPECT_EQ(b[23], 0);
  EXPECT_EQ(text_at(b, 24, 64), "layout-job");
  EXPECT_EQ(text_at(b, 88, 256), "/dev/vg0/disk");
  EXPECT_EQ(le(b, 344, 8), 1000000u);
  EXPECT_EQ(le(b, 352, 8), 250000u);
  EXPECT_EQ(le(b, 360, 8), 250001u);
  EXPECT_EQ(le(b, 368, 8), 0x0102030405060708u);
  EXPECT_EQ(le(b, 376, 8), 11u);
  EXPECT_EQ(le(b, 384, 8), 12u);
  EXPECT_EQ(le(b, 392, 8), 0xA1A2A3A4A5A6A7A8u);
  EXPECT_EQ(le(b, 400, 8), 14u);
  int64_t wall = static_cast<int64_t>(le(b, 408, 8));
  EXPECT_LE(wall, wall_clock_seconds());
  EXPECT_GT(wall, wall_clock_seconds() - 600);
  int64_t mono = static_cast<int64_t>(le(b, 416, 8));
  EXPECT_GT(mono, 0);
  EXPECT_LE(mono, monotonic_ms());
  EXPECT_LE(le(b, 424, 8), static_cast<uint64_t>(monotonic_ms() - mono));
  EXPECT_EQ(le(b, 432, 8), 0u); // first update with blocks done: ETA 0
  EXPECT_EQ(b[440], 0);
  EXPECT_EQ(le(b, 568, 8), 15u);
  for (int i = 0; i < 6; i++)
    EXPECT_EQ(le(b, 576 + 4 * static_cast<size_t>(i), 4), 16u + static_cast<unsigned>(i));
  EXPECT_EQ(le(b, 600, 8), 7u);
  EXPECT_EQ(le(b, 608, 8), UINT64_MAX);
  EXPECT_EQ(le(b, 616, 8), 0x123456789Au);
  for (size_t i = 3; i < 64; i++)
    EXPECT_EQ(le(b, 600 + 8 * i, 8), UINT64_MAX) << "worker slot " << i;
  EXPECT_EQ(le(b, 1112, 4), cpu_feature_flags());
  EXPECT_EQ(text_at(b, 1116, 16), sha256_impl_label());
  EXPECT_EQ(b[1132], 2);
  EXPECT_EQ(le(b, 1133, 3), 0u);
  EXPECT_EQ(le(b, 1136, 4), 0xFFFFFFFBu); // -5
  EXPECT_EQ(le(b, 1140, 4), 1u);
  EXPECT_EQ(le(b, 1144, 4), 19u);
  EXPECT_EQ(b[1148], 1);
  EXPECT_EQ(le(b, 1149, 3), 0u);
  for (int i = 0; i < 9; i++)
    EXPECT_EQ(le(b, 1152 + 4 * static_cast<size_t>(i), 4), 22u + static_cast<unsigned>(i));
  EXPECT_EQ(le(b, 1188, 4), 0u);
  EXPECT_GE(static_cast<int64_t>(le(b, 1192, 8)), mono);
  EXPECT_EQ(le(b, 1200, 4), 4242u);
  EXPECT_EQ(le(b, 1204, 4), 0u);
}

TEST_F(Writer, FreshSegmentHoldsTheInitialContents) {
  ASSERT_EQ(progress_create(&seg, TOOL_RESTORE, nullptr, BACKUP_DIFF, 77, nullptr), ST_OK);
  EXPECT_EQ(progress_current(), seg);
  struct stat st;
  ASSERT_EQ(stat(shm_path(self_pid()).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(PROGRESS_SEGMENT_SIZE));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ProgressSegment c = snap(seg);
  EXPECT_EQ(c.seq, 0u);
  EXPECT_EQ(c.state, STATE_STARTING);
  EXPECT_EQ(c.tool, TOOL_RESTORE);
  EXPECT_EQ(c.backup_type, BACKUP_DIFF);
  EXPECT_EQ(c.blocks_total, 77u);
  EXPECT_STREQ(c.name, "");
  EXPECT_STREQ(c.path, "");
  EXPECT_EQ(c.eta_s, -1);
  EXPECT_EQ(c.elapsed_ms, 0u);
  EXPECT_EQ(c.eta_base_ms, 0);
  EXPECT_EQ(c.child_pid, 0u);
  for (int64_t w : c.worker_block)
    EXPECT_EQ(w, -1);
}

TEST(WriterCreation, ReaderNeverAttachesToAHalfFilledRecord) {
  // A child creates and destroys its segment over and over while this
  // process attaches as fast as it can: every record it gets must already
  // hold all of its initial contents.
  constexpr int CYCLES = 20000;
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    for (int i = 0; i < CYCLES; i++) {
      ProgressSegment *s;
      if (progress_create(&s, TOOL_XENV, "filled", BACKUP_INC, 99, "/p") != ST_OK)
        _exit(1);
      progress_destroy(&s);
    }
    _exit(0);
  }
  auto pid = static_cast<uint32_t>(writer);
  int attached = 0, partial = 0;
  while (waitpid(writer, nullptr, WNOHANG) == 0) {
    const ProgressSegment *view = nullptr;
    if (progress_attach(pid, &view) != ST_OK)
      continue;
    ProgressSegment c;
    if (progress_snapshot(view, &c) == ST_OK) {
      attached++;
      bool whole = c.pid == pid && c.tool == TOOL_XENV && c.backup_type == BACKUP_INC &&
                   c.blocks_total == 99 && strcmp(c.name, "filled") == 0 &&
                   strcmp(c.path, "/p") == 0 && c.eta_s == -1 && c.start_mono_ms != 0 &&
                   c.worker_block[63] == -1 && strcmp(c.sha_impl, sha256_impl_label()) == 0;
      if (!whole)
        partial++;
    }
    progress_detach(&view);
  }
  printf("attached %d times during %d creations\n", attached, CYCLES);
  EXPECT_EQ(partial, 0);
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST_F(Writer, EveryOperationIsOneBracketAndFinishTwo) {
  ASSERT_EQ(progress_create(&seg, TOOL_PROXMOX, "job", 0, 10, "/p"), ST_OK);
  const ProgressSegment *view = nullptr;
  ASSERT_EQ(progress_attach(self_pid(), &view), ST_OK);
  ProgressSample s{};
  uint64_t seq = 0;
  auto grew_by = [&](uint64_t n) {
    uint64_t now = snap(view).seq;
    bool ok = now == seq + n;
    seq = now;
    return ok;
  };
  progress_update(seg, &s);
  EXPECT_TRUE(grew_by(2));
  progress_set_state(seg, STATE_FINISHING, "syncing");
  EXPECT_TRUE(grew_by(2));
  progress_set_info(seg, "renamed", BACKUP_FULL, 20);
  EXPECT_TRUE(grew_by(2));
  progress_note(STATE_RUNNING, "step %d", 3);
  EXPECT_TRUE(grew_by(2));
  progress_set_child(99);
  EXPECT_TRUE(grew_by(2));
  progress_finish(1);
  EXPECT_TRUE(grew_by(4));
  seg = nullptr;

  // The held mapping shows the final record; the name is gone.
  ProgressSegment c = snap(view);
  EXPECT_EQ(c.state, STATE_DONE);
  EXPECT_EQ(c.child_pid, 0u);
  EXPECT_STREQ(c.name, "renamed");
  EXPECT_EQ(progress_current(), nullptr);
  const ProgressSegment *again = &c;
  EXPECT_EQ(progress_attach(self_pid(), &again), ST_NOTFOUND);
  EXPECT_EQ(again, nullptr);
  progress_detach(&view);
}

TEST_F(Writer, FinishStateFollowsOk) {
  const struct {
    int ok;
    uint8_t state;
  } cases[] = {{1, STATE_DONE}, {0, STATE_FAILED}, {7, STATE_DONE}};
  for (const auto &k : cases) {
    ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "j", 0, 0, ""), ST_OK);
    const ProgressSegment *view = nullptr;
    ASSERT_EQ(progress_attach(self_pid(), &view), ST_OK);
    progress_finish(k.ok);
    seg = nullptr;
    EXPECT_EQ(snap(view).state, k.state) << "ok=" << k.ok;
    EXPECT_FALSE(shm_exists(self_pid()));
    progress_detach(&view);
  }
}

TEST_F(Writer, EtaFollowsTheAverageRateSinceTheFirstUpdate) {
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "eta", 0, 1000, ""), ST_OK);
  ProgressSample s{};
  auto eta_after = [&](uint64_t done) {
    s.blocks_done = done;
    progress_update(seg, &s);
    return snap(seg).eta_s;
  };
  EXPECT_EQ(eta_after(0), -1);
  EXPECT_NE(snap(seg).eta_base_ms, 0);
  // The test owns the segment, so it may move the time base directly.
  // 10 s for 250 of 1000 blocks: 30 s to go.  Every third of a second that
  // passes between the two clock reads adds a second, so a stalled test
  // machine may see 31.
  seg->eta_base_ms = monotonic_ms() - 10000;
  int64_t eta = eta_after(250);
  EXPECT_GE(eta, 30);
  EXPECT_LE(eta, 31);
  EXPECT_EQ(eta_after(1000), 0);
  EXPECT_EQ(eta_after(1001), -1);
  progress_set_info(seg, nullptr, 0, 0);
  EXPECT_EQ(eta_after(5), -1); // total not yet known
}

TEST_F(Writer, EtaOfAHugeTotalSaturates) {
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "eta", 0, UINT64_MAX, ""), ST_OK);
  ProgressSample s{};
  progress_update(seg, &s);
  seg->eta_base_ms = monotonic_ms() - 10000;
  s.blocks_done = 1;
  progress_update(seg, &s);
  EXPECT_EQ(snap(seg).eta_s, INT64_MAX);
}

TEST_F(Writer, FirstUpdateWithBlocksDoneGivesEtaZero) {
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "eta", 0, 1000, ""), ST_OK);
  ProgressSample s{};
  s.blocks_done = 10;
  progress_update(seg, &s);
  EXPECT_EQ(snap(seg).eta_s, 0);
}

TEST_F(Writer, WorkerTableRules) {
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "w", 0, 0, ""), ST_OK);
  int64_t blocks[100];
  for (int i = 0; i < 100; i++)
    blocks[i] = 1000 + i;
  ProgressSample s{};
  s.worker_blocks = blocks;

  s.worker_count = 100;
  progress_update(seg, &s);
  ProgressSegment c = snap(seg);
  for (int i = 0; i < 64; i++)
    EXPECT_EQ(c.worker_block[i], 1000 + i);

  s.worker_count = 3;
  progress_update(seg, &s);
  c = snap(seg);
  for (int i = 0; i < 64; i++)
    EXPECT_EQ(c.worker_block[i], i < 3 ? 1000 + i : -1) << "slot " << i;

  s.worker_blocks = nullptr; // no table: the previous one stays
  s.worker_count = 50;
  progress_update(seg, &s);
  EXPECT_EQ(memcmp(snap(seg).worker_block, c.worker_block, sizeof c.worker_block), 0);

  s.worker_blocks = blocks;
  s.worker_count = 0;
  progress_update(seg, &s);
  c = snap(seg);
  for (int64_t w : c.worker_block)
    EXPECT_EQ(w, -1);
}

TEST_F(Writer, StateAndMessageRules) {
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "m", 0, 0, ""), ST_OK);
  ProgressSample s{};
  progress_note(STATE_STARTING, "opening %s", "disk");
  EXPECT_STREQ(snap(seg).message, "opening disk");
  progress_update(seg, &s); // the first update empties the message
  EXPECT_STREQ(snap(seg).message, "");
  progress_note(STATE_RUNNING, "pass %d", 2);
  progress_update(seg, &s); // later ones leave it alone
  EXPECT_STREQ(snap(seg).message, "pass 2");

  progress_set_state(seg, STATE_FINISHING, nullptr);
  ProgressSegment c = snap(seg);
  EXPECT_EQ(c.state, STATE_FINISHING);
  EXPECT_STREQ(c.message, "pass 2");
  progress_update(seg, &s);
  EXPECT_EQ(snap(seg).state, STATE_RUNNING);

  progress_set_info(seg, "named", BACKUP_INC, 5);
  progress_set_info(seg, nullptr, BACKUP_DIFF, 6);
  c = snap(seg);
  EXPECT_STREQ(c.name, "named");
  EXPECT_EQ(c.backup_type, BACKUP_DIFF);
  EXPECT_EQ(c.blocks_total, 6u);
}

TEST_F(Writer, LongTextsAreCut) {
  std::string long_text(400, 'x');
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, long_text.c_str(), 0, 0, long_text.c_str()), ST_OK);
  ProgressSegment c = snap(seg);
  EXPECT_EQ(std::string(c.name), long_text.substr(0, 63));
  EXPECT_EQ(std::string(c.path), long_text.substr(0, 255));
  EXPECT_LE(strlen(c.sha_impl), 15u);
  EXPECT_STREQ(c.sha_impl, sha256_impl_label());

  progress_set_state(seg, STATE_RUNNING, long_text.c_str());
  EXPECT_EQ(std::string(snap(seg).message), long_text.substr(0, 127));
  progress_note(STATE_RUNNING, "%s!", long_text.c_str());
  EXPECT_EQ(std::string(snap(seg).message), long_text.substr(0, 127));
  progress_set_info(seg, (long_text + "y").c_str(), 0, 0);
  EXPECT_EQ(std::string(snap(seg).name), long_text.substr(0, 63));
}

TEST_F(Writer, SecondCreateFailsAndKeepsTheFirst) {
  ASSERT_EQ(progress_create(&seg, TOOL_AGENT, "first", 0, 0, ""), ST_OK);
  ProgressSegment *second = seg;
  EXPECT_EQ(progress_create(&second, TOOL_AGENT, "second", 0, 0, ""), ST_IO);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(progress_current(), seg);
  EXPECT_TRUE(shm_exists(self_pid()));
  EXPECT_STREQ(snap(seg).name, "first");
}

TEST_F(Writer, OperationsWithoutASegmentDoNothing) {
  ASSERT_EQ(progress_current(), nullptr);
  // Formatting this would fault: note must return before formatting.
  int status = run_in_child([] {
    const char *bad = reinterpret_cast<const char *>(uintptr_t{16});
    progress_note(STATE_RUNNING, "%s", bad);
    progress_set_child(5);
    progress_finish(1);
    progress_update(nullptr, nullptr);
    progress_set_state(nullptr, STATE_DONE, "x");
    progress_set_info(nullptr, "x", 0, 0);
    ProgressSegment *none = nullptr;
    progress_destroy(&none);
    progress_destroy(nullptr);
    return 0;
  });
  EXPECT_TRUE(exited_ok(status));
  size_t count = 99;
  ScanEntry *entries = nullptr;
  ASSERT_EQ(scan_segments(&entries, &count), ST_OK);
  EXPECT_EQ(count, 0u);
  free(entries);
}

// ---------------------------------------------------------------------------
// Creation from the command line, and creation failures

TEST_F(Writer, NoProgressSwitchSuppressesEverything) {
  const char *variants[][3] = {{"--no-progress", "--dev", "/x"}, {"agent", "--no-progress", "-v"}};
  for (auto &v : variants) {
    std::string err = zt::capture_stderr(
        [&] { progress_create_from_args(TOOL_AGENT, "job", 3, const_cast<char **>(v)); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(progress_current(), nullptr);
    EXPECT_FALSE(shm_exists(self_pid()));
  }
}

TEST_F(Writer, CreateFromArgsWarnsOnceAndLeavesTheExistingObjectAlone) {
  // A leftover object of the same name: creation must fail and keep it.
  std::string path = shm_path(self_pid());
  zt::write_file(path, "leftover");
  log_init("wtest", LVL_INFO);
  const char *argv[] = {"agent", "--dev", "/x"};
  std::string err = zt::capture_stderr(
      [&] { progress_create_from_args(TOOL_AGENT, "job", 3, const_cast<char **>(argv)); });
  EXPECT_NE(err.find("[wtest] WARN  progress reporting unavailable (I/O error, status=-1); "
                     "continuing without it\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  EXPECT_EQ(progress_current(), nullptr);
  EXPECT_EQ(zt::read_file(path), "leftover");
  unlink(path.c_str());

  progress_create_from_args(TOOL_PROXMOX, "orch", 3, const_cast<char **>(argv));
  seg = progress_current();
  ASSERT_NE(seg, nullptr);
  ProgressSegment c = snap(seg);
  EXPECT_EQ(c.tool, TOOL_PROXMOX);
  EXPECT_STREQ(c.name, "orch");
  EXPECT_EQ(c.blocks_total, 0u);
}

TEST_F(Writer, FullShmFailsCleanlyInsteadOfFaultingLater) {
  int status = run_in_child([] {
    // A one-page /dev/shm of this child's own, filled up.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return 10;
    if (mount("tiny", "/dev/shm", "tmpfs", 0, "size=4k,mode=1777") != 0)
      return 11;
    int fd = open("/dev/shm/filler", O_CREAT | O_WRONLY, 0600);
    char page[4096] = {};
    while (write(fd, page, sizeof page) > 0) {
    }
    close(fd);
    ProgressSegment *s = reinterpret_cast<ProgressSegment *>(uintptr_t{8});
    if (progress_create(&s, TOOL_AGENT, "full", 0, 0, "") != ST_IO)
      return 1;
    if (s != nullptr || progress_current() != nullptr)
      return 2;
    return shm_exists(self_pid()) ? 3 : 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---------------------------------------------------------------------------
// Signals

// A forked child that creates a segment (after prepare()), reports "ready"
// on a pipe and waits for signals.  Any extra byte the child writes to the
// pipe (a previous handler's trace) is collected by finish().
struct SignalChild {
  int fds[2] = {-1, -1};
  pid_t pid = -1;

  explicit SignalChild(const std::function<void(int)> &prepare) {
    if (pipe(fds) != 0)
      return;
    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      prepare(fds[1]);
      ProgressSegment *s;
      if (progress_create(&s, TOOL_AGENT, "sig", 0, 0, "") != ST_OK)
        _exit(3);
      if (write(fds[1], "r", 1) != 1)
        _exit(4);
      for (;;)
        pause();
    }
    close(fds[1]);
  }

  bool ready() {
    char c = 0;
    return read(fds[0], &c, 1) == 1 && c == 'r';
  }

  // Waits for the end of the child and returns (status, bytes written
  // after "ready").
  std::pair<int, std::string> finish() {
    int status = -1;
    waitpid(pid, &status, 0);
    std::string rest;
    char buf[64];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
      rest.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return {status, rest};
  }
};

int g_trace_fd = -1;
void tracing_handler(int) {
  if (write(g_trace_fd, "h", 1) != 1)
    _exit(9);
}
void siginfo_handler(int, siginfo_t *, void *) {
  if (write(g_trace_fd, "i", 1) != 1)
    _exit(9);
}

TEST(WriterSignals, FatalSignalsRemoveTheNameAndEndTheProcess) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SignalChild child([](int) {});
    ASSERT_TRUE(child.ready());
    EXPECT_TRUE(shm_exists(static_cast<uint32_t>(child.pid)));
    kill(child.pid, sig);
    auto [status, trace] = child.finish();
    EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(sig);
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_FALSE(shm_exists(static_cast<uint32_t>(child.pid))) << strsignal(sig);
    EXPECT_EQ(trace, "");
  }
}

TEST(WriterSignals, PreviousPlainHandlerRunsOnceThenTheSignalEndsTheProcess) {
  SignalChild child([](int fd) {
    g_trace_fd = fd;
    signal(SIGTERM, tracing_handler);
  });
  ASSERT_TRUE(child.ready());
  kill(child.pid, SIGTERM);
  auto [status, trace] = child.finish();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(trace, "h");
  EXPECT_FALSE(shm_exists(static_cast<uint32_t>(child.pid)));
}

TEST(WriterSignals, PreviousSiginfoHandlerIsNotCalled) {
  SignalChild child([](int fd) {
    g_trace_fd = fd;
    struct sigaction sa {};
    sa.sa_sigaction = siginfo_handler;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGINT, &sa, nullptr);
  });
  ASSERT_TRUE(child.ready());
  kill(child.pid, SIGINT);
  auto [status, trace] = child.finish();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(trace, "");
}

TEST(WriterSignals, IgnoredSignalStaysIgnored) {
  SignalChild child([](int) { signal(SIGHUP, SIG_IGN); });
  ASSERT_TRUE(child.ready());
  // An ignored signal is discarded when sent, so once kill returns it is
  // settled: the process and its segment must still be there.
  ASSERT_EQ(kill(child.pid, SIGHUP), 0);
  EXPECT_EQ(kill(child.pid, 0), 0);
  EXPECT_TRUE(shm_exists(static_cast<uint32_t>(child.pid)));
  kill(child.pid, SIGTERM);
  auto [status, trace] = child.finish();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_FALSE(shm_exists(static_cast<uint32_t>(child.pid)));
}

bool same_action(const struct sigaction &a, const struct sigaction &b) {
  if (a.sa_handler != b.sa_handler || a.sa_flags != b.sa_flags)
    return false;
  for (int s = 1; s < 32; s++)
    if (sigismember(&a.sa_mask, s) != sigismember(&b.sa_mask, s))
      return false;
  return true;
}

TEST(WriterSignals, DestroyRestoresThePreviousActions) {
  int status = run_in_child([] {
    struct sigaction mine {};
    mine.sa_handler = tracing_handler;
    mine.sa_flags = SA_RESTART;
    sigemptyset(&mine.sa_mask);
    sigaddset(&mine.sa_mask, SIGUSR1);
    sigaction(SIGINT, &mine, nullptr);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_DFL);
    struct sigaction before[3], during[3], after[3];
    const int sigs[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; i++)
      sigaction(sigs[i], nullptr, &before[i]);
    ProgressSegment *s;
    if (progress_create(&s, TOOL_AGENT, "a", 0, 0, "") != ST_OK)
      return 1;
    for (int i = 0; i < 3; i++)
      sigaction(sigs[i], nullptr, &during[i]);
    if (during[0].sa_handler != progress_on_signal || during[2].sa_handler != progress_on_signal)
      return 2;
    if (during[1].sa_handler != SIG_IGN)
      return 3;
    progress_destroy(&s);
    for (int i = 0; i < 3; i++) {
      sigaction(sigs[i], nullptr, &after[i]);
      if (!same_action(before[i], after[i]))
        return 10 + i;
    }
    // A new segment can be made afterwards, and finish restores as well.
    if (progress_create(&s, TOOL_AGENT, "b", 0, 0, "") != ST_OK)
      return 4;
    progress_finish(1);
    for (int i = 0; i < 3; i++) {
      sigaction(sigs[i], nullptr, &after[i]);
      if (!same_action(before[i], after[i]))
        return 20 + i;
    }
    return shm_exists(self_pid()) ? 5 : 0;
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WriterSignals, CreateAfterTheNameVanishedKeepsTheOriginalActions) {
  // Someone removed the first segment's name behind the writer's back, so a
  // second create succeeds; it must not record its own handler as the
  // "previous" action, or the handler would call itself.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int status = run_in_child([&] {
    close(fds[0]);
    g_trace_fd = fds[1];
    signal(SIGTERM, tracing_handler);
    ProgressSegment *first, *second;
    if (progress_create(&first, TOOL_AGENT, "a", 0, 0, "") != ST_OK)
      return 1;
    unlink(shm_path(self_pid()).c_str());
    if (progress_create(&second, TOOL_AGENT, "b", 0, 0, "") != ST_OK)
      return 2;
    raise(SIGTERM);
    return 3;
  });
  close(fds[1]);
  std::string trace;
  char c;
  while (read(fds[0], &c, 1) == 1)
    trace += c;
  close(fds[0]);
  EXPECT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(trace, "h");
}

TEST(WriterSignals, ForkedChildLeavesItsParentsSegmentAlone) {
  int status = run_in_child([] {
    ProgressSegment *s;
    if (progress_create(&s, TOOL_PROXMOX, "parent", 0, 0, "") != ST_OK)
      return 1;
    int fds[2];
    if (pipe(fds) != 0)
      return 6;
    pid_t kid = fork();
    if (kid == 0) {
      // The inherited state is forgotten: no current segment, and the
      // signal takes its default course without touching the name.
      if (progress_current() != nullptr)
        _exit(1);
      progress_set_child(77);
      if (write(fds[1], "r", 1) != 1)
        _exit(2);
      for (;;)
        pause();
    }
    char c0;
    if (read(fds[0], &c0, 1) != 1)
      return 7;
    kill(kid, SIGTERM);
    int st = 0;
    waitpid(kid, &st, 0);
    if (!WIFSIGNALED(st) || WTERMSIG(st) != SIGTERM)
      return 2;
    if (!shm_exists(self_pid()))
      return 3;
    ProgressSegment c;
    if (progress_snapshot(s, &c) != ST_OK || c.child_pid != 0 || c.seq != 0)
      return 4;
    progress_finish(1);
    return shm_exists(self_pid()) ? 5 : 0;
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
