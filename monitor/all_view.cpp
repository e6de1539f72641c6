#include "monitor/all_view.h"

#include <curses.h>

#include <cerrno>
#include <cstdio>

#include "monitor/ending_signals.h"
#include "monitor/job_table.h"
#include "monitor/live_view.h"
#include "progress/follow.h"
#include "progress/labels.h"
#include "runtime/clock.h"

namespace {

constexpr int INPUT_TIMEOUT_MS = 250; // the live view's cadence
constexpr int KEY_CODE_NEWLINE = 10;
constexpr int SUMMARY_ROW = 0;
constexpr int HEADER_ROW = 1;
constexpr int FIRST_JOB_ROW = 2;
constexpr int MIN_ROWS_FOR_HINT = 5; // below this the job rows need the last row
constexpr int BAR_CELLS = 10;
constexpr int NAME_EXTRA_MAX = 16; // spare columns the name may take
constexpr short PAIR_FAILED = 1;
constexpr short PAIR_STALLED = 2;
constexpr char HINT[] = "Up/Down select  Enter open  n/r/e sort  c clear ended  q quit";
constexpr const char *SORT_NAMES[] = {"name", "rate", "ETA"};

constexpr size_t CELL_TEXT = 96;
constexpr size_t ROW_TEXT = 512;

enum class Col : uint8_t { name, pid, tool, type, state, bar, pct, blocks, rate, eta, elapsed };

struct Column {
  Col what;
  const char *title;
  int width;
  bool right; // aligned right
};

// The columns, left to right.
constexpr Column COLUMNS[] = {
    {Col::name, "NAME", 16, false},     {Col::pid, "PID", 7, true},
    {Col::tool, "TOOL", 8, false},      {Col::type, "TYPE", 4, false},
    {Col::state, "STATE", 9, false},    {Col::bar, "PROGRESS", BAR_CELLS + 2, false},
    {Col::pct, "%", 6, true},           {Col::blocks, "BLOCKS", 15, true},
    {Col::rate, "RATE", 12, true},      {Col::eta, "ETA", 8, true},
    {Col::elapsed, "ELAPSED", 8, true},
};
constexpr size_t COLUMN_COUNT = sizeof COLUMNS / sizeof COLUMNS[0];

// What a narrow terminal gives up first; the name always stays.
constexpr Col DROP_ORDER[] = {Col::blocks, Col::type, Col::elapsed, Col::tool, Col::pid,
                              Col::bar,    Col::rate, Col::eta,     Col::pct,  Col::state};
static_assert(sizeof DROP_ORDER / sizeof DROP_ORDER[0] == COLUMN_COUNT - 1);

// Two columns before the first: the selection mark and the failure mark.
constexpr int MARK_WIDTH = 2;

struct Layout {
  bool shown[COLUMN_COUNT];
  int name_width;
};

int row_width(const Layout &l) {
  int width = MARK_WIDTH;
  for (size_t c = 0; c < COLUMN_COUNT; c++)
    if (l.shown[c])
      width += (COLUMNS[c].what == Col::name ? l.name_width : COLUMNS[c].width) + 1;
  return width - 1;
}

size_t column_index(Col what) {
  for (size_t c = 0; c < COLUMN_COUNT; c++)
    if (COLUMNS[c].what == what)
      return c;
  return 0;
}

// Drops columns in their fixed order until a row fits; spare room widens
// the name.
Layout layout_for(int columns) {
  Layout l{};
  for (bool &shown : l.shown)
    shown = true;
  l.name_width = COLUMNS[column_index(Col::name)].width;
  for (Col c : DROP_ORDER) {
    if (row_width(l) <= columns)
      break;
    l.shown[column_index(c)] = false;
  }
  const int spare = columns - row_width(l);
  if (spare > 0)
    l.name_width += spare < NAME_EXTRA_MAX ? spare : NAME_EXTRA_MAX;
  return l;
}

struct View {
  JobTable table;
  size_t selected; // row
  uint32_t selected_pid;
  size_t first; // first row shown
  bool colour;
};

void draw_bar(const ProgressSegment &r, char *out, size_t size) {
  const double fraction =
      r.blocks_total != 0 ? static_cast<double>(r.blocks_done) / static_cast<double>(r.blocks_total)
                          : 0.0;
  const double filled = BAR_CELLS * fraction;
  char cells[BAR_CELLS + 1];
  for (int i = 0; i < BAR_CELLS; i++)
    cells[i] = i + 1 <= filled ? '=' : ' ';
  cells[BAR_CELLS] = '\0';
  snprintf(out, size, "[%s]", cells);
}

// "child 2 of 5": the orchestrator's finished children count as its blocks.
void draw_child_of(const ProgressSegment &r, char *out, size_t size) {
  if (r.blocks_total != 0)
    snprintf(out, size, "child %llu of %llu", static_cast<unsigned long long>(r.blocks_done + 1),
             static_cast<unsigned long long>(r.blocks_total));
  else
    snprintf(out, size, "child");
}

const char *state_text(const Job &j) {
  return j.vanished && !state_is_final(j.record.state) ? "gone" : state_label(j.record.state);
}

void draw_eta(const Job &j, char *out, size_t size) {
  if (job_ended(j)) {
    snprintf(out, size, "-");
    return;
  }
  const bool orchestrator = j.record.tool > TOOL_RESTORE;
  if (orchestrator && j.record.eta_s >= 0) {
    const uint64_t s = static_cast<uint64_t>(j.record.eta_s);
    format_hms(s <= UINT64_MAX / 1000 ? s * 1000 : UINT64_MAX, out, size);
    return;
  }
  switch (j.figures.eta_kind) {
  case RATE_ETA_STALLED:
    snprintf(out, size, "stalled");
    return;
  case RATE_ETA_WINDOW:
  case RATE_ETA_RECORD:
    format_hms(j.figures.eta_ms, out, size);
    return;
  case RATE_ETA_UNKNOWN:
    break;
  }
  snprintf(out, size, "-");
}

void cell_text(Col what, const Job &j, bool child, char *out, size_t size) {
  const ProgressSegment &r = j.record;
  char text[printable_size(sizeof r.name)];
  char bytes[32];
  switch (what) {
  case Col::name:
    snprintf(out, size, "%s%s", child ? "`- " : "", printable_text(r.name, sizeof r.name, text));
    return;
  case Col::pid:
    snprintf(out, size, "%u", j.pid);
    return;
  case Col::tool:
    snprintf(out, size, "%s", tool_label(r.tool));
    return;
  case Col::type:
    snprintf(out, size, "%s", r.tool <= TOOL_RESTORE ? type_label(r.backup_type) : "-");
    return;
  case Col::state:
    snprintf(out, size, "%s", state_text(j));
    return;
  case Col::bar:
    if (r.tool > TOOL_RESTORE && r.child_pid != 0 && r.child_pid != r.pid && !job_ended(j))
      draw_child_of(r, out, size);
    else
      draw_bar(r, out, size);
    return;
  case Col::pct:
    snprintf(out, size, "%.1f%%",
             r.blocks_total != 0
                 ? 100.0 * static_cast<double>(r.blocks_done) / static_cast<double>(r.blocks_total)
                 : 0.0);
    return;
  case Col::blocks:
    snprintf(out, size, "%llu/%llu", static_cast<unsigned long long>(r.blocks_done),
             static_cast<unsigned long long>(r.blocks_total));
    return;
  case Col::rate:
    if (j.figures.have_rate) {
      const double rate = j.figures.bytes_per_s;
      snprintf(out, size, "%s/s",
               format_bytes(rate < 1.8e19 ? static_cast<uint64_t>(rate) : UINT64_MAX, bytes,
                            sizeof bytes));
    } else {
      snprintf(out, size, "-");
    }
    return;
  case Col::eta:
    draw_eta(j, out, size);
    return;
  case Col::elapsed:
    format_hms(effective_elapsed_ms(r), out, size);
    return;
  }
}

// Appends text to the row in a cell of `width` columns, cut to it.
size_t put_cell(char *row, size_t len, const char *text, int width, bool right) {
  const int n =
      snprintf(row + len, ROW_TEXT - len, right ? "%*.*s " : "%-*.*s ", width, width, text);
  if (n < 0)
    return len;
  const size_t end = len + static_cast<size_t>(n);
  return end < ROW_TEXT ? end : ROW_TEXT - 1;
}

void draw_header(const Layout &l) {
  char row[ROW_TEXT];
  size_t len = put_cell(row, 0, "", MARK_WIDTH - 1, false);
  for (size_t c = 0; c < COLUMN_COUNT; c++)
    if (l.shown[c])
      len = put_cell(row, len, COLUMNS[c].title,
                     COLUMNS[c].what == Col::name ? l.name_width : COLUMNS[c].width,
                     COLUMNS[c].right);
  while (len > 0 && row[len - 1] == ' ')
    len--;
  row[len] = '\0';
  screen_put_text(HEADER_ROW, 0, row);
}

void draw_job(const View &v, const Layout &l, int screen_row, size_t row) {
  const Job &j = v.table.jobs[v.table.rows[row]];
  const bool child = j.root != v.table.rows[row];
  const bool failed = job_failed(j);
  char line[ROW_TEXT];
  line[0] = row == v.selected ? '>' : ' ';
  line[1] = failed ? '!' : ' ';
  line[2] = '\0';
  size_t len = MARK_WIDTH;
  int eta_at = -1;
  char cell[CELL_TEXT];
  for (size_t c = 0; c < COLUMN_COUNT; c++) {
    if (!l.shown[c])
      continue;
    if (COLUMNS[c].what == Col::eta)
      eta_at = static_cast<int>(len);
    cell_text(COLUMNS[c].what, j, child, cell, sizeof cell);
    len = put_cell(line, len, cell, COLUMNS[c].what == Col::name ? l.name_width : COLUMNS[c].width,
                   COLUMNS[c].right);
  }
  while (len > 0 && line[len - 1] == ' ')
    len--;
  line[len] = '\0';
  attr_t attrs = row == v.selected ? A_REVERSE : A_NORMAL;
  if (failed)
    attrs |= v.colour ? COLOR_PAIR(PAIR_FAILED) : A_BOLD;
  wattr_on(stdscr, attrs, nullptr);
  screen_put_text(screen_row, 0, line);
  wattr_off(stdscr, attrs, nullptr);
  const bool stalled = !job_ended(j) && j.figures.eta_kind == RATE_ETA_STALLED;
  if (stalled && v.colour && eta_at >= 0 && eta_at < COLS && screen_row < LINES)
    mvwchgat(stdscr, screen_row, eta_at, COLUMNS[column_index(Col::eta)].width,
             row == v.selected ? A_REVERSE : A_NORMAL, PAIR_STALLED, nullptr);
}

void draw_summary(const View &v) {
  char rate[32];
  char line[ROW_TEXT];
  const uint64_t total =
      v.table.bytes_per_s < 1.8e19 ? static_cast<uint64_t>(v.table.bytes_per_s) : UINT64_MAX;
  const int n =
      snprintf(line, sizeof line,
               "zpr_monitor --all: %zu running, %s/s | since start: %u done, %u failed | sort: %s",
               v.table.running, format_bytes(total, rate, sizeof rate), v.table.finished,
               v.table.failed, SORT_NAMES[v.table.sort]);
  // Segments are private to their writer's user: a host full of other
  // users' jobs must not look idle.
  if (v.table.denied != 0 && n > 0 && static_cast<size_t>(n) < sizeof line)
    snprintf(line + n, sizeof line - static_cast<size_t>(n), " | %zu not readable (try as root)",
             v.table.denied);
  screen_put_text(SUMMARY_ROW, 0, line);
}

int job_rows() {
  const int hint = LINES >= MIN_ROWS_FOR_HINT ? 1 : 0;
  const int rows = LINES - FIRST_JOB_ROW - hint;
  return rows > 0 ? rows : 0;
}

// The selection follows its job when the order changes; a job that left
// leaves the selection on the same row.
void place_selection(View *v) {
  const size_t n = v->table.row_count;
  const size_t at = job_table_row_of(v->table, v->selected_pid);
  if (at < n)
    v->selected = at;
  else if (n == 0)
    v->selected = 0;
  else if (v->selected >= n)
    v->selected = n - 1;
  if (n != 0)
    v->selected_pid = v->table.jobs[v->table.rows[v->selected]].pid;
  const size_t rows = static_cast<size_t>(job_rows());
  if (v->selected < v->first)
    v->first = v->selected;
  if (rows != 0 && v->selected >= v->first + rows)
    v->first = v->selected + 1 - rows;
  const size_t last_first = n > rows ? n - rows : 0;
  if (v->first > last_first)
    v->first = last_first;
}

void draw(View *v) {
  werase(stdscr);
  place_selection(v);
  const Layout l = layout_for(COLS);
  draw_summary(*v);
  draw_header(l);
  const int rows = job_rows();
  for (int k = 0; k < rows && v->first + static_cast<size_t>(k) < v->table.row_count; k++)
    draw_job(*v, l, FIRST_JOB_ROW + k, v->first + static_cast<size_t>(k));
  if (LINES >= MIN_ROWS_FOR_HINT)
    screen_put_text(LINES - 1, 0, HINT);
  wrefresh(stdscr);
}

// Moves the selection by delta rows, within the list.
void move_selection(View *v, long delta) {
  const long n = static_cast<long>(v->table.row_count);
  if (n == 0)
    return;
  long at = static_cast<long>(v->selected) + delta;
  at = at < 0 ? 0 : at >= n ? n - 1 : at;
  v->selected = static_cast<size_t>(at);
  v->selected_pid = v->table.jobs[v->table.rows[v->selected]].pid;
}

// Acts on one key; false when the table is to end.
bool on_key(View *v, int key) {
  const long page = job_rows() > 1 ? job_rows() - 1 : 1;
  switch (key) {
  case KEY_UP:
  case 'k':
    move_selection(v, -1);
    break;
  case KEY_DOWN:
  case 'j':
    move_selection(v, 1);
    break;
  case KEY_PPAGE:
    move_selection(v, -page);
    break;
  case KEY_NPAGE:
    move_selection(v, page);
    break;
  case KEY_HOME:
    move_selection(v, -static_cast<long>(v->table.row_count));
    break;
  case KEY_END:
    move_selection(v, static_cast<long>(v->table.row_count));
    break;
  case 'n':
    v->table.sort = JOB_SORT_NAME;
    break;
  case 'r':
    v->table.sort = JOB_SORT_RATE;
    break;
  case 'e':
    v->table.sort = JOB_SORT_ETA;
    break;
  case 'c':
    job_table_clear_ended(&v->table);
    break;
  case KEY_CODE_NEWLINE:
  case KEY_ENTER:
    if (v->selected < v->table.row_count) {
      // The job's own mapping: its page shows the last record also after
      // the job has ended and its segment is gone.
      run_live_page(v->table.jobs[v->table.rows[v->selected]].mapping);
      wtimeout(stdscr, INPUT_TIMEOUT_MS);
    }
    break;
  default:
    return (key & ~0x20) != 'Q';
  }
  return true;
}

// Colour only where the terminal has it; the marks and the texts carry
// the same news without it.
bool start_colour() {
  if (!has_colors() || start_color() != OK)
    return false;
  use_default_colors();
  init_pair(PAIR_FAILED, COLOR_RED, -1);
  init_pair(PAIR_STALLED, COLOR_YELLOW, -1);
  return true;
}

} // namespace

int run_all_view() {
  if (!curses_active() && init_curses() != 0)
    return 1;
  View v{};
  job_table_init(&v.table);
  v.colour = start_colour();
  wtimeout(stdscr, INPUT_TIMEOUT_MS);
  int early_errors = 0;
  for (;;) {
    job_table_refresh(&v.table, monotonic_ms());
    draw(&v);
    const int64_t asked = monotonic_ms();
    const int key = screen_key(INPUT_TIMEOUT_MS);
    if (ending_signal_received() || live_terminal_gone(key, monotonic_ms() - asked, &early_errors))
      break;
    if (key != ERR && !on_key(&v, key))
      break;
    if (ending_signal_received())
      break;
  }
  job_table_free(&v.table);
  end_curses();
  return 0;
}
