#include "monitor/job_table.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "monitor/live_view.h"
#include "progress/follow.h"
#include "progress/reader.h"

namespace {

bool is_orchestrator(const Job &j) { return j.have_record && j.record.tool > TOOL_RESTORE; }

size_t find_job(const JobTable *t, uint32_t pid) {
  for (size_t i = 0; i < t->count; i++)
    if (t->jobs[i].pid == pid)
      return i;
  return t->count;
}

// Doubles the arrays; false (and nothing changed) without memory.
bool grow(JobTable *t) {
  const size_t capacity = t->capacity == 0 ? 16 : t->capacity * 2;
  auto *jobs = static_cast<Job *>(realloc(t->jobs, capacity * sizeof(Job)));
  if (jobs == nullptr)
    return false;
  t->jobs = jobs;
  auto *rows = static_cast<uint32_t *>(realloc(t->rows, capacity * sizeof(uint32_t)));
  if (rows == nullptr)
    return false;
  t->rows = rows;
  t->capacity = capacity;
  return true;
}

// Attaches pid and adds it; returns its index, or count when it cannot be
// attached (it may be tried again at the next scan).
size_t add_job(JobTable *t, uint32_t pid) {
  const ProgressSegment *mapping = nullptr;
  if (progress_attach(pid, &mapping) != ST_OK)
    return t->count;
  if (t->count == t->capacity && !grow(t)) {
    progress_detach(&mapping);
    return t->count;
  }
  Job &j = t->jobs[t->count];
  memset(&j, 0, sizeof j);
  j.pid = pid;
  j.mapping = mapping;
  rate_window_reset(&j.window);
  return t->count++;
}

// The directory the segments live in, as the scan lists it.
constexpr char SEGMENT_DIR[] = "/dev/shm";

// A listing attaches every segment anew, which with hundreds of jobs costs
// more than all the frames between two listings; the directory's
// modification time tells when a segment came or went.  A segment that was
// not yet sized when it was listed is found by the next full listing (or
// at once through its orchestrator).
bool listing_due(JobTable *t, int64_t now_ms) {
  struct stat st {};
  const bool known = stat(SEGMENT_DIR, &st) == 0;
  const bool same = known && st.st_mtim.tv_sec == t->listed_mtime.tv_sec &&
                    st.st_mtim.tv_nsec == t->listed_mtime.tv_nsec;
  if (same && now_ms < t->next_full_scan_ms)
    return false;
  t->listed_mtime = known ? st.st_mtim : timespec{};
  t->next_full_scan_ms = now_ms + JOB_FULL_SCAN_MS;
  return true;
}

void scan(JobTable *t) {
  ScanEntry *entries = nullptr;
  size_t count = 0;
  if (scan_segments_denied(&entries, &count, &t->denied) != ST_OK)
    return;
  for (size_t i = 0; i < t->count; i++)
    t->jobs[i].in_scan = false;
  for (size_t k = 0; k < count; k++) {
    size_t i = find_job(t, entries[k].pid);
    if (i == t->count)
      i = add_job(t, entries[k].pid);
    if (i < t->count)
      t->jobs[i].in_scan = true;
  }
  free(entries);
}

void test_processes(JobTable *t) {
  for (size_t i = 0; i < t->count; i++) {
    Job &j = t->jobs[i];
    if (!j.vanished && j.have_record && !state_is_final(j.record.state))
      j.vanished = process_vanished(j.pid);
  }
}

// A job leaves the table once its segment is gone and it was cleared or
// has been ended long enough.  A segment that stays (its writer was
// killed) keeps its row until the user clears it.
bool expired(const Job &j, int64_t now_ms) {
  if (j.in_scan)
    return false;
  return j.cleared || (j.ended_ms != 0 && now_ms - j.ended_ms >= JOB_KEEP_ENDED_MS);
}

void drop_expired(JobTable *t, int64_t now_ms) {
  size_t kept = 0;
  for (size_t i = 0; i < t->count; i++) {
    if (expired(t->jobs[i], now_ms)) {
      progress_detach(&t->jobs[i].mapping);
      continue;
    }
    if (kept != i)
      memcpy(&t->jobs[kept], &t->jobs[i], sizeof(Job));
    kept++;
  }
  t->count = kept;
}

void note_end(JobTable *t, Job &j, int64_t now_ms) {
  const bool ended = job_ended(j);
  if (!ended) {
    j.seen_live = true;
    j.ended_ms = 0;
    return;
  }
  if (j.ended_ms != 0)
    return;
  j.ended_ms = now_ms;
  if (!j.seen_live)
    return; // ended before the table saw it run
  if (job_failed(j))
    t->failed++;
  else
    t->finished++;
}

// An orchestrator's current child is attached at once (the scan would
// find it within a second) and marked as its child for good.
// (Adding may move the jobs: it takes pids, not a job.)
void adopt_child(JobTable *t, uint32_t orchestrator, uint32_t child) {
  if (child == 0 || child == orchestrator)
    return;
  size_t i = find_job(t, child);
  if (i == t->count)
    i = add_job(t, child);
  if (i < t->count)
    t->jobs[i].parent = orchestrator;
}

void update_job(JobTable *t, Job &j, int64_t now_ms) {
  if (j.cleared)
    return;
  if (progress_snapshot(j.mapping, &j.record) == ST_OK)
    j.have_record = true;
  if (!j.have_record)
    return;
  note_end(t, j, now_ms);
  j.figures = RateFigures{false, 0.0, 0.0, RATE_ETA_UNKNOWN, 0};
  if (job_ended(j)) {
    rate_window_reset(&j.window);
    return;
  }
  t->running++;
  // An orchestrator's blocks are its children: its rate is theirs.
  if (j.record.tool > TOOL_RESTORE)
    return;
  j.figures = rate_window_update(&j.window, now_ms, j.record);
  if (j.figures.have_rate)
    t->bytes_per_s += j.figures.bytes_per_s;
}

// Sort keys: a rate or ETA that is not known sorts after every known one.
double sort_value(const Job &j, JobSort sort) {
  if (sort == JOB_SORT_RATE)
    return j.figures.have_rate ? -j.figures.bytes_per_s : 1.0;
  // By ETA the job that will take longest comes first, and a stalled one
  // before them all: those are the ones to look at.
  switch (j.figures.eta_kind) {
  case RATE_ETA_STALLED:
    return -1e300;
  case RATE_ETA_WINDOW:
  case RATE_ETA_RECORD:
    return -static_cast<double>(j.figures.eta_ms);
  case RATE_ETA_UNKNOWN:
    break;
  }
  return 1.0;
}

bool before(const Job &a, const Job &b, JobSort sort) {
  if (sort != JOB_SORT_NAME) {
    const double va = sort_value(a, sort);
    const double vb = sort_value(b, sort);
    if (va != vb)
      return va < vb;
  }
  const int byname = strncmp(a.record.name, b.record.name, sizeof a.record.name);
  if (byname != 0)
    return byname < 0;
  return a.pid < b.pid;
}

// Rows: every job not cleared that has been read once, a child right under
// its orchestrator (in the order the children were found), the others by
// the sort key.
void order_rows(JobTable *t) {
  t->row_count = 0;
  for (size_t i = 0; i < t->count; i++)
    if (!t->jobs[i].cleared && t->jobs[i].have_record)
      t->rows[t->row_count++] = static_cast<uint32_t>(i);
  // The root of a row: its orchestrator when that is in the table and is a
  // root itself (records naming each other as children must not make the
  // order circular).
  for (size_t i = 0; i < t->count; i++) {
    Job &j = t->jobs[i];
    const size_t p = j.parent != 0 ? find_job(t, j.parent) : t->count;
    const bool under =
        p < t->count && !t->jobs[p].cleared && t->jobs[p].have_record && t->jobs[p].parent == 0;
    j.root = under ? static_cast<uint32_t>(p) : static_cast<uint32_t>(i);
  }
  std::sort(t->rows, t->rows + t->row_count, [t](uint32_t a, uint32_t b) {
    const uint32_t ra = t->jobs[a].root;
    const uint32_t rb = t->jobs[b].root;
    if (ra != rb)
      return before(t->jobs[ra], t->jobs[rb], t->sort);
    if (a == ra || b == rb)
      return a == ra && b != rb;
    return a < b;
  });
}

} // namespace

bool job_ended(const Job &job) {
  return job.vanished || (job.have_record && state_is_final(job.record.state));
}

bool job_failed(const Job &job) {
  return job.have_record &&
         (job.record.state == STATE_FAILED || (job.vanished && !state_is_final(job.record.state)));
}

void job_table_init(JobTable *table) {
  memset(table, 0, sizeof *table);
  table->sort = JOB_SORT_NAME;
}

void job_table_free(JobTable *table) {
  for (size_t i = 0; i < table->count; i++)
    progress_detach(&table->jobs[i].mapping);
  free(table->jobs);
  free(table->rows);
  const JobSort sort = table->sort;
  job_table_init(table);
  table->sort = sort;
}

void job_table_refresh(JobTable *table, int64_t now_ms) {
  if (now_ms >= table->next_scan_ms) {
    if (listing_due(table, now_ms))
      scan(table);
    test_processes(table);
    table->next_scan_ms = now_ms + JOB_SCAN_INTERVAL_MS;
  }
  table->running = 0;
  table->bytes_per_s = 0.0;
  // Children first found through their orchestrator are appended while
  // this runs; they get their first copy in the same frame.
  for (size_t i = 0; i < table->count; i++) {
    update_job(table, table->jobs[i], now_ms);
    const Job &j = table->jobs[i];
    if (is_orchestrator(j) && !j.cleared)
      adopt_child(table, j.pid, j.record.child_pid);
  }
  drop_expired(table, now_ms);
  order_rows(table);
}

void job_table_clear_ended(JobTable *table) {
  for (size_t i = 0; i < table->count; i++)
    if (job_ended(table->jobs[i]))
      table->jobs[i].cleared = true;
}

size_t job_table_row_of(const JobTable &table, uint32_t pid) {
  for (size_t r = 0; r < table.row_count; r++)
    if (table.jobs[table.rows[r]].pid == pid)
      return r;
  return table.row_count;
}
