#include "progress/writer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "digest/cpu_features.h"
#include "progress/seqlock.h"
#include "runtime/clock.h"
#include "runtime/log.h"

namespace {

constexpr int HANDLED_SIGNALS[3] = {SIGINT, SIGTERM, SIGHUP};

// Process-wide writer state.  The signal handler reads only g_saved_name
// (when g_name_set says it is valid) and g_prev; both are written before
// the handler is installed, and the name is declared invalid only after the
// previous actions are back.
ProgressSegment *g_current = nullptr;
char g_saved_name[64];
pid_t g_saved_owner = 0; // the process the saved name belongs to
std::atomic<bool> g_name_set{false};
struct sigaction g_prev[3];
bool g_installed = false;
bool g_atfork_registered = false;

static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

// Byte offsets of the fields, for the word ranges each operation stores.
constexpr size_t OFF_HEAD = offsetof(ProgressSegment, pid); // pid, tool, type, state
constexpr size_t OFF_NAME = offsetof(ProgressSegment, name);
constexpr size_t OFF_TOTAL = offsetof(ProgressSegment, blocks_total);
constexpr size_t OFF_COUNTERS = offsetof(ProgressSegment, blocks_done);
constexpr size_t OFF_START_MONO = offsetof(ProgressSegment, start_mono_ms);
constexpr size_t OFF_ELAPSED = offsetof(ProgressSegment, elapsed_ms);
constexpr size_t OFF_MESSAGE = offsetof(ProgressSegment, message);
constexpr size_t OFF_FS_FREE = offsetof(ProgressSegment, fs_free);
constexpr size_t OFF_CHILD = offsetof(ProgressSegment, child_pid);
constexpr size_t END_ETA = offsetof(ProgressSegment, eta_s) + 8;
constexpr size_t END_MESSAGE = OFF_MESSAGE + sizeof(ProgressSegment::message);
constexpr size_t END_ETA_BASE = offsetof(ProgressSegment, eta_base_ms) + 8;
constexpr size_t END_RECORD = PROGRESS_SEGMENT_SIZE;

// No range may cover the counter itself.
static_assert(OFF_HEAD / 8 > PROGRESS_SEQ_WORD);
static_assert(OFF_HEAD + 8 == OFF_NAME && OFF_NAME % 8 == 0);

// Loads and stores the words covering bytes [begin, end) of a record.
void load_bytes(const ProgressSegment *live, ProgressSegment *next, size_t begin, size_t end) {
  seqlock_load_words(live, next, begin / 8, (end + 7) / 8);
}

void set_default_action(int sig) {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
}

void restore_previous_actions() {
  for (int i = 0; i < 3; i++)
    sigaction(HANDLED_SIGNALS[i], &g_prev[i], nullptr);
  g_name_set.store(false, std::memory_order_release);
  g_installed = false;
}

// A forked child inherits the writer state, but the segment is its
// parent's: the child must neither remove that name on a signal nor write
// into the record.  It starts with no segment and the original actions.
// The mapping is left alone, as the child may still hold the pointer.
void forget_inherited_state() {
  if (g_installed)
    restore_previous_actions();
  g_current = nullptr;
}

// Saves each signal's action and installs the handler over it, except
// over SIG_IGN: a signal the tool chose to ignore stays ignored.
void install_handlers() {
  struct sigaction act;
  memset(&act, 0, sizeof act);
  act.sa_handler = progress_on_signal;
  sigemptyset(&act.sa_mask);
  for (int i = 0; i < 3; i++) {
    sigaction(HANDLED_SIGNALS[i], nullptr, &g_prev[i]);
    bool ignored = !(g_prev[i].sa_flags & SA_SIGINFO) && g_prev[i].sa_handler == SIG_IGN;
    if (!ignored)
      sigaction(HANDLED_SIGNALS[i], &act, nullptr);
  }
}

void fill_new_record(ProgressSegment *rec, int tool, const char *name, int backup_type,
                     uint64_t blocks_total, const char *path) {
  memset(rec, 0, sizeof *rec);
  rec->magic = PROGRESS_MAGIC;
  rec->version = PROGRESS_VERSION;
  rec->state = STATE_STARTING;
  rec->pid = static_cast<uint32_t>(getpid());
  rec->tool = static_cast<uint8_t>(tool);
  rec->backup_type = static_cast<uint8_t>(backup_type);
  snprintf(rec->name, sizeof rec->name, "%s", name != nullptr ? name : "");
  snprintf(rec->path, sizeof rec->path, "%s", path != nullptr ? path : "");
  rec->blocks_total = blocks_total;
  rec->eta_s = -1;
  for (int64_t &w : rec->worker_block)
    w = -1;
  rec->cpu_flags = cpu_feature_flags();
  snprintf(rec->sha_impl, sizeof rec->sha_impl, "%s", sha256_impl_label());
  rec->start_mono_ms = monotonic_ms();
  rec->start_wall = wall_clock_seconds();
}

// Publishes a freshly created record.  Magic and version go last, with
// release, so that a reader attaching meanwhile either finds no magic or a
// complete record.
void publish_new_record(ProgressSegment *live, const ProgressSegment &rec) {
  seqlock_store_words(live, rec, 1, PROGRESS_WORDS);
  uint64_t head;
  memcpy(&head, &rec, 8);
  seqlock_word(live, 0).store(head, std::memory_order_release);
}

int64_t eta_seconds(uint64_t done, uint64_t total, int64_t now, int64_t base) {
  if (done == 0 || done > total)
    return -1;
  double per_block = static_cast<double>(now - base) / static_cast<double>(done);
  return static_cast<int64_t>(per_block * static_cast<double>(total - done) / 1000.0);
}

void build_name(char (&buf)[64], uint32_t pid) {
  snprintf(buf, sizeof buf, "/%s%u", PROGRESS_NAME_PREFIX, pid);
}

// State, message and elapsed time in one bracket: the common tail of
// progress_set_state and progress_note.  A null text keeps the message.
void store_state_message(ProgressSegment *live, int state, const char *text) {
  ProgressSegment next;
  int64_t now = monotonic_ms();
  load_bytes(live, &next, OFF_HEAD, OFF_NAME);
  load_bytes(live, &next, OFF_START_MONO, END_MESSAGE);
  next.state = static_cast<uint8_t>(state);
  if (text != nullptr)
    snprintf(next.message, sizeof next.message, "%s", text);
  next.elapsed_ms = static_cast<uint64_t>(now - next.start_mono_ms);
  uint64_t s = seqlock_write_begin(live);
  seqlock_store_bytes(live, next, OFF_HEAD, OFF_NAME);
  seqlock_store_bytes(live, next, OFF_ELAPSED, END_MESSAGE);
  seqlock_write_end(live, s);
}

} // namespace

StatusCode progress_create(ProgressSegment **out, int tool, const char *name, int backup_type,
                           uint64_t blocks_total, const char *path) {
  *out = nullptr;
  char shm_name[64];
  build_name(shm_name, static_cast<uint32_t>(getpid()));
  int fd = shm_open(shm_name, O_CREAT | O_EXCL | O_RDWR, 0600);
  if (fd < 0)
    return ST_IO;
  // Reserving the pages now turns a full /dev/shm into a failure here
  // instead of a SIGBUS on the first store into the mapping.
  if (posix_fallocate(fd, 0, PROGRESS_SEGMENT_SIZE) != 0) {
    close(fd);
    shm_unlink(shm_name);
    return ST_IO;
  }
  void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    shm_unlink(shm_name);
    return ST_IO;
  }
  auto *seg = static_cast<ProgressSegment *>(map);
  ProgressSegment rec;
  fill_new_record(&rec, tool, name, backup_type, blocks_total, path);
  publish_new_record(seg, rec);

  if (!g_atfork_registered) {
    pthread_atfork(nullptr, nullptr, forget_inherited_state);
    g_atfork_registered = true;
  }
  memcpy(g_saved_name, shm_name, sizeof g_saved_name);
  g_saved_owner = getpid();
  g_name_set.store(true, std::memory_order_release);
  // Already installed only when an earlier segment's name vanished behind
  // its back; saving again would record our own handler as "previous".
  if (!g_installed)
    install_handlers();
  g_installed = true;
  g_current = seg;
  *out = seg;
  return ST_OK;
}

void progress_create_from_args(int tool, const char *name, int argc, char **argv) {
  for (int i = 0; i < argc; i++)
    if (argv[i] != nullptr && strcmp(argv[i], "--no-progress") == 0)
      return;
  ProgressSegment *seg;
  StatusCode st = progress_create(&seg, tool, name, 0, 0, "");
  if (st != ST_OK)
    log_msg(LVL_WARN, "progress reporting unavailable (%s, status=%d); continuing without it",
            status_name(st), st);
}

void progress_update(ProgressSegment *segment, const ProgressSample *sample) {
  if (segment == nullptr || sample == nullptr)
    return;
  int64_t now = monotonic_ms();
  ProgressSegment next;
  load_bytes(segment, &next, OFF_HEAD, OFF_NAME);
  load_bytes(segment, &next, OFF_TOTAL, END_ETA + 8); // through message's first word
  load_bytes(segment, &next, OFF_FS_FREE, END_ETA_BASE);

  next.state = STATE_RUNNING;
  next.blocks_done = sample->blocks_done;
  next.block_current = sample->block_current;
  next.written = sample->written;
  next.zero = sample->zero;
  next.unchanged = sample->unchanged;
  next.bytes_raw = sample->bytes_raw;
  next.bytes_compressed = sample->bytes_compressed;
  next.fs_free = sample->fs_free;
  next.q_raw_depth = sample->q_raw_depth;
  next.q_raw_cap = sample->q_raw_cap;
  next.q_out_depth = sample->q_out_depth;
  next.q_out_cap = sample->q_out_cap;
  next.workers_active = sample->workers_active;
  next.workers_total = sample->workers_total;
  if (sample->worker_blocks != nullptr) {
    uint32_t n = sample->worker_count < PROGRESS_MAX_WORKERS ? sample->worker_count
                                                             : PROGRESS_MAX_WORKERS;
    for (uint32_t i = 0; i < PROGRESS_MAX_WORKERS; i++)
      next.worker_block[i] = i < n ? sample->worker_blocks[i] : -1;
  }
  next.compression = sample->compression;
  next.level = sample->level;
  next.level_min = sample->level_min;
  next.level_max = sample->level_max;
  next.bg_active = sample->bg_active;
  next.bg_duty_pct = sample->bg_duty_pct;
  next.bg_duty_min = sample->bg_duty_min;
  next.bg_duty_max = sample->bg_duty_max;
  next.bg_foreign_cpu = sample->bg_foreign_cpu;
  next.bg_foreign_io = sample->bg_foreign_io;
  next.bg_foreign_net = sample->bg_foreign_net;
  next.bg_self_cpu = sample->bg_self_cpu;
  next.bg_self_io = sample->bg_self_io;
  next.bg_self_net = sample->bg_self_net;
  next.elapsed_ms = static_cast<uint64_t>(now - next.start_mono_ms);
  if (next.eta_base_ms == 0) {
    next.eta_base_ms = now;
    next.message[0] = '\0';
  }
  next.eta_s = eta_seconds(sample->blocks_done, next.blocks_total, now, next.eta_base_ms);

  uint64_t s = seqlock_write_begin(segment);
  seqlock_store_bytes(segment, next, OFF_HEAD, OFF_NAME);
  seqlock_store_bytes(segment, next, OFF_COUNTERS, END_ETA + 8);
  seqlock_store_bytes(segment, next, OFF_FS_FREE, END_ETA_BASE);
  seqlock_write_end(segment, s);
}

void progress_set_state(ProgressSegment *segment, int state, const char *message) {
  if (segment == nullptr)
    return;
  store_state_message(segment, state, message);
}

void progress_set_info(ProgressSegment *segment, const char *name, int backup_type,
                       uint64_t blocks_total) {
  if (segment == nullptr)
    return;
  ProgressSegment next;
  load_bytes(segment, &next, OFF_HEAD, OFF_NAME + sizeof next.name);
  if (name != nullptr)
    snprintf(next.name, sizeof next.name, "%s", name);
  next.backup_type = static_cast<uint8_t>(backup_type);
  next.blocks_total = blocks_total;
  uint64_t s = seqlock_write_begin(segment);
  seqlock_store_bytes(segment, next, OFF_HEAD, OFF_NAME);
  if (name != nullptr)
    seqlock_store_bytes(segment, next, OFF_NAME, OFF_NAME + sizeof next.name);
  seqlock_store_bytes(segment, next, OFF_TOTAL, OFF_TOTAL + 8);
  seqlock_write_end(segment, s);
}

void progress_note(int state, const char *format, ...) {
  ProgressSegment *seg = g_current;
  if (seg == nullptr)
    return;
  char text[128];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  store_state_message(seg, state, text);
}

void progress_set_child(uint32_t pid) {
  ProgressSegment *seg = g_current;
  if (seg == nullptr)
    return;
  ProgressSegment next;
  load_bytes(seg, &next, OFF_CHILD, END_RECORD);
  next.child_pid = pid;
  uint64_t s = seqlock_write_begin(seg);
  seqlock_store_bytes(seg, next, OFF_CHILD, END_RECORD);
  seqlock_write_end(seg, s);
}

void progress_finish(int ok) {
  ProgressSegment *seg = g_current;
  if (seg == nullptr)
    return;
  progress_set_child(0);
  ProgressSegment next;
  int64_t now = monotonic_ms();
  load_bytes(seg, &next, OFF_HEAD, OFF_NAME);
  load_bytes(seg, &next, OFF_START_MONO, OFF_ELAPSED + 8);
  next.state = ok != 0 ? STATE_DONE : STATE_FAILED;
  next.elapsed_ms = static_cast<uint64_t>(now - next.start_mono_ms);
  uint64_t s = seqlock_write_begin(seg);
  seqlock_store_bytes(seg, next, OFF_HEAD, OFF_NAME);
  seqlock_store_bytes(seg, next, OFF_ELAPSED, OFF_ELAPSED + 8);
  seqlock_write_end(seg, s);
  progress_destroy(&seg);
}

void progress_destroy(ProgressSegment **ref) {
  if (ref == nullptr || *ref == nullptr)
    return;
  ProgressSegment *seg = *ref;
  if (g_installed)
    restore_previous_actions();
  if (seg == g_current)
    g_current = nullptr;
  ProgressSegment head;
  load_bytes(seg, &head, OFF_HEAD, OFF_NAME);
  munmap(seg, PROGRESS_SEGMENT_SIZE);
  char shm_name[64];
  build_name(shm_name, head.pid);
  shm_unlink(shm_name);
  *ref = nullptr;
}

ProgressSegment *progress_current() { return g_current; }

void progress_on_signal(int sig) {
  int saved_errno = errno;
  // The owner check covers a signal that reaches a freshly forked child
  // before its fork handler has forgotten the parent's segment.
  if (g_name_set.load(std::memory_order_acquire) && getpid() == g_saved_owner)
    shm_unlink(g_saved_name);
  const struct sigaction &prev = sig == SIGINT ? g_prev[0] : sig == SIGTERM ? g_prev[1] : g_prev[2];
  bool plain = !(prev.sa_flags & SA_SIGINFO) && prev.sa_handler != SIG_DFL &&
               prev.sa_handler != SIG_IGN && prev.sa_handler != progress_on_signal;
  if (plain)
    prev.sa_handler(sig);
  set_default_action(sig);
  raise(sig);
  errno = saved_errno;
}
