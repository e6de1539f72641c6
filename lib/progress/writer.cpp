#include "progress/writer.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "digest/cpu_features.h"
#include "progress/seqlock_internal.h"
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
constexpr size_t END_MESSAGE = OFF_MESSAGE + sizeof(ProgressSegment::message);
constexpr size_t END_RECORD = PROGRESS_SEGMENT_SIZE;
constexpr size_t OFF_ETA = offsetof(ProgressSegment, eta_s);
constexpr size_t OFF_WORKERS = offsetof(ProgressSegment, worker_block);
constexpr size_t OFF_CODEC_WORD = offsetof(ProgressSegment, compression) & ~size_t{7};
constexpr size_t OFF_LEVEL_MAX = offsetof(ProgressSegment, level_max);
constexpr size_t OFF_SELF_NET = offsetof(ProgressSegment, bg_self_net);
constexpr size_t OFF_ETA_BASE = offsetof(ProgressSegment, eta_base_ms);

// progress_update composes whole little-endian words from the sample; these
// are the neighbourhoods it relies on.
static_assert(std::endian::native == std::endian::little);
static_assert(OFF_COUNTERS + 56 == offsetof(ProgressSegment, start_wall));
static_assert(OFF_ELAPSED + 8 == OFF_ETA && OFF_ETA + 8 == OFF_MESSAGE);
static_assert(offsetof(ProgressSegment, q_raw_depth) == OFF_FS_FREE + 8 &&
              offsetof(ProgressSegment, q_out_depth) == OFF_FS_FREE + 16 &&
              offsetof(ProgressSegment, workers_active) == OFF_FS_FREE + 24 &&
              OFF_WORKERS == OFF_FS_FREE + 32);
static_assert(offsetof(ProgressSegment, compression) == OFF_CODEC_WORD + 4 &&
              offsetof(ProgressSegment, level) == OFF_CODEC_WORD + 8 &&
              offsetof(ProgressSegment, level_min) == OFF_CODEC_WORD + 12 &&
              OFF_LEVEL_MAX == OFF_CODEC_WORD + 16);
static_assert(offsetof(ProgressSegment, bg_active) == OFF_LEVEL_MAX + 4 &&
              offsetof(ProgressSegment, bg_duty_pct) == OFF_LEVEL_MAX + 8 &&
              offsetof(ProgressSegment, bg_foreign_cpu) == OFF_LEVEL_MAX + 20 &&
              offsetof(ProgressSegment, bg_self_io) == OFF_LEVEL_MAX + 36 &&
              OFF_SELF_NET == OFF_LEVEL_MAX + 40 && OFF_SELF_NET % 8 == 0);
static_assert(offsetof(ProgressSegment, state) == OFF_HEAD + 6);

// No range may cover the counter itself.
static_assert(OFF_HEAD / 8 > PROGRESS_SEQ_WORD);
static_assert(OFF_HEAD + 8 == OFF_NAME && OFF_NAME % 8 == 0);

// Loads the words covering bytes [begin, end) of the live record into the
// same place of a private copy, for operations that change parts of words.
void load_bytes(const ProgressSegment *live, ProgressSegment *next, size_t begin, size_t end) {
  seqlock_load_words(live, next, begin / 8, (end + 7) / 8);
}

template <size_t OFF> std::atomic_ref<uint64_t> word_at(ProgressSegment *live) {
  static_assert(OFF % 8 == 0 && OFF / 8 != PROGRESS_SEQ_WORD && OFF < PROGRESS_SEGMENT_SIZE);
  return seqlock_word(live, OFF / 8);
}

// One relaxed store of a whole word at a word-aligned byte offset.
inline void put(ProgressSegment *live, size_t off, uint64_t v) {
  seqlock_word(live, off / 8).store(v, std::memory_order_relaxed);
}

constexpr uint64_t pack(uint32_t lo, uint32_t hi) { return uint64_t{lo} | uint64_t{hi} << 32; }

constexpr uint64_t set_byte(uint64_t w, int byte, uint8_t v) {
  return (w & ~(uint64_t{0xFF} << (8 * byte))) | uint64_t{v} << (8 * byte);
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
  double eta = per_block * static_cast<double>(total - done) / 1000.0;
  // A huge total (or a clock that went back) must not make the conversion
  // undefined: such an estimate is as good as unknown or "now".
  if (!(eta < 9.2e18))
    return INT64_MAX;
  if (eta < 0)
    return 0;
  return static_cast<int64_t>(eta);
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
  const ProgressSample &x = *sample;
  int64_t now = monotonic_ms();
  // The few words whose other bytes, or whose old values, the update needs.
  uint64_t head = word_at<OFF_HEAD>(segment).load(std::memory_order_relaxed);
  uint64_t total = word_at<OFF_TOTAL>(segment).load(std::memory_order_relaxed);
  auto start =
      static_cast<int64_t>(word_at<OFF_START_MONO>(segment).load(std::memory_order_relaxed));
  auto base = static_cast<int64_t>(word_at<OFF_ETA_BASE>(segment).load(std::memory_order_relaxed));
  uint64_t msg = word_at<OFF_MESSAGE>(segment).load(std::memory_order_relaxed);
  uint64_t codec = word_at<OFF_CODEC_WORD>(segment).load(std::memory_order_relaxed);
  uint64_t lmax = word_at<OFF_LEVEL_MAX>(segment).load(std::memory_order_relaxed);
  uint64_t self_net = word_at<OFF_SELF_NET>(segment).load(std::memory_order_relaxed);
  bool first = base == 0;
  if (first) {
    base = now;
    msg &= ~uint64_t{0xFF}; // empties the message
  }
  int64_t eta = eta_seconds(x.blocks_done, total, now, base);

  uint64_t s = seqlock_write_begin(segment);
  put(segment, OFF_HEAD, set_byte(head, 6, STATE_RUNNING));
  put(segment, OFF_COUNTERS + 0, x.blocks_done);
  put(segment, OFF_COUNTERS + 8, x.block_current);
  put(segment, OFF_COUNTERS + 16, x.written);
  put(segment, OFF_COUNTERS + 24, x.zero);
  put(segment, OFF_COUNTERS + 32, x.unchanged);
  put(segment, OFF_COUNTERS + 40, x.bytes_raw);
  put(segment, OFF_COUNTERS + 48, x.bytes_compressed);
  put(segment, OFF_ELAPSED, static_cast<uint64_t>(now - start));
  put(segment, OFF_ETA, static_cast<uint64_t>(eta));
  if (first)
    put(segment, OFF_MESSAGE, msg);
  put(segment, OFF_FS_FREE, x.fs_free);
  put(segment, OFF_FS_FREE + 8, pack(x.q_raw_depth, x.q_raw_cap));
  put(segment, OFF_FS_FREE + 16, pack(x.q_out_depth, x.q_out_cap));
  put(segment, OFF_FS_FREE + 24, pack(x.workers_active, x.workers_total));
  if (x.worker_blocks != nullptr) {
    uint32_t n = x.worker_count < PROGRESS_MAX_WORKERS ? x.worker_count : PROGRESS_MAX_WORKERS;
    for (uint32_t i = 0; i < n; i++)
      put(segment, OFF_WORKERS + 8 * i, static_cast<uint64_t>(x.worker_blocks[i]));
    for (uint32_t i = n; i < PROGRESS_MAX_WORKERS; i++)
      put(segment, OFF_WORKERS + 8 * i, ~uint64_t{0});
  }
  put(segment, OFF_CODEC_WORD, set_byte(codec, 4, x.compression));
  put(segment, OFF_CODEC_WORD + 8,
      pack(static_cast<uint32_t>(x.level), static_cast<uint32_t>(x.level_min)));
  put(segment, OFF_LEVEL_MAX,
      set_byte((lmax & ~uint64_t{0xFFFFFFFF}) | static_cast<uint32_t>(x.level_max), 4,
               x.bg_active));
  put(segment, OFF_LEVEL_MAX + 8, pack(x.bg_duty_pct, x.bg_duty_min));
  put(segment, OFF_LEVEL_MAX + 16, pack(x.bg_duty_max, x.bg_foreign_cpu));
  put(segment, OFF_LEVEL_MAX + 24, pack(x.bg_foreign_io, x.bg_foreign_net));
  put(segment, OFF_LEVEL_MAX + 32, pack(x.bg_self_cpu, x.bg_self_io));
  put(segment, OFF_SELF_NET, (self_net & ~uint64_t{0xFFFFFFFF}) | x.bg_self_net);
  if (first)
    put(segment, OFF_ETA_BASE, static_cast<uint64_t>(base));
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
