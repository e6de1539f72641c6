#include "monitor/discovery.h"

#include <curses.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "monitor/box_window.h"
#include "monitor/ending_signals.h"
#include "progress/follow.h"
#include "progress/labels.h"
#include "monitor/live_view.h"
#include "progress/reader.h"

namespace {

constexpr int KEY_CODE_ESCAPE = 27;
constexpr int KEY_CODE_NEWLINE = 10;
constexpr int BOX_FIRST_ROW = 4;
// Marks in the list area of a box longer than the terminal.
constexpr char BOX_MORE_ABOVE[] = "  ^ more";
constexpr char BOX_MORE_BELOW[] = "  v more";

// An entry is hidden when an orchestrator of the scan names it as its
// current child; the test looks at the scan as found (so the flags are all
// settled before any entry moves), and the remaining entries keep their
// order.  A record naming itself does not hide itself (the view does not
// follow such a child either).  Without memory for the flags nothing is
// hidden: a longer list beats a lost one.
size_t drop_children(ScanEntry *entries, size_t count) {
  auto *hidden = static_cast<bool *>(calloc(count, sizeof(bool)));
  if (hidden == nullptr)
    return count;
  for (size_t i = 0; i < count; i++)
    for (size_t j = 0; j < count && !hidden[i]; j++)
      hidden[i] =
          j != i && entries[j].tool > TOOL_RESTORE && entries[j].child_pid == entries[i].pid;
  size_t kept = 0;
  for (size_t i = 0; i < count; i++)
    if (!hidden[i])
      entries[kept++] = entries[i];
  free(hidden);
  return kept;
}

void draw_box(const ScanEntry *entries, size_t count, size_t selected, size_t *first) {
  wclear(stdscr);
  mvprintw(0, 0, "zpr_monitor - multiple running backups/restores found");
  mvprintw(1, 0, "Use Up/Down and Enter to select, q to quit");
  mvprintw(3, 0, "%-4s %-20s %-8s %-5s %-8s %s", "", "NAME", "PID", "TYPE", "TOOL", "STATE");
  const size_t rows = LINES > BOX_FIRST_ROW ? static_cast<size_t>(LINES - BOX_FIRST_ROW) : 0;
  const BoxWindow w = box_window(count, selected, *first, rows);
  *first = w.first;
  int row = BOX_FIRST_ROW;
  if (w.above)
    mvprintw(row++, 0, "%s", BOX_MORE_ABOVE);
  for (size_t k = w.first; k < w.first + w.shown; k++) {
    const ScanEntry &e = entries[k];
    const bool plain_tool = e.tool <= TOOL_RESTORE;
    if (k == selected)
      wattr_on(stdscr, A_REVERSE, nullptr);
    // The name is another process's text: shown printable (a newline or
    // backspace in it must not break the box), never read past its field.
    char name[printable_size(sizeof e.name)];
    printable_text(e.name, sizeof e.name, name);
    mvprintw(row++, 0, "%-4s %-20s %-8u %-5s %-8s %s", k == selected ? ">" : "", name, e.pid,
             plain_tool ? type_label(e.backup_type) : "-", tool_label(e.tool),
             state_label(e.state));
    if (k == selected)
      wattr_off(stdscr, A_REVERSE, nullptr);
  }
  if (w.below)
    mvprintw(row, 0, "%s", BOX_MORE_BELOW);
  wrefresh(stdscr);
}

// Runs the box until a choice or a quit.  Returns true with *pid set when
// an entry was chosen, false when the user left without choosing.
bool select_entry(const ScanEntry *entries, size_t count, uint32_t *pid) {
  size_t selected = 0;
  size_t first = 0;
  for (;;) {
    draw_box(entries, count, selected, &first);
    const int key = screen_key(-1);
    // Without an input timeout an error means the terminal is gone; waiting
    // on would spin, so it counts as leaving, as does an ending signal.
    if (ending_signal_received() || (key == ERR && errno != EINTR))
      return false;
    if ((key & ~0x20) == 'Q' || key == KEY_CODE_ESCAPE)
      return false;
    if (key == KEY_UP || key == 'k') {
      if (selected > 0)
        selected--;
    } else if (key == KEY_DOWN || key == 'j') {
      if (selected + 1 < count)
        selected++;
    } else if (key == KEY_CODE_NEWLINE || key == KEY_ENTER) {
      *pid = entries[selected].pid;
      return true;
    }
  }
}

} // namespace

int run_discovery() {
  ScanEntry *entries = nullptr;
  size_t count = 0;
  size_t denied = 0;
  if (scan_segments_denied(&entries, &count, &denied) != ST_OK) {
    fprintf(stderr, "error: progress scanning is not supported on this platform\n");
    return 1;
  }
  count = drop_children(entries, count);
  if (count == 0) {
    free(entries);
    fprintf(stderr, "no running zpr_agent/zpr_restore found\n");
    // Segments are private to their writer's user: say so, or a host full
    // of other users' jobs looks idle to an unprivileged user.
    if (denied != 0)
      fprintf(stderr,
              "%zu progress segment%s could not be opened for lack of permission (try as root)\n",
              denied, denied == 1 ? "" : "s");
    return 1;
  }
  if (count == 1) {
    uint32_t pid = entries[0].pid;
    free(entries);
    if (!curses_active() && init_curses() != 0)
      return 1;
    run_live_view(pid);
    end_curses();
    return 0;
  }
  if (!curses_active() && init_curses() != 0) {
    free(entries);
    return 1;
  }
  uint32_t chosen = 0;
  bool have_choice = select_entry(entries, count, &chosen);
  free(entries);
  if (have_choice)
    run_live_view(chosen);
  end_curses();
  return 0;
}
