#include "exporter/collector.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "progress/follow.h"
#include "progress/labels.h"
#include "progress/reader.h"

namespace {

std::string printable(const char *field, size_t size) {
  char buf[printable_size(sizeof ProgressSegment{}.path)];
  return printable_text(field, size, buf);
}

double monotonic_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool name_exists(uint32_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/dev/shm/%s%u", PROGRESS_NAME_PREFIX, pid);
  struct stat st;
  return lstat(path, &st) == 0;
}

// The pid a segment's record claims, read through a short-lived mapping
// (what the library's scan lists): false for anything that is no
// consistently readable segment.
bool claimed_pid(uint32_t name_pid, uint32_t *out) {
  const ProgressSegment *mapping = nullptr;
  if (progress_attach(name_pid, &mapping) != ST_OK)
    return false;
  ProgressSegment copy;
  const bool ok = progress_snapshot(mapping, &copy) == ST_OK && copy.pid != 0;
  progress_detach(&mapping);
  if (ok)
    *out = copy.pid;
  return ok;
}

// Marks which tracked jobs are still named in /dev/shm and attaches new
// ones.  A name of a tracked pid is not mapped again: with a thousand
// segments, mapping each one every tick cost most of a collection.  Other
// names are identified like the library's scan does, by the pid their
// record claims, so a record claiming a tracked pid adds nothing.  A
// tracked job whose name is not listed is looked up by name before it
// counts as gone.
void discover(Collector *c, double now) {
  for (auto &[pid, job] : c->jobs)
    job.name_present = false;
  const size_t prefix = strlen(PROGRESS_NAME_PREFIX);
  DIR *dir = opendir("/dev/shm");
  while (const dirent *de = dir != nullptr ? readdir(dir) : nullptr) {
    if (strncmp(de->d_name, PROGRESS_NAME_PREFIX, prefix) != 0)
      continue;
    uint32_t pid = static_cast<uint32_t>(strtoul(de->d_name + prefix, nullptr, 10));
    auto it = pid != 0 ? c->jobs.find(pid) : c->jobs.end();
    if (pid == 0 || (it == c->jobs.end() && !claimed_pid(pid, &pid)))
      continue;
    if (it == c->jobs.end())
      it = c->jobs.find(pid);
    if (it != c->jobs.end()) {
      it->second.name_present = true;
      continue;
    }
    const ProgressSegment *mapping = nullptr;
    if (c->jobs.size() >= COLLECTOR_MAX_JOBS || progress_attach(pid, &mapping) != ST_OK)
      continue;
    TrackedJob t{};
    t.mapping = mapping;
    t.name_present = true;
    t.last_change_time = now;
    t.last_progress_time = now;
    c->jobs.emplace(pid, t);
  }
  if (dir != nullptr)
    closedir(dir);
  for (auto &[pid, job] : c->jobs)
    if (!job.name_present)
      job.name_present = name_exists(pid);
}

void take_snapshot(Collector *c, TrackedJob *t, double now) {
  ProgressSegment copy;
  if (progress_snapshot(t->mapping, &copy) != ST_OK) {
    c->snapshot_failures++;
    return;
  }
  if (!t->have_snapshot || copy.seq != t->last_seq)
    t->last_change_time = now;
  if (t->have_snapshot &&
      (copy.blocks_done != t->last.blocks_done || copy.bytes_raw != t->last.bytes_raw))
    t->last_progress_time = now;
  t->last_seq = copy.seq;
  t->last = copy;
  t->have_snapshot = true;
}

void record_end(Collector *c, const TrackedJob &t, bool success) {
  const ProgressSegment &r = t.last;
  last_runs_record(&c->last_runs, printable(r.name, sizeof r.name), tool_label(r.tool),
                   t.last_change_time, success,
                   static_cast<double>(effective_elapsed_ms(r)) / 1000.0, r.bytes_raw);
  c->last_runs_changed = true;
}

// Records a run that ended and says whether the job can be dropped: once
// its final state is read (or its process is gone) and its name vanished.
bool settle(Collector *c, uint32_t pid, TrackedJob *t, double now) {
  t->alive = process_alive(pid);
  if (!t->alive && t->have_snapshot && !state_is_final(t->last.state))
    take_snapshot(c, t, now); // it may have written its end just before exiting
  if (!t->have_snapshot)
    return !t->alive && !t->name_present;
  const bool final = state_is_final(t->last.state);
  if ((final || !t->alive) && !t->recorded) {
    record_end(c, *t, final && t->last.state == STATE_DONE);
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
                 printable(r.name, sizeof r.name),
                 printable(r.path, sizeof r.path),
                 printable(r.message, sizeof r.message),
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

double exporter_wall_time() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

ModelPtr collector_tick(Collector *c) {
  const double started = monotonic_seconds();
  const double now = exporter_wall_time();
  discover(c, now);
  auto model = std::make_shared<Model>();
  model->jobs.reserve(c->jobs.size());
  for (auto it = c->jobs.begin(); it != c->jobs.end();) {
    TrackedJob &t = it->second;
    take_snapshot(c, &t, now);
    if (settle(c, it->first, &t, now)) {
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
  model->health = CollectorHealth{exporter_wall_time(), monotonic_seconds() - started,
                                  c->jobs.size(), c->snapshot_failures, c->collections};
  return model;
}

void collector_release(Collector *c) {
  for (auto &[pid, job] : c->jobs)
    progress_detach(&job.mapping);
  c->jobs.clear();
}
