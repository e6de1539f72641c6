#include "monitor/live_view.h"

#include <curses.h>
#include <term.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monitor/ending_signals.h"
#include "monitor/page_layout.h"
#include "progress/follow.h"
#include "progress/labels.h"
#include "progress/reader.h"
#include "runtime/clock.h"

namespace {

SCREEN *g_screen = nullptr;

constexpr char QUIT_HINT[] = "Press 'q' to quit";
constexpr char WAITING_TEXT[] = "zpr_monitor - waiting for a consistent snapshot...";
constexpr int WAITING_HINT_ROW = 2;
constexpr int SUMMARY_HINT_ROW = 5; // orchestrator without a readable child
constexpr int CHILD_PAGE_TOP = 4;   // layout B: the child's page below the summary
constexpr int INPUT_TIMEOUT_MS = 250;
constexpr int EARLY_ERRORS_GONE = 20;
constexpr int BAR_CELLS = 40;
constexpr int WORKER_LIST_COLUMN = 2;

// Sizes of the per-frame buffers: a time text, a byte-size text or worker
// cell, a worker row, and a whole screen line.  A text field rendered
// printable takes at most four characters per byte ("M-^X").
constexpr size_t TIME_TEXT = 24;
constexpr size_t BYTES_TEXT = 32;
constexpr size_t ROW_TEXT = 256;
constexpr size_t LINE_TEXT = 1280;

// The previous frame's figures for the rate line, and the rate last
// computed for this record.
struct RateHistory {
  bool valid;
  uint64_t elapsed_ms;
  uint64_t blocks_done;
  uint64_t bytes_raw;
  double block_rate;
  uint64_t byte_rate;
};

template <size_t N, size_t M> const char *printable(const char (&field)[N], char (&dst)[M]) {
  static_assert(M >= printable_size(N), "room for every byte of the field");
  return printable_text(field, N, dst);
}

__attribute__((format(printf, 3, 4))) void put_line(int row, int col, const char *format, ...) {
  char line[LINE_TEXT];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  screen_put_text(row, col, line);
}

void draw_status(int row, const ProgressSegment &r) {
  char message[printable_size(sizeof r.message)];
  printable(r.message, message);
  put_line(
      row, 0, "Status: %s%s%s%s", state_label(r.state), message[0] != '\0' ? " - " : "", message,
      !state_is_final(r.state) && process_vanished(r.pid) ? " (process ended unexpectedly)" : "");
}

void draw_bar(int row, const ProgressSegment &r) {
  double fraction = r.blocks_total != 0
                        ? static_cast<double>(r.blocks_done) / static_cast<double>(r.blocks_total)
                        : 0.0;
  // Cell i is filled when i is below 40 x fraction truncated, that is when
  // i + 1 <= 40 x fraction; compared in double, as the fraction of a
  // hostile record may be far beyond 1.
  double filled = BAR_CELLS * fraction;
  char cells[BAR_CELLS + 1];
  for (int i = 0; i < BAR_CELLS; i++)
    cells[i] = i + 1 <= filled ? '=' : ' ';
  cells[BAR_CELLS] = '\0';
  put_line(row, 0, "[%s] %5.1f%%", cells, 100.0 * fraction);
}

// The rate since the previous frame, then the history moves on.  A frame
// drawn before the writer has published anything new (a key redraws at
// once) shows the rate last computed rather than a rate of nothing; the
// first frame, and the first after a child switch, have none yet.
void draw_rate(int row, const ProgressSegment &r, RateHistory *history) {
  double block_rate = history->block_rate;
  uint64_t byte_rate = history->byte_rate;
  if (history->valid && r.elapsed_ms > history->elapsed_ms) {
    double dt = static_cast<double>(r.elapsed_ms - history->elapsed_ms) / 1000.0;
    block_rate = static_cast<double>(r.blocks_done - history->blocks_done) / dt;
    double bytes = static_cast<double>(r.bytes_raw - history->bytes_raw) / dt;
    // A counter that went backwards wraps to a huge difference; the
    // conversion saturates instead of overflowing.
    byte_rate = bytes < 18446744073709551616.0 ? static_cast<uint64_t>(bytes) : UINT64_MAX;
  }
  char bytes_text[BYTES_TEXT];
  put_line(row, 0, "Rate:    %.1f blocks/s, %s/s", block_rate,
           format_bytes(byte_rate, bytes_text, sizeof bytes_text));
  *history = RateHistory{true, r.elapsed_ms, r.blocks_done, r.bytes_raw, block_rate, byte_rate};
}

void draw_compression(int row, const ProgressSegment &r) {
  if (r.compression == 1 && r.level_max > r.level_min)
    put_line(row, 0, "Compression: zstd level %d (adaptive %d..%d)", r.level, r.level_min,
             r.level_max);
  else if (r.compression == 1)
    put_line(row, 0, "Compression: zstd level %d (fixed)", r.level);
  else
    put_line(row, 0, "Compression: %s", r.compression == 2 ? "lz4" : "none");
}

// Six cells per row at column 2, at most 64 cells whatever workers_total says.
void draw_worker_list(int row, const ProgressSegment &r) {
  const uint32_t cells = page_worker_cells(page_kind(r));
  char text[ROW_TEXT];
  size_t len = 0;
  text[0] = '\0';
  for (uint32_t k = 0; k < cells; k++) {
    int64_t block = r.worker_block[k];
    int n = block == -1 ? snprintf(text + len, sizeof text - len, "W%u:--   ", k)
                        : snprintf(text + len, sizeof text - len, "W%u:%-6llu", k,
                                   static_cast<unsigned long long>(block));
    if (n > 0)
      len = len + static_cast<size_t>(n) < sizeof text ? len + static_cast<size_t>(n)
                                                       : sizeof text - 1;
    if ((k + 1) % PAGE_CELLS_PER_ROW == 0 || k + 1 == cells) {
      screen_put_text(row++, WORKER_LIST_COLUMN, text);
      len = 0;
      text[0] = '\0';
    }
  }
}

void draw_line(PageLine what, int row, const ProgressSegment &r, RateHistory *history) {
  const bool restore = r.tool == TOOL_RESTORE;
  char time_text[TIME_TEXT];
  char bytes_text[BYTES_TEXT];
  char text[printable_size(sizeof r.path)];
  switch (what) {
  case PageLine::blank:
    break;
  case PageLine::header:
    put_line(row, 0, "zpr_monitor - PID %u (%s, %s %s)", r.pid, printable(r.name, text),
             tool_label(r.tool), type_label(r.backup_type));
    break;
  case PageLine::status:
    draw_status(row, r);
    break;
  case PageLine::block:
    if (r.blocks_total != 0 || r.state != STATE_STARTING)
      put_line(row, 0, "Block:   %llu / %llu (current: %llu)",
               static_cast<unsigned long long>(r.blocks_done),
               static_cast<unsigned long long>(r.blocks_total),
               static_cast<unsigned long long>(r.block_current));
    else
      screen_put_text(row, 0, "Block:   - (block count not known yet)");
    break;
  case PageLine::bar:
    draw_bar(row, r);
    break;
  case PageLine::elapsed:
    put_line(row, 0, "Elapsed: %s",
             format_hms(effective_elapsed_ms(r), time_text, sizeof time_text));
    break;
  case PageLine::eta:
    // Far-off estimates saturate rather than wrap into a short time.
    put_line(row, 0, "ETA:     %s",
             r.eta_s < 0 ? "unknown"
                         : format_hms(static_cast<uint64_t>(r.eta_s) <= UINT64_MAX / 1000
                                          ? static_cast<uint64_t>(r.eta_s) * 1000
                                          : UINT64_MAX,
                                      time_text, sizeof time_text));
    break;
  case PageLine::rate:
    draw_rate(row, r, history);
    break;
  case PageLine::counter1:
    put_line(row, 0, restore ? "Restored:      %llu" : "Written:    %llu",
             static_cast<unsigned long long>(r.written));
    break;
  case PageLine::counter2:
    put_line(row, 0, restore ? "Zero-skipped:  %llu" : "Zero:       %llu",
             static_cast<unsigned long long>(r.zero));
    break;
  case PageLine::counter3:
    if (restore)
      put_line(row, 0, "Verify fails:  %llu", static_cast<unsigned long long>(r.unchanged));
    else
      put_line(row, 0, "FS-free:    %llu", static_cast<unsigned long long>(r.fs_free));
    break;
  case PageLine::counter4:
    put_line(row, 0, "Unchanged:  %llu", static_cast<unsigned long long>(r.unchanged));
    break;
  case PageLine::raw_done:
    put_line(row, 0, "Raw done:        %s",
             format_bytes(r.bytes_raw, bytes_text, sizeof bytes_text));
    break;
  case PageLine::compressed_done:
    put_line(row, 0, "Compressed done: %s (%.1f%% of raw)",
             format_bytes(r.bytes_compressed, bytes_text, sizeof bytes_text),
             r.bytes_raw != 0 ? static_cast<double>(r.bytes_compressed) /
                                    static_cast<double>(r.bytes_raw) * 100.0
                              : 0.0);
    break;
  case PageLine::queues:
    put_line(row, 0, "Queue raw->worker: %u/%u   Queue worker->writer: %u/%u", r.q_raw_depth,
             r.q_raw_cap, r.q_out_depth, r.q_out_cap);
    break;
  case PageLine::workers:
    put_line(row, 0, "Workers: %u/%u busy", r.workers_active, r.workers_total);
    break;
  case PageLine::compression:
    draw_compression(row, r);
    break;
  case PageLine::bg_duty:
    put_line(row, 0, "Background: duty %u%% (min %u / max %u)", r.bg_duty_pct, r.bg_duty_min,
             r.bg_duty_max);
    break;
  case PageLine::bg_loads:
    put_line(row, 0, "  foreign: cpu %u%% io %u%% net %u%%  |  own: cpu %u%% io %u%% net %u%%",
             r.bg_foreign_cpu, r.bg_foreign_io, r.bg_foreign_net, r.bg_self_cpu, r.bg_self_io,
             r.bg_self_net);
    break;
  case PageLine::cpu:
    put_line(row, 0, "CPU:     AVX2 %s, SHA-NI %s | SHA-256 via %s",
             (r.cpu_flags & 1u) != 0 ? "yes" : "no", (r.cpu_flags & 2u) != 0 ? "yes" : "no",
             printable(r.sha_impl, text));
    break;
  case PageLine::worker_list:
    draw_worker_list(row, r);
    break;
  case PageLine::path:
    put_line(row, 0, "Path: %s", printable(r.path, text));
    break;
  case PageLine::hint:
    screen_put_text(row, 0, QUIT_HINT);
    break;
  }
}

// The record page from row `top`, line by line as the layout table says.
void draw_page(int top, const ProgressSegment &r, RateHistory *history) {
  const PageKind kind = page_kind(r);
  int row = top;
  for (const PageEntry &e : PAGE_LAYOUT) {
    if (!page_shows(e.when, kind))
      continue;
    draw_line(e.what, row, r, history);
    row += page_line_rows(e.what, kind);
  }
}

// Rows 0 to 2 for an orchestrator's own record.
void draw_summary(const ProgressSegment &r) {
  char name[printable_size(sizeof r.name)];
  char elapsed[TIME_TEXT];
  put_line(0, 0, "zpr_monitor - PID %u (%s, %s)", r.pid, printable(r.name, name),
           tool_label(r.tool));
  draw_status(1, r);
  put_line(2, 0, "Elapsed: %s", format_hms(effective_elapsed_ms(r), elapsed, sizeof elapsed));
}

// A key read that fails long before its timeout means the terminal has
// gone (hung up while SIGHUP is ignored, input at its end); without this
// check the view would redraw into nothing as fast as it can, for ever.
// Many such failures in a row are needed, so a stray signal never ends it.
bool terminal_gone(int key, int64_t waited_ms, int *early_errors) {
  if (key == ERR && errno != EINTR && waited_ms < INPUT_TIMEOUT_MS / 2)
    ++*early_errors;
  else
    *early_errors = 0;
  return *early_errors >= EARLY_ERRORS_GONE;
}

// A terminal that cannot place the cursor (TERM=dumb and the like) would
// show the page as unreadable fragments: it counts as unusable.  Needs the
// terminal description loaded (setupterm).
bool addresses_cursor() {
  const char *cup = tigetstr("cup");
  return cup != nullptr && cup != reinterpret_cast<const char *>(-1);
}

} // namespace

int init_curses() {
  if (g_screen != nullptr)
    return 0;
  // newterm, unlike initscr, reports a missing or unknown terminal instead
  // of ending the process.
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
    fprintf(stderr, "error: the live view needs a terminal on standard input and output\n");
    return 1;
  }
  // newterm already switches the terminal's modes: the ending signals wait
  // until the screen is known and whole.
  ending_signals_hold();
  // Look the terminal up on its own first: a failing newterm leaks its
  // half-built screen, a failing setupterm leaves nothing behind.
  int lookup = 0;
  SCREEN *screen = nullptr;
  if (setupterm(nullptr, STDOUT_FILENO, &lookup) == OK) {
    const bool usable = addresses_cursor();
    del_curterm(cur_term);
    if (usable)
      screen = newterm(nullptr, stdout, stdin);
  }
  if (screen == nullptr) {
    const char *term = getenv("TERM");
    fprintf(stderr, "error: cannot set up the terminal (TERM=%s)\n",
            term != nullptr && term[0] != '\0' ? term : "unset");
    ending_signals_finish();
    return 1;
  }
  g_screen = screen;
  noecho();
  cbreak();
  curs_set(0);
  keypad(stdscr, TRUE);
  ending_signals_release();
  return 0;
}

bool curses_active() { return g_screen != nullptr; }

void end_curses() {
  if (g_screen == nullptr)
    return;
  ending_signals_hold();
  endwin();
  delscreen(g_screen);
  g_screen = nullptr;
  ending_signals_finish();
}

void run_live_view(uint32_t pid) {
  const ProgressSegment *segment = nullptr;
  if (progress_attach(pid, &segment) != ST_OK) {
    end_curses();
    fprintf(stderr, "error: could not attach to PID %u (process gone?)\n", pid);
    return;
  }
  run_live_page(segment);
  progress_detach(&segment);
}

void run_live_page(const ProgressSegment *segment) {
  wtimeout(stdscr, INPUT_TIMEOUT_MS);
  RateHistory history{};
  int early_errors = 0;
  ChildFollow follow{0, nullptr};
  ProgressSegment record;
  ProgressSegment child;
  for (;;) {
    const bool have_record = progress_snapshot(segment, &record) == ST_OK;
    wclear(stdscr);
    if (!have_record) {
      screen_put_text(0, 0, WAITING_TEXT);
      screen_put_text(WAITING_HINT_ROW, 0, QUIT_HINT);
    } else if (record.tool > TOOL_RESTORE) {
      draw_summary(record);
      FollowResult followed = follow_child(&follow, record, &child);
      if (followed.reset)
        history = RateHistory{};
      if (followed.have_child)
        draw_page(CHILD_PAGE_TOP, child, &history);
      else
        screen_put_text(SUMMARY_HINT_ROW, 0, QUIT_HINT);
    } else {
      draw_page(0, record, &history);
    }
    wrefresh(stdscr);
    const int64_t asked = monotonic_ms();
    const int key = screen_key(INPUT_TIMEOUT_MS);
    if (ending_signal_received() || (key != ERR && (key & ~0x20) == 'Q'))
      break;
    if (terminal_gone(key, monotonic_ms() - asked, &early_errors))
      break;
  }
  follow_release(&follow);
}

bool live_terminal_gone(int key, int64_t waited_ms, int *early_errors) {
  return terminal_gone(key, waited_ms, early_errors);
}

void screen_put_text(int row, int col, const char *text) {
  if (row < 0 || row >= LINES || col >= COLS)
    return;
  mvwaddnstr(stdscr, row, col, text, COLS - col);
}

bool process_vanished(uint32_t pid) {
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}
