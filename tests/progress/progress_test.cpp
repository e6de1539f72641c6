// The progress segment between real processes: the writer's whole record, rules and signals in
// forked children; the reader against crafted objects, a racing writer and an unprivileged reader.
// Runs with a private /dev/shm.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "support/child.h"
#include "digest/cpu_features.h"
#include "progress/reader.h"
#include "progress/writer.h"
#include "runtime/clock.h"
#include "support/fake_segment.h"
#include "support/test_support.h"

namespace {

uint32_t self() { return static_cast<uint32_t>(getpid()); }
std::string shm_path(uint32_t pid) { return "/dev/shm/zpr_progress." + std::to_string(pid); }

ProgressSegment snap(const ProgressSegment *seg) {
  ProgressSegment c;
  EXPECT_EQ(progress_snapshot(seg, &c), ST_OK);
  return c;
}

// Whole-record comparison; a failure names the first differing byte.
void expect_record(const ProgressSegment &got, const ProgressSegment &want) {
  for (size_t i = 0; i < PROGRESS_SEGMENT_SIZE; i++)
    if (reinterpret_cast<const char *>(&got)[i] != reinterpret_cast<const char *>(&want)[i])
      return ADD_FAILURE() << "records differ first at byte " << i;
}

struct Writer : ::testing::Test {
  ProgressSegment *seg = nullptr;
  void TearDown() override { progress_destroy(&seg); }
};

// Every field in its own place, read from the file rather than the mapping: name, path and message
// cut to their fields, at most 64 worker slots, kept by an update without a table; a null text and
// a later update keep the message.  The queue and worker counts, and the bytes read, are zpr_demo's
// dump case through the real program.
TEST_F(Writer, WholeRecordAfterCreateUpdateAndNote) {
  const std::string x400(400, 'x');
  ASSERT_EQ(progress_create(&seg, TOOL_XENV, x400.c_str(), BACKUP_INC, 1000000, x400.c_str()),
            ST_OK);
  int64_t workers[100];
  for (int i = 0; i < 100; i++)
    workers[i] = 0x1234567800 + i;
  ProgressSample s{250000, 250001, 0x0102030405060708,
                   11,     12,     0,
                   14,     15,     0,
                   0,      0,      0,
                   0,      0,      workers,
                   100,    2,      -5,
                   1,      19,     1,
                   22,     23,     24,
                   25,     26,     27,
                   28,     29,     30};
  progress_update(seg, &s);
  progress_note(STATE_RUNNING, "%s!", x400.c_str());
  progress_set_state(seg, STATE_FINISHING, nullptr);
  s.worker_blocks = nullptr;
  progress_update(seg, &s);
  progress_set_child(4242);
  struct stat st;
  ASSERT_EQ(stat(shm_path(self()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string bytes = zt::read_file(shm_path(self()));
  ASSERT_EQ(bytes.size(), 1208u);
  EXPECT_EQ(bytes.substr(0, 4), "GORP");
  ProgressSegment got;
  memcpy(&got, bytes.data(), sizeof got);
  ProgressSegment want = zt::fake_record(self(), TOOL_XENV, x400.substr(0, 63).c_str());
  want.backup_type = BACKUP_INC;
  want.blocks_total = 1000000;
  want.cpu_flags = cpu_feature_flags();
  strcpy(want.path, x400.substr(0, 255).c_str());
  strcpy(want.message, x400.substr(0, 127).c_str());
  strcpy(want.sha_impl, sha256_impl_label());
  want.start_wall = got.start_wall;
  want.start_mono_ms = got.start_mono_ms;
  want.seq = 10;
  want.state = STATE_RUNNING;
  want.blocks_done = 250000;
  want.block_current = 250001;
  want.written = 0x0102030405060708;
  want.zero = 11;
  want.unchanged = 12;
  want.bytes_compressed = 14;
  want.fs_free = 15;
  memcpy(want.worker_block, workers, sizeof want.worker_block);
  want.compression = 2;
  want.level = -5;
  want.level_min = 1;
  want.level_max = 19;
  want.bg_active = 1;
  want.bg_duty_pct = 22;
  want.bg_duty_min = 23;
  want.bg_duty_max = 24;
  want.bg_foreign_cpu = 25;
  want.bg_foreign_io = 26;
  want.bg_foreign_net = 27;
  want.bg_self_cpu = 28;
  want.bg_self_io = 29;
  want.bg_self_net = 30;
  want.eta_s = 0; // blocks done at once: no time spent yet
  want.child_pid = 4242;
  want.elapsed_ms = got.elapsed_ms;
  want.eta_base_ms = got.eta_base_ms;
  expect_record(got, want);
}

// Every write of the state refreshes the elapsed time; the end also clears the child.  The start
// moves back 5 s before each step; the reader's own mapping outlives the name the end removes.
TEST_F(Writer, ElapsedTimeAtEveryStepAndNoChildAtTheEnd) {
  ASSERT_EQ(progress_create(&seg, TOOL_PROXMOX, "steps", 0, 10, ""), ST_OK);
  const ProgressSegment *reader = nullptr;
  ASSERT_EQ(progress_attach(self(), &reader), ST_OK);
  progress_set_child(4242);
  const ProgressSample sample{};
  const struct {
    const char *step;
    std::function<void()> run;
  } steps[] = {
      {"update", [&] { progress_update(seg, &sample); }},
      {"set_state", [&] { progress_set_state(seg, STATE_FINISHING, nullptr); }},
      {"note", [&] { progress_note(STATE_FINISHING, "closing"); }},
      {"finish", [&] { progress_finish(0); }},
  };
  uint64_t ago_ms = 0;
  for (const auto &s : steps) {
    ago_ms += 5000;
    seg->start_mono_ms -= 5000;
    s.run();
    EXPECT_GE(snap(reader).elapsed_ms, ago_ms) << s.step;
  }
  seg = nullptr; // finished: destroyed
  const ProgressSegment last = snap(reader);
  EXPECT_EQ(last.state, STATE_FAILED);
  EXPECT_EQ(last.child_pid, 0u);
  progress_detach(&reader);
}

// A full /dev/shm fails the create, not a SIGBUS at the first store; the tool goes on, and every
// call without a segment does nothing (the note does not even format).
TEST(WriterCreation, FullShmThenEveryCallWithoutASegment) {
  const int end = in_child([] {
    if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tiny", "/dev/shm", "tmpfs", 0, "size=4k,mode=1777"))
      return 10;
    zt::write_file("/dev/shm/filler", std::string(8192, 'f'));
    ProgressSegment *s = reinterpret_cast<ProgressSegment *>(uintptr_t{8});
    if (progress_create(&s, 0, "full", 0, 0, "") != ST_IO || s != nullptr ||
        zt::fake_segment_exists(self()))
      return 1;
    progress_note(STATE_RUNNING, "%s", reinterpret_cast<const char *>(uintptr_t{16}));
    progress_set_child(5);
    progress_finish(1);
    progress_update(nullptr, nullptr);
    progress_set_state(nullptr, STATE_DONE, "x");
    progress_set_info(nullptr, "x", 0, 0);
    progress_destroy(nullptr);
    return progress_current() == nullptr ? 0 : 2;
  });
  EXPECT_EQ(end, 0);
}

// A child sets its action (none, plain, SA_SIGINFO, SIG_IGN, or plain and a first segment whose
// name vanished), creates a segment and raises the signal; handlers write their letter to a pipe,
// after the child's pid.
int g_fd = -1;
void plain(int) { (void)!write(g_fd, "h", 1); }
void with_info(int, siginfo_t *, void *) { (void)!write(g_fd, "i", 1); }
enum Prior { NONE, PLAIN, INFO, IGNORED, VANISHED };

TEST(WriterSignals, FatalSignalsRemoveTheNameAndEndTheProcess) {
  for (auto [sig, prior, want] :
       std::initializer_list<std::tuple<int, Prior, const char *>>{{SIGTERM, NONE, ""},
                                                                   {SIGHUP, NONE, ""},
                                                                   {SIGTERM, PLAIN, "h"},
                                                                   {SIGINT, INFO, ""},
                                                                   {SIGHUP, IGNORED, ""},
                                                                   {SIGTERM, VANISHED, "h"}}) {
    SCOPED_TRACE(std::string(strsignal(sig)) + " prior " + std::to_string(prior));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    g_fd = fds[1];
    int end = in_child([&] {
      struct sigaction sa {};
      sa.sa_handler = prior == IGNORED ? SIG_IGN : prior == NONE ? SIG_DFL : plain;
      if (prior == INFO) {
        sa.sa_sigaction = with_info;
        sa.sa_flags = SA_SIGINFO;
      }
      sigaction(sig, &sa, nullptr);
      ProgressSegment *s;
      uint32_t pid = self();
      // A create after the name vanished must not save its own handler as previous: it would call
      // itself.
      if ((prior == VANISHED &&
           (progress_create(&s, 0, "a", 0, 0, "") || unlink(shm_path(pid).c_str()))) ||
          progress_create(&s, TOOL_AGENT, "sig", 0, 0, "") != ST_OK || write(g_fd, &pid, 4) != 4)
        return 3;
      raise(sig); // an ignored one is discarded: the process and its segment stay
      return zt::fake_segment_exists(pid) ? raise(SIGTERM) : 4;
    });
    close(fds[1]);
    uint32_t pid = 0;
    char trace[8] = {};
    EXPECT_EQ(read(fds[0], &pid, 4), 4);
    (void)!read(fds[0], trace, sizeof trace - 1);
    close(fds[0]);
    EXPECT_EQ(end, 1000 + (prior == IGNORED ? SIGTERM : sig));
    EXPECT_FALSE(zt::fake_segment_exists(pid));
    EXPECT_STREQ(trace, want);
  }
}

// A second create fails and keeps the first; a forked child (it inherits the writer's state) leaves
// its parent's segment alone whatever it calls; the finish puts back exactly the actions from
// before.  The exit status names the first check that failed.
TEST(WriterSignals, SecondCreateForkedChildAndRestoredActions) {
  const int end = in_child([] {
    const int sigs[3] = {SIGINT, SIGTERM, SIGHUP};
    signal(SIGINT, plain);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_IGN);
    struct sigaction before[3];
    for (int i = 0; i < 3; i++)
      sigaction(sigs[i], nullptr, &before[i]);
    ProgressSegment *s;
    ProgressSegment *second = reinterpret_cast<ProgressSegment *>(uintptr_t{8});
    if (progress_create(&s, TOOL_PROXMOX, "first", 0, 0, "") != ST_OK)
      return 1;
    if (progress_create(&second, 0, "second", 0, 0, "") != ST_IO || second != nullptr ||
        progress_current() != s)
      return 2;
    const int child = in_child([] {
      ProgressSegment *current = progress_current();
      progress_set_child(77);
      progress_destroy(&current);
      progress_finish(1);
      raise(SIGINT); // the action from before the create: a plain handler, and on
      return raise(SIGTERM);
    });
    if (child != 1000 + SIGTERM)
      return 3;
    if (!zt::fake_segment_exists(self()) || snap(s).seq != 0 || strcmp(snap(s).name, "first") != 0)
      return 4;
    progress_finish(1);
    for (int i = 0; i < 3; i++) {
      struct sigaction now;
      sigaction(sigs[i], nullptr, &now);
      if (now.sa_handler != before[i].sa_handler || now.sa_flags != before[i].sa_flags)
        return 5 + i;
    }
    return 0;
  });
  EXPECT_EQ(end, 0);
}

// What is under the name of 700, not running: a record of a size.  A missing name, other kinds of
// object under it, and a writer that died inside an update are zpr_monitor's hostile cases.
TEST(Reader, AttachTakesWholeRecordsOfThisVersionOnly) {
  ProgressSegment good = zt::fake_record(700, TOOL_AGENT, "kept");
  good.seq = 42;
  ProgressSegment v5 = good;
  ProgressSegment magic = good;
  v5.version = 5;
  magic.magic = 0x50524F48;
  for (auto [what, record, size, want] :
       std::initializer_list<std::tuple<const char *, const ProgressSegment *, size_t, StatusCode>>{
           {"version 5", &v5, 1208, ST_CORRUPT},
           {"wrong magic", &magic, 1208, ST_CORRUPT},
           {"one byte short", &good, 1207, ST_NOTFOUND},
           {"longer", &good, 4096, ST_OK}}) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(zt::fake_segment_create(700, record, sizeof *record, size));
    const ProgressSegment *seg = &good;
    EXPECT_EQ(progress_attach(700, &seg), want);
    EXPECT_EQ(seg == nullptr, want != ST_OK);
    if (seg != nullptr)
      expect_record(snap(seg), good);
    progress_detach(&seg);
  }
  zt::fake_segment_remove(700);
}

TEST(Reader, RacingWriterNeverYieldsATornCopy) {
  // The writer publishes the same v in many fields; a copy mixing values is torn.
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    ProgressSegment *s;
    int64_t blocks[PROGRESS_MAX_WORKERS];
    ProgressSample x{};
    x.worker_blocks = blocks;
    x.worker_count = PROGRESS_MAX_WORKERS;
    if (progress_create(&s, TOOL_AGENT, "stress", 0, 0, "") != ST_OK)
      _exit(1);
    for (uint64_t v = 1;; v++) {
      x.blocks_done = x.written = x.fs_free = v;
      x.q_raw_depth = x.bg_self_net = static_cast<uint32_t>(v);
      for (int64_t &b : blocks)
        b = static_cast<int64_t>(v);
      progress_update(s, &x);
    }
  }
  const ProgressSegment *seg = nullptr;
  ProgressSegment copy{};
  bool updating = zt::wait_until([&] {
    return (seg != nullptr || progress_attach(static_cast<uint32_t>(writer), &seg) == ST_OK) &&
           progress_snapshot(seg, &copy) == ST_OK && copy.seq > 0;
  });
  int torn = 0;
  const uint64_t first = copy.blocks_done;
  for (int i = 0; updating && i < 3000000; i++) {
    if (progress_snapshot(seg, &copy) != ST_OK)
      continue;
    const uint64_t v = copy.blocks_done;
    bool same = copy.written == v && copy.fs_free == v && copy.q_raw_depth == uint32_t(v) &&
                copy.bg_self_net == uint32_t(v) && copy.seq % 2 == 0;
    for (int64_t w : copy.worker_block)
      same = same && w == static_cast<int64_t>(v);
    torn += !same;
  }
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  zt::fake_segment_remove(static_cast<uint32_t>(writer));
  EXPECT_EQ(torn, 0);
  EXPECT_GT(copy.blocks_done, first) << "the writer did not run while the reader copied";
  progress_detach(&seg);
}

} // namespace
