#include "exporter/last_runs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "exporter/atomic_file.h"

namespace {

using nlohmann::json;

// Far above LAST_RUNS_MAX entries of at most about 500 bytes.
constexpr size_t LAST_RUNS_MAX_FILE_BYTES = 16u << 20;

// Texts in the file were printable ASCII when written; anything else means
// the file is not ours.
bool printable_ascii(const std::string &s, size_t max_len) {
  if (s.size() > max_len)
    return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

bool get_string(const json &j, const char *key, size_t max_len, std::string *out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string())
    return false;
  const std::string &s = it->get_ref<const std::string &>();
  if (!printable_ascii(s, max_len))
    return false;
  *out = s;
  return true;
}

bool get_number(const json &j, const char *key, double *out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number())
    return false;
  double v = it->get<double>();
  if (!(v >= 0 && v < 1e15)) // also rejects NaN
    return false;
  *out = v;
  return true;
}

bool parse_entry(const json &e, LastRun *r) {
  if (!e.is_object() || !get_string(e, "job_name", 256, &r->job_name) ||
      !get_string(e, "tool", 16, &r->tool) || !get_number(e, "end_time", &r->end_time) ||
      !get_number(e, "duration_seconds", &r->duration_s) ||
      !get_number(e, "last_success_time", &r->last_success_time))
    return false;
  auto ok = e.find("success");
  auto raw = e.find("bytes_raw");
  if (ok == e.end() || !ok->is_boolean() || raw == e.end() || !raw->is_number_unsigned())
    return false;
  r->success = ok->get<bool>();
  r->bytes_raw = raw->get<uint64_t>();
  return true;
}

StatusCode parse_document(const std::string &text, LastRuns *out, char *why, size_t why_size) {
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    snprintf(why, why_size, "not a JSON object");
    return ST_CORRUPT;
  }
  auto version = doc.find("version");
  if (version == doc.end() || !version->is_number_integer() ||
      version->get<int64_t>() != LAST_RUNS_FILE_VERSION) {
    snprintf(why, why_size, "not version %d", LAST_RUNS_FILE_VERSION);
    return ST_CORRUPT;
  }
  auto list = doc.find("last_runs");
  if (list == doc.end() || !list->is_array() || list->size() > LAST_RUNS_MAX) {
    snprintf(why, why_size, "no list of last runs");
    return ST_CORRUPT;
  }
  LastRuns runs;
  for (const json &e : *list) {
    LastRun r{};
    if (!parse_entry(e, &r)) {
      snprintf(why, why_size, "damaged entry %zu", runs.size() + 1);
      return ST_CORRUPT;
    }
    runs[{r.job_name, r.tool}] = r;
  }
  *out = std::move(runs);
  return ST_OK;
}

} // namespace

void last_runs_record(LastRuns *runs, const std::string &job_name, const std::string &tool,
                      double end_time, bool success, double duration_s, uint64_t bytes_raw) {
  LastRun &r = (*runs)[{job_name, tool}];
  double last_success = success ? end_time : r.last_success_time;
  r = LastRun{job_name, tool, end_time, success, duration_s, bytes_raw, last_success};
  if (runs->size() <= LAST_RUNS_MAX)
    return;
  auto oldest = std::min_element(runs->begin(), runs->end(), [](const auto &a, const auto &b) {
    return a.second.end_time < b.second.end_time;
  });
  runs->erase(oldest);
}

std::vector<LastRun> last_runs_list(const LastRuns &runs) {
  std::vector<LastRun> list;
  list.reserve(runs.size());
  for (const auto &[key, run] : runs)
    list.push_back(run);
  return list;
}

StatusCode last_runs_load(const char *path, LastRuns *out, char *why, size_t why_size) {
  FILE *f = fopen(path, "rb");
  if (f == nullptr) {
    bool missing = errno == ENOENT;
    snprintf(why, why_size, "%s", missing ? "no such file" : strerror(errno));
    return missing ? ST_NOTFOUND : ST_IO;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < LAST_RUNS_MAX_FILE_BYTES)
    text.append(buf, n);
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) {
    snprintf(why, why_size, "read error");
    return ST_IO;
  }
  if (text.size() >= LAST_RUNS_MAX_FILE_BYTES) {
    snprintf(why, why_size, "too large");
    return ST_CORRUPT;
  }
  return parse_document(text, out, why, why_size);
}

StatusCode last_runs_save(const char *path, const LastRuns &runs) {
  json list = json::array();
  for (const auto &[key, r] : runs)
    list.push_back({{"job_name", r.job_name},
                    {"tool", r.tool},
                    {"end_time", r.end_time},
                    {"success", r.success},
                    {"duration_seconds", r.duration_s},
                    {"bytes_raw", r.bytes_raw},
                    {"last_success_time", r.last_success_time}});
  json doc = {{"version", LAST_RUNS_FILE_VERSION}, {"last_runs", std::move(list)}};
  return atomic_file_write(path, doc.dump(1) + "\n", true);
}
