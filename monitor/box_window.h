// Which part of the selection box's list is shown when the list is longer
// than the terminal: a window that follows the selected entry.
#pragma once

#include <cstddef>

// Entries [first, first + shown), and whether a mark row stands above or
// below them.
struct BoxWindow {
  size_t first;
  size_t shown;
  bool above;
  bool below;
};

// count entries, the selected one, the first entry shown last time and the
// rows of the list area.  A list that fits is shown whole and unmarked,
// exactly as it always was.  A longer one shows a window that moves as
// little as it can to keep the selected entry in view; each mark takes one
// row of the list area, and the window never leaves rows empty at the
// bottom (after the terminal grew).  With fewer than three rows no mark
// fits beside an entry.  Every entry of the window is one of the list's.
inline BoxWindow box_window(size_t count, size_t selected, size_t first, size_t rows) {
  if (count <= rows)
    return {0, count, false, false};
  first = first < selected ? first : selected;
  if (rows < 3) {
    // count > rows here, so the last full window starts at count - rows.
    if (first > count - rows)
      first = count - rows;
    if (rows != 0 && selected >= first + rows)
      first = selected + 1 - rows;
    return {first, rows, false, false};
  }
  for (;;) {
    const bool above = first > 0;
    size_t room = rows - (above ? 1 : 0);
    const bool below = first + room < count;
    if (below)
      room--;
    else if (count - first < room)
      first = count - room; // stays above 0, as count > rows
    if (selected < first + room)
      return {first, room, first > 0, below};
    first = selected + 1 - room;
  }
}
