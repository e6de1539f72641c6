#include "exporter/json_output.h"

#include <nlohmann/json.hpp>

#include "progress/follow.h"
#include "progress/labels.h"

namespace {

using nlohmann::json;

json ratio3(uint32_t cpu, uint32_t io, uint32_t net) {
  return {{"cpu", cpu / 100.0}, {"io", io / 100.0}, {"net", net / 100.0}};
}

json job_json(const JobView &j) {
  const JobFigures &r = j.record;
  return {
      {"pid", j.pid},
      {"orchestrator_pid", j.orchestrator_pid != 0 ? json(j.orchestrator_pid) : json(nullptr)},
      {"job_name", j.job_name},
      {"tool", tool_label(r.tool)},
      {"backup_type", type_label(r.backup_type)},
      {"state", state_label(r.state)},
      {"message", j.message},
      {"path", j.path},
      {"process_alive", j.alive},
      {"blocks_total", r.blocks_total},
      {"blocks_done", r.blocks_done},
      {"written_blocks", r.written},
      {"zero_blocks", r.zero},
      {"fs_free_blocks", r.fs_free},
      {"unchanged_blocks", r.unchanged},
      {"bytes_raw", r.bytes_raw},
      {"bytes_compressed", r.bytes_compressed},
      {"start_time", r.start_wall},
      {"elapsed_seconds", static_cast<double>(j.elapsed_ms) / 1000.0},
      {"eta_seconds", r.eta_s >= 0 ? json(r.eta_s) : json(nullptr)},
      {"queues",
       {{"raw", {{"depth", r.q_raw_depth}, {"capacity", r.q_raw_cap}}},
        {"out", {{"depth", r.q_out_depth}, {"capacity", r.q_out_cap}}}}},
      {"workers_busy", r.workers_active},
      {"workers_total", r.workers_total},
      {"compression_level", r.level},
      {"background",
       {{"active", r.bg_active != 0},
        {"duty_ratio", r.bg_duty_pct / 100.0},
        {"load",
         {{"foreign", ratio3(r.bg_foreign_cpu, r.bg_foreign_io, r.bg_foreign_net)},
          {"self", ratio3(r.bg_self_cpu, r.bg_self_io, r.bg_self_net)}}}}},
      {"last_change_time", j.last_change_time},
      {"last_progress_time", j.last_progress_time},
  };
}

json last_run_json(const LastRun &r) {
  return {
      {"job_name", r.job_name},
      {"tool", r.tool},
      {"end_time", r.end_time},
      {"success", r.success},
      {"duration_seconds", r.duration_s},
      {"bytes_raw", r.bytes_raw},
      {"last_success_time", r.last_success_time > 0 ? json(r.last_success_time) : json(nullptr)}};
}

} // namespace

std::string json_document(const Model &model) {
  json jobs = json::array();
  for (const JobView &j : model.jobs)
    jobs.push_back(job_json(j));
  json runs = json::array();
  for (const LastRun &r : model.last_runs)
    runs.push_back(last_run_json(r));
  const CollectorHealth &h = model.health;
  json doc = {{"version", JSON_DOCUMENT_VERSION},
              {"timestamp", h.collected_at},
              {"jobs", std::move(jobs)},
              {"last_runs", std::move(runs)},
              {"exporter",
               {{"collection_seconds", h.duration_s},
                {"segments", h.segments},
                {"segments_left_out",
                 {{"limit", h.left_out[LEFT_OUT_LIMIT]},
                  {"unreadable", h.left_out[LEFT_OUT_UNREADABLE]},
                  {"untrusted", h.left_out[LEFT_OUT_UNTRUSTED]}}},
                {"last_runs_evicted", h.runs_evicted},
                {"snapshot_failures", h.snapshot_failures}}}};
  // Every text is valid UTF-8 already; replace keeps dump() from throwing
  // whatever happens.
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
