#include "exporter/last_runs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "exporter/atomic_file.h"
#include "runtime/log.h"

namespace {

using nlohmann::json;

// Far above LAST_RUNS_MAX entries of at most about 500 bytes.
constexpr size_t LAST_RUNS_MAX_FILE_BYTES = 16u << 20;

// The parser has checked that texts are UTF-8; a record's name of 64 bytes
// takes at most 192 (each byte of it U+FFFD).
bool get_string(const json &j, const char *key, size_t max_len, std::string *out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string() || it->get_ref<const std::string &>().size() > max_len)
    return false;
  *out = it->get<std::string>();
  return true;
}

bool in_range(double v) { return v >= 0 && v < LAST_RUNS_VALUE_LIMIT; } // false for NaN

// Into [0, LAST_RUNS_VALUE_LIMIT).
double bounded(double v) {
  return in_range(v) ? v : v >= LAST_RUNS_VALUE_LIMIT ? LAST_RUNS_VALUE_LIMIT - 1 : 0;
}

bool get_number(const json &j, const char *key, double *out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number() || !in_range(it->get<double>()))
    return false;
  *out = it->get<double>();
  return true;
}

bool parse_entry(const json &e, LastRun *r) {
  if (!e.is_object() || !get_string(e, "job_name", 256, &r->job_name) ||
      !get_string(e, "tool", 16, &r->tool) ||
      (e.contains("start_time") && !get_number(e, "start_time", &r->start_time)) ||
      !get_number(e, "end_time", &r->end_time) ||
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

StatusCode parse_document(const char *path, const std::string &text, LastRuns *out, char *why,
                          size_t why_size) {
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
  size_t damaged = 0;
  size_t first_damaged = 0;
  for (size_t i = 0; i < list->size(); i++) {
    LastRun r{};
    if (parse_entry((*list)[i], &r)) {
      runs[{r.job_name, r.tool}] = r;
    } else if (damaged++ == 0) {
      first_damaged = i + 1;
    }
  }
  if (damaged != 0)
    log_msg(LVL_WARN, "state file %s: %zu damaged entr%s skipped (the first: entry %zu)", path,
            damaged, damaged == 1 ? "y" : "ies", first_damaged);
  *out = std::move(runs);
  return ST_OK;
}

// Keeps an unusable file aside as "<path>.bad" and says so after the reason.
// Anything but a regular file (a directory in its place) is an operator's
// to move: saves fail, and say why, until it is gone.
void keep_aside(const char *path, char *why, size_t why_size) {
  const std::string bad = std::string(path) + ".bad";
  const size_t len = strlen(why);
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode))
    snprintf(why + len, why_size - len, "; not a regular file, left as it is");
  else if (rename(path, bad.c_str()) == 0)
    snprintf(why + len, why_size - len, "; kept as %s", bad.c_str());
  else
    snprintf(why + len, why_size - len, "; cannot keep it as %s: %s", bad.c_str(), strerror(errno));
}

} // namespace

bool last_runs_record(LastRuns *runs, LastRun run, uint64_t *evicted) {
  run.start_time = bounded(run.start_time);
  run.end_time = bounded(run.end_time);
  run.duration_s = bounded(run.duration_s);
  auto [it, added] = runs->try_emplace({run.job_name, run.tool}, run);
  LastRun &r = it->second;
  if (!added) {
    if (r.start_time == run.start_time && r.duration_s == run.duration_s)
      return false; // this run, seen again (a leftover after a restart)
    if (run.end_time < r.end_time) {
      if (!run.success || run.end_time <= r.last_success_time)
        return false;
      r.last_success_time = run.end_time;
      return true;
    }
    run.last_success_time = r.last_success_time;
    r = run;
  }
  if (r.success)
    r.last_success_time = r.end_time;
  if (runs->size() <= LAST_RUNS_MAX)
    return true;
  auto oldest = std::min_element(runs->begin(), runs->end(), [](const auto &a, const auto &b) {
    return a.second.end_time < b.second.end_time;
  });
  runs->erase(oldest);
  (*evicted)++;
  return true;
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
    if (!missing)
      keep_aside(path, why, why_size);
    return missing ? ST_NOTFOUND : ST_IO;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < LAST_RUNS_MAX_FILE_BYTES)
    text.append(buf, n);
  const int read_errno = errno;
  bool failed = ferror(f) != 0;
  fclose(f);
  StatusCode st = ST_IO;
  if (failed)
    snprintf(why, why_size, "read error: %s", strerror(read_errno));
  else if (text.size() >= LAST_RUNS_MAX_FILE_BYTES)
    snprintf(why, why_size, "too large");
  else
    st = parse_document(path, text, out, why, why_size);
  if (st != ST_OK) {
    keep_aside(path, why, why_size);
    return failed ? ST_IO : ST_CORRUPT;
  }
  return ST_OK;
}

StatusCode last_runs_save(const char *path, const LastRuns &runs) {
  json list = json::array();
  for (const auto &[key, r] : runs)
    list.push_back({{"job_name", r.job_name},
                    {"tool", r.tool},
                    {"start_time", r.start_time},
                    {"end_time", r.end_time},
                    {"success", r.success},
                    {"duration_seconds", r.duration_s},
                    {"bytes_raw", r.bytes_raw},
                    {"last_success_time", r.last_success_time}});
  json doc = {{"version", LAST_RUNS_FILE_VERSION}, {"last_runs", std::move(list)}};
  return atomic_file_write(path, doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n",
                           true);
}
