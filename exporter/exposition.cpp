#include "exporter/exposition.h"

#include <cstdio>
#include <sstream>
#include <string>

#include <prometheus/text_serializer.h>

#include "progress/follow.h"
#include "progress/labels.h"
#include "runtime/version.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

// Which jobs have a figure: every job, the tools that do the block work
// (orchestrators have no queues, workers or level), or those throttling
// in background mode (the load figures mean nothing otherwise).  Fewer
// series keep a scrape of many jobs short.
enum Scope { ALL_JOBS, BLOCK_WORKERS, IN_BACKGROUND };

bool in_scope(const JobView &j, Scope scope) {
  switch (scope) {
  case BLOCK_WORKERS:
    return j.record.tool <= TOOL_RESTORE;
  case IN_BACKGROUND:
    return j.record.tool <= TOOL_RESTORE && j.record.bg_active != 0;
  default:
    return true;
  }
}

struct JobMetric {
  const char *name;
  const char *help;
  MetricType type;
  Scope scope;
  double (*value)(const JobView &);
};

double num(uint64_t v) { return static_cast<double>(v); }

// One series per job for each of these.
constexpr JobMetric JOB_METRICS[] = {
    {"zpr_job_process_alive", "1 while the job's process exists.", MetricType::Gauge, ALL_JOBS,
     [](const JobView &j) { return j.alive ? 1.0 : 0.0; }},
    {"zpr_job_blocks", "Blocks of the job; 0 while not yet known.", MetricType::Gauge, ALL_JOBS,
     [](const JobView &j) { return num(j.record.blocks_total); }},
    {"zpr_job_blocks_done_total", "Blocks handled so far.", MetricType::Counter, ALL_JOBS,
     [](const JobView &j) { return num(j.record.blocks_done); }},
    {"zpr_job_written_blocks_total", "Backup: blocks written; restore: blocks restored.",
     MetricType::Counter, ALL_JOBS, [](const JobView &j) { return num(j.record.written); }},
    {"zpr_job_zero_blocks_total", "Zero blocks (a restore skips them).", MetricType::Counter,
     ALL_JOBS, [](const JobView &j) { return num(j.record.zero); }},
    {"zpr_job_fs_free_blocks_total", "Backup: blocks skipped as free in the file system.",
     MetricType::Counter, ALL_JOBS, [](const JobView &j) { return num(j.record.fs_free); }},
    {"zpr_job_unchanged_blocks_total",
     "Backup: blocks unchanged since the last backup; restore: blocks that failed "
     "verification.",
     MetricType::Counter, ALL_JOBS, [](const JobView &j) { return num(j.record.unchanged); }},
    {"zpr_job_raw_bytes_total", "Bytes read (backup) or restored, before compression.",
     MetricType::Counter, ALL_JOBS, [](const JobView &j) { return num(j.record.bytes_raw); }},
    {"zpr_job_compressed_bytes_total", "Bytes after compression.", MetricType::Counter, ALL_JOBS,
     [](const JobView &j) { return num(j.record.bytes_compressed); }},
    {"zpr_job_start_timestamp_seconds", "When the job started.", MetricType::Gauge, ALL_JOBS,
     [](const JobView &j) { return static_cast<double>(j.record.start_wall); }},
    {"zpr_job_elapsed_seconds", "Time the job has run.", MetricType::Gauge, ALL_JOBS,
     [](const JobView &j) { return num(j.elapsed_ms) / 1000.0; }},
    {"zpr_job_workers_busy", "Worker threads busy with a block.", MetricType::Gauge, BLOCK_WORKERS,
     [](const JobView &j) { return num(j.record.workers_active); }},
    {"zpr_job_workers", "Worker threads of the job.", MetricType::Gauge, BLOCK_WORKERS,
     [](const JobView &j) { return num(j.record.workers_total); }},
    {"zpr_job_compression_level", "Compression level in use.", MetricType::Gauge, BLOCK_WORKERS,
     [](const JobView &j) { return static_cast<double>(j.record.level); }},
    {"zpr_job_background_duty_ratio", "Background mode: share of time the job works.",
     MetricType::Gauge, IN_BACKGROUND,
     [](const JobView &j) { return num(j.record.bg_duty_pct) / 100.0; }},
    {"zpr_job_last_change_timestamp_seconds", "When the exporter last saw the job's record change.",
     MetricType::Gauge, ALL_JOBS, [](const JobView &j) { return j.last_change_time; }},
    {"zpr_job_last_progress_timestamp_seconds",
     "When the exporter last saw the job's blocks done or raw bytes grow.", MetricType::Gauge,
     ALL_JOBS, [](const JobView &j) { return j.last_progress_time; }},
};

MetricFamily family(const char *name, const char *help, MetricType type, size_t reserve) {
  MetricFamily f{name, help, type, {}};
  f.metric.reserve(reserve);
  return f;
}

void add(MetricFamily *f, Labels labels, double value) {
  ClientMetric m;
  m.label = std::move(labels);
  if (f->type == MetricType::Counter)
    m.counter.value = value;
  else
    m.gauge.value = value;
  f->metric.push_back(std::move(m));
}

Labels with(const Labels &base, std::initializer_list<ClientMetric::Label> more) {
  Labels l;
  l.reserve(base.size() + more.size());
  l.insert(l.end(), base.begin(), base.end());
  l.insert(l.end(), more);
  return l;
}

// Every per-job series carries the pid (which keeps two jobs of one name
// apart), the job's name and its tool: operators look for a job by name.
// The rest of its identity is written once, on zpr_job_info.
Labels job_labels(const JobView &j) {
  char pid[16];
  snprintf(pid, sizeof pid, "%u", j.pid);
  return {{"pid", pid}, {"job_name", j.job_name}, {"tool", tool_label(j.record.tool)}};
}

void add_info(std::vector<MetricFamily> *out, const Model &m, const std::vector<Labels> &base) {
  MetricFamily info = family("zpr_job_info",
                             "The rest of a job's identity: its backup type, its orchestrator's "
                             "pid (empty: none) and its path.",
                             MetricType::Gauge, m.jobs.size());
  MetricFamily state = family("zpr_job_state",
                              "The record's state: 0 starting, 1 running, 2 finishing, 3 DONE, "
                              "4 FAILED (other values as found).",
                              MetricType::Gauge, m.jobs.size());
  MetricFamily eta = family("zpr_job_eta_seconds", "Estimated time left; absent when unknown.",
                            MetricType::Gauge, m.jobs.size());
  for (size_t i = 0; i < m.jobs.size(); i++) {
    const JobView &j = m.jobs[i];
    std::string orchestrator = j.orchestrator_pid != 0 ? std::to_string(j.orchestrator_pid) : "";
    add(&info,
        with(base[i], {{"backup_type", type_label(j.record.backup_type)},
                       {"orchestrator_pid", orchestrator},
                       {"path", j.path}}),
        1);
    add(&state, base[i], j.record.state);
    if (j.record.eta_s >= 0)
      add(&eta, base[i], static_cast<double>(j.record.eta_s));
  }
  out->push_back(std::move(info));
  out->push_back(std::move(state));
  out->push_back(std::move(eta));
}

void add_job_tables(std::vector<MetricFamily> *out, const Model &m,
                    const std::vector<Labels> &base) {
  for (const JobMetric &jm : JOB_METRICS) {
    MetricFamily f = family(jm.name, jm.help, jm.type, m.jobs.size());
    for (size_t i = 0; i < m.jobs.size(); i++)
      if (in_scope(m.jobs[i], jm.scope))
        add(&f, base[i], jm.value(m.jobs[i]));
    out->push_back(std::move(f));
  }
  MetricFamily depth = family("zpr_job_queue_depth", "Blocks waiting in the job's queue.",
                              MetricType::Gauge, 2 * m.jobs.size());
  MetricFamily cap = family("zpr_job_queue_capacity", "Capacity of the job's queue in blocks.",
                            MetricType::Gauge, 2 * m.jobs.size());
  MetricFamily load = family("zpr_job_background_load_ratio",
                             "Background mode: load of the machine by others (foreign) and by "
                             "the job itself (self).",
                             MetricType::Gauge, 6 * m.jobs.size());
  for (size_t i = 0; i < m.jobs.size(); i++) {
    const JobFigures &r = m.jobs[i].record;
    if (!in_scope(m.jobs[i], BLOCK_WORKERS))
      continue;
    add(&depth, with(base[i], {{"queue", "raw"}}), r.q_raw_depth);
    add(&depth, with(base[i], {{"queue", "out"}}), r.q_out_depth);
    add(&cap, with(base[i], {{"queue", "raw"}}), r.q_raw_cap);
    add(&cap, with(base[i], {{"queue", "out"}}), r.q_out_cap);
    if (!in_scope(m.jobs[i], IN_BACKGROUND))
      continue;
    const uint32_t figures[6] = {r.bg_foreign_cpu, r.bg_foreign_io, r.bg_foreign_net,
                                 r.bg_self_cpu,    r.bg_self_io,    r.bg_self_net};
    const char *resources[3] = {"cpu", "io", "net"};
    for (int k = 0; k < 6; k++)
      add(&load,
          with(base[i], {{"origin", k < 3 ? "foreign" : "self"}, {"resource", resources[k % 3]}}),
          figures[k] / 100.0);
  }
  out->push_back(std::move(depth));
  out->push_back(std::move(cap));
  out->push_back(std::move(load));
}

void add_last_runs(std::vector<MetricFamily> *out, const Model &m) {
  const size_t n = m.last_runs.size();
  MetricFamily end = family("zpr_last_run_end_timestamp_seconds", "When the job's last run ended.",
                            MetricType::Gauge, n);
  MetricFamily ok = family("zpr_last_run_success",
                           "1 when the job's last run ended DONE; 0 for FAILED or a process "
                           "that vanished.",
                           MetricType::Gauge, n);
  MetricFamily duration =
      family("zpr_last_run_duration_seconds", "How long the last run took.", MetricType::Gauge, n);
  MetricFamily bytes =
      family("zpr_last_run_raw_bytes", "Bytes the last run handled.", MetricType::Gauge, n);
  MetricFamily success = family("zpr_last_success_timestamp_seconds",
                                "When the job's last successful run ended; absent when none "
                                "is known.",
                                MetricType::Gauge, n);
  for (const LastRun &r : m.last_runs) {
    Labels l{{"job_name", r.job_name}, {"tool", r.tool}};
    add(&end, l, r.end_time);
    add(&ok, l, r.success ? 1 : 0);
    add(&duration, l, r.duration_s);
    add(&bytes, l, num(r.bytes_raw));
    if (r.last_success_time > 0)
      add(&success, l, r.last_success_time);
  }
  for (MetricFamily *f : {&end, &ok, &duration, &bytes, &success})
    out->push_back(std::move(*f));
}

void add_health(std::vector<MetricFamily> *out, const CollectorHealth &h) {
  struct Row {
    const char *name;
    const char *help;
    MetricType type;
    double value;
  };
  const Row rows[] = {
      {"zpr_exporter_last_collection_timestamp_seconds", "When the last collection ended.",
       MetricType::Gauge, h.collected_at},
      {"zpr_exporter_collection_duration_seconds", "How long the last collection took.",
       MetricType::Gauge, h.duration_s},
      {"zpr_exporter_segments", "Progress segments tracked after the last collection.",
       MetricType::Gauge, num(h.segments)},
      {"zpr_exporter_snapshot_failures_total",
       "Snapshots that found no consistent record (writer inside an update, or a shrunk "
       "segment).",
       MetricType::Counter, num(h.snapshot_failures)},
      {"zpr_exporter_collections_total", "Collections since the exporter started.",
       MetricType::Counter, num(h.collections)},
      {"zpr_exporter_last_runs_evicted_total",
       "Last runs dropped because more jobs were seen than the exporter keeps.",
       MetricType::Counter, num(h.runs_evicted)},
      {"zpr_exporter_scan_failures_total",
       "Collections that could not list /dev/shm (new segments unseen).", MetricType::Counter,
       num(h.scan_failures)},
  };
  for (const Row &row : rows) {
    MetricFamily f = family(row.name, row.help, row.type, 1);
    add(&f, {}, row.value);
    out->push_back(std::move(f));
  }
  static_assert(LEFT_OUT_REASONS == 3, "a reason label per reason");
  MetricFamily left = family("zpr_exporter_segments_left_out",
                             "Segments in /dev/shm not tracked at the last collection: beyond the "
                             "exporter's limit, not readable by its user, or owned by a user "
                             "that is not trusted.",
                             MetricType::Gauge, LEFT_OUT_REASONS);
  const char *reasons[LEFT_OUT_REASONS] = {"limit", "unreadable", "untrusted"};
  for (int r = 0; r < LEFT_OUT_REASONS; r++)
    add(&left, {{"reason", reasons[r]}}, num(h.left_out[r]));
  out->push_back(std::move(left));
  MetricFamily build =
      family("zpr_exporter_build_info", "The exporter's version.", MetricType::Gauge, 1);
  add(&build, {{"version", VERSION_STRING}}, 1);
  out->push_back(std::move(build));
}

} // namespace

std::vector<MetricFamily> exposition_families(const Model &model) {
  std::vector<Labels> base;
  base.reserve(model.jobs.size());
  for (const JobView &j : model.jobs)
    base.push_back(job_labels(j));
  std::vector<MetricFamily> out;
  out.reserve(48);
  add_info(&out, model, base);
  add_job_tables(&out, model, base);
  add_last_runs(&out, model);
  add_health(&out, model.health);
  return out;
}

std::string exposition_text(const Model &model) {
  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, exposition_families(model));
  return text.str();
}
