#include "exporter/collector.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "progress/follow.h"
#include "progress/labels.h"
#include "progress/reader.h"
#include "runtime/log.h"

namespace {

// A record's text field as UTF-8, up to its terminating zero or the
// field's end: valid UTF-8 passes unchanged, and each byte that does not
// belong to a valid sequence becomes U+FFFD.  Control characters stay, for
// the output libraries to escape.
std::string utf8_text(const char *field, size_t size) {
  const auto *s = reinterpret_cast<const unsigned char *>(field);
  const size_t n = strnlen(field, size);
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    // The length of the sequence c begins and the range of its second
    // byte (which excludes overlong forms, surrogates and code points
    // beyond U+10FFFF); the further bytes are 0x80..0xBF.
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80)
      len = 1;
    else if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      len = 3;
    else if (c >= 0xF0 && c <= 0xF4)
      len = 4;
    if (c == 0xE0)
      lo = 0xA0;
    else if (c == 0xED)
      hi = 0x9F;
    else if (c == 0xF0)
      lo = 0x90;
    else if (c == 0xF4)
      hi = 0x8F;
    bool valid = len != 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; k++)
      valid = s[i + k] >= (k == 1 ? lo : 0x80) && s[i + k] <= (k == 1 ? hi : 0xBF);
    if (valid) {
      out.append(field + i, len);
      i += len;
    } else {
      out.append("\xEF\xBF\xBD"); // U+FFFD
      i++;
    }
  }
  return out;
}

double clock_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Whether the job's own process still exists: pid names a process that is
// no zombie and started no later than the record did, so that a pid the
// system gave to another process meanwhile does not bring a dead job back.
// Its start time (ticks since boot, boot time) is compared with the
// record's (monotonic milliseconds) moved by the boot clock's present lead
// over the monotonic one, which only grows: a process that started first
// always passes.  A record without a monotonic start time is not checked.
bool job_process_alive(uint32_t pid, const ProgressSegment &r, double boot_lead_ms) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%u/stat", pid);
  char text[1024];
  FILE *f = fopen(path, "re");
  const size_t n = f != nullptr ? fread(text, 1, sizeof text - 1, f) : 0;
  if (f != nullptr)
    fclose(f);
  text[n] = '\0';
  const char *after_comm = strrchr(text, ')');
  char state = 0;
  unsigned long long start_ticks = 0;
  // The state is the third field; the start time the twenty-second.
  if (after_comm == nullptr ||
      sscanf(after_comm + 1,
             " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
             "%*s %*s %llu",
             &state, &start_ticks) != 2 ||
      state == 'Z')
    return false;
  if (r.start_mono_ms <= 0)
    return true;
  const double process_ms =
      static_cast<double>(start_ticks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  return process_ms <= static_cast<double>(r.start_mono_ms) + boot_lead_ms + 1;
}

void take_snapshot(Collector *c, TrackedJob *t, double now) {
  ProgressSegment copy;
  if (progress_snapshot(t->mapping, &copy) != ST_OK) {
    c->snapshot_failures++;
    return;
  }
  if (!t->have_snapshot || copy.seq != t->last_seq)
    t->last_change_time = now;
  if (t->have_snapshot && copy.seq != t->last_seq)
    t->change_seen = true;
  if (t->have_snapshot &&
      (copy.blocks_done != t->last.blocks_done || copy.bytes_raw != t->last.bytes_raw))
    t->last_progress_time = now;
  t->last_seq = copy.seq;
  t->last = copy;
  t->have_snapshot = true;
}

void record_end(Collector *c, const TrackedJob &t, double now) {
  const ProgressSegment &r = t.last;
  const bool final = state_is_final(r.state);
  const double start = static_cast<double>(r.start_wall);
  const double duration = static_cast<double>(r.elapsed_ms) / 1000.0;
  double end = start + duration;
  if (!final && t.change_seen)
    end = std::max(end, t.last_change_time);
  LastRun run{.job_name = utf8_text(r.name, sizeof r.name),
              .tool = tool_label(r.tool),
              .start_time = start,
              .end_time = std::min(end, now),
              .success = final && r.state == STATE_DONE,
              .duration_s = duration,
              .bytes_raw = r.bytes_raw,
              .last_success_time = 0};
  const uint64_t evicted = c->runs_evicted;
  if (last_runs_record(&c->last_runs, run, &c->runs_evicted))
    c->last_runs_changed = true;
  if (c->runs_evicted != evicted && !c->warned_evicted) {
    log_msg(LVL_WARN, "more than %zu jobs seen: the oldest last runs are dropped", LAST_RUNS_MAX);
    c->warned_evicted = true;
  }
}

// Ends the tracking of a job whose name now stands for another object: its
// final snapshot, and its end unless already recorded.
void retire(Collector *c, TrackedJob *t, double now) {
  take_snapshot(c, t, now);
  if (t->have_snapshot && !t->recorded)
    record_end(c, *t, now);
  progress_detach(&t->mapping);
}

// Tracks an attached segment: a second mapping of a tracked object is
// dropped; a new object under a tracked name replaces the old one.
void adopt(Collector *c, AttachedSegment a, bool named, double now) {
  auto it = c->jobs.find(a.pid);
  if (it != c->jobs.end() && it->second.dev == a.dev && it->second.ino == a.ino) {
    it->second.name_present = it->second.name_present || named;
    progress_detach(&a.mapping);
    return;
  }
  if (it != c->jobs.end()) {
    retire(c, &it->second, now);
    c->jobs.erase(it);
  } else if (c->jobs.size() >= COLLECTOR_MAX_JOBS) {
    progress_detach(&a.mapping);
    return;
  }
  TrackedJob t{};
  t.mapping = a.mapping;
  t.dev = a.dev;
  t.ino = a.ino;
  t.name_present = named;
  t.last_change_time = now;
  t.last_progress_time = now;
  c->jobs.emplace(a.pid, t);
}

void leave_out(Collector *c, std::map<uint32_t, LeftOutSegment> *left, uint32_t pid, ino_t ino,
               LeftOutReason reason, uid_t owner) {
  c->left_out_count[reason]++;
  (*left)[pid] = LeftOutSegment{ino, reason};
  if (reason == LEFT_OUT_UNTRUSTED)
    log_msg(LVL_WARN, "/dev/shm/%s%u left out: its owner (uid %u) is not trusted (--trust-user)",
            PROGRESS_NAME_PREFIX, pid, static_cast<unsigned>(owner));
  else
    log_msg(LVL_WARN, "/dev/shm/%s%u left out: permission denied", PROGRESS_NAME_PREFIX, pid);
}

// Marks the tracked jobs whose object still stands behind their name, one
// name at a time.
void still_named(Collector *c) {
  for (auto &[pid, job] : c->jobs) {
    char path[64];
    snprintf(path, sizeof path, "/dev/shm/%s%u", PROGRESS_NAME_PREFIX, pid);
    struct stat st;
    job.name_present = lstat(path, &st) == 0 && st.st_dev == job.dev && st.st_ino == job.ino;
  }
}

// Lists /dev/shm: marks the tracked jobs whose object is still named,
// attaches new segments (a new object under a tracked name included) and
// counts those left out.  Names are compared by the inode the directory
// lists, so a tick costs no system call per tracked segment.
void discover(Collector *c, double now) {
  for (auto &[pid, job] : c->jobs)
    job.name_present = false;
  std::fill(std::begin(c->left_out_count), std::end(c->left_out_count), 0);
  std::map<uint32_t, LeftOutSegment> left;
  DIR *dir = opendir("/dev/shm");
  struct stat shm {};
  if (dir == nullptr || fstat(dirfd(dir), &shm) != 0) {
    c->scan_failures++;
    if (!c->warned_scan)
      log_msg(LVL_WARN, "cannot list /dev/shm: %s; new segments are not seen", strerror(errno));
    c->warned_scan = true;
  }
  while (const dirent *de = dir != nullptr ? readdir(dir) : nullptr) {
    const uint32_t pid = segment_name_pid(de->d_name);
    if (pid == 0)
      continue;
    auto it = c->jobs.find(pid);
    if (it != c->jobs.end() && it->second.dev == shm.st_dev && it->second.ino == de->d_ino) {
      it->second.name_present = true;
      continue;
    }
    auto known = c->left_out.find(pid);
    if (known != c->left_out.end() && known->second.ino == de->d_ino) {
      c->left_out_count[known->second.reason]++;
      left.insert(*known);
      continue;
    }
    if (it == c->jobs.end() && c->jobs.size() >= COLLECTOR_MAX_JOBS) {
      c->left_out_count[LEFT_OUT_LIMIT]++;
      if (!c->warned_limit)
        log_msg(LVL_WARN, "more than %zu segments: the rest are left out", COLLECTOR_MAX_JOBS);
      c->warned_limit = true;
      continue;
    }
    AttachedSegment a{};
    const AttachResult r = segment_attach(pid, c->trusted, &a);
    if (r == ATTACH_OK)
      adopt(c, a, true, now);
    else if (r == ATTACH_UNREADABLE)
      leave_out(c, &left, pid, de->d_ino, LEFT_OUT_UNREADABLE, 0);
    else if (r == ATTACH_UNTRUSTED)
      leave_out(c, &left, pid, de->d_ino, LEFT_OUT_UNTRUSTED, a.owner);
  }
  if (dir != nullptr)
    closedir(dir);
  else
    still_named(c); // a directory that may be searched but not listed
  c->left_out.swap(left);
}

// Records a run that ended and says whether the job can be dropped: once
// its final state is read (or its process is gone) and its name vanished.
bool settle(Collector *c, uint32_t pid, TrackedJob *t, double now, double boot_lead_ms) {
  t->alive = t->have_snapshot && job_process_alive(pid, t->last, boot_lead_ms);
  if (!t->alive && t->have_snapshot && !state_is_final(t->last.state))
    take_snapshot(c, t, now); // it may have written its end just before exiting
  if (!t->have_snapshot)
    return !t->name_present;
  const bool final = state_is_final(t->last.state);
  if ((final || !t->alive) && !t->recorded) {
    record_end(c, *t, now);
    t->recorded = true;
  }
  return !t->name_present && (final || !t->alive);
}

JobFigures figures(const ProgressSegment &r) {
  return JobFigures{.tool = r.tool,
                    .backup_type = r.backup_type,
                    .state = r.state,
                    .bg_active = r.bg_active,
                    .child_pid = r.child_pid,
                    .blocks_total = r.blocks_total,
                    .blocks_done = r.blocks_done,
                    .written = r.written,
                    .zero = r.zero,
                    .unchanged = r.unchanged,
                    .fs_free = r.fs_free,
                    .bytes_raw = r.bytes_raw,
                    .bytes_compressed = r.bytes_compressed,
                    .start_wall = r.start_wall,
                    .eta_s = r.eta_s,
                    .q_raw_depth = r.q_raw_depth,
                    .q_raw_cap = r.q_raw_cap,
                    .q_out_depth = r.q_out_depth,
                    .q_out_cap = r.q_out_cap,
                    .workers_active = r.workers_active,
                    .workers_total = r.workers_total,
                    .level = r.level,
                    .bg_duty_pct = r.bg_duty_pct,
                    .bg_foreign_cpu = r.bg_foreign_cpu,
                    .bg_foreign_io = r.bg_foreign_io,
                    .bg_foreign_net = r.bg_foreign_net,
                    .bg_self_cpu = r.bg_self_cpu,
                    .bg_self_io = r.bg_self_io,
                    .bg_self_net = r.bg_self_net};
}

JobView make_view(uint32_t pid, const TrackedJob &t) {
  const ProgressSegment &r = t.last;
  return JobView{pid,
                 0,
                 figures(r),
                 utf8_text(r.name, sizeof r.name),
                 utf8_text(r.path, sizeof r.path),
                 utf8_text(r.message, sizeof r.message),
                 t.alive,
                 effective_elapsed_ms(r),
                 t.last_change_time,
                 t.last_progress_time};
}

// An orchestrator's current child gets its pid; when hostile records claim
// the same child twice, the orchestrator with the lowest pid wins.
void link_children(std::vector<JobView> *jobs) {
  auto by_pid = [](const JobView &v, uint32_t pid) { return v.pid < pid; };
  for (const JobView &o : *jobs) {
    const uint32_t child = o.record.child_pid;
    if (o.record.tool <= TOOL_RESTORE || child == 0 || child == o.pid)
      continue;
    auto it = std::lower_bound(jobs->begin(), jobs->end(), child, by_pid);
    if (it != jobs->end() && it->pid == child && it->orchestrator_pid == 0)
      it->orchestrator_pid = o.pid;
  }
}

} // namespace

double exporter_wall_time() { return clock_seconds(CLOCK_REALTIME); }

ModelPtr collector_tick(Collector *c) {
  const double started = clock_seconds(CLOCK_MONOTONIC);
  const double now = exporter_wall_time();
  const double boot_lead_ms =
      (clock_seconds(CLOCK_BOOTTIME) - clock_seconds(CLOCK_MONOTONIC)) * 1000.0;
  if (c->collections == 0) {
    c->trusted.uids.push_back(0);
    c->trusted.uids.push_back(geteuid());
    if (c->watch && !segment_watch_start(&c->watcher, &c->trusted))
      log_msg(LVL_WARN, "cannot watch /dev/shm: %s; runs shorter than a collection may be missed",
              strerror(errno));
  }
  // Segments the watcher attached go first: they are older than what this
  // scan finds.
  std::vector<AttachedSegment> attached;
  segment_watch_take(&c->watcher, &attached);
  for (const AttachedSegment &a : attached)
    adopt(c, a, false, now);
  discover(c, now);
  auto model = std::make_shared<Model>();
  model->jobs.reserve(c->jobs.size());
  for (auto it = c->jobs.begin(); it != c->jobs.end();) {
    TrackedJob &t = it->second;
    take_snapshot(c, &t, now);
    if (settle(c, it->first, &t, now, boot_lead_ms)) {
      progress_detach(&t.mapping);
      it = c->jobs.erase(it);
      continue;
    }
    if (t.have_snapshot)
      model->jobs.push_back(make_view(it->first, t));
    ++it;
  }
  link_children(&model->jobs);
  model->last_runs = last_runs_list(c->last_runs);
  c->collections++;
  CollectorHealth &h = model->health;
  h = CollectorHealth{exporter_wall_time(), clock_seconds(CLOCK_MONOTONIC) - started,
                      c->jobs.size(),       c->snapshot_failures,
                      c->collections,       {},
                      c->runs_evicted,      c->scan_failures};
  std::copy(std::begin(c->left_out_count), std::end(c->left_out_count), h.left_out);
  return model;
}

void collector_release(Collector *c) {
  segment_watch_stop(&c->watcher);
  for (auto &[pid, job] : c->jobs)
    progress_detach(&job.mapping);
  c->jobs.clear();
}
