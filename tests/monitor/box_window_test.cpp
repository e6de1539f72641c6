// The selection box's window over 8 entries in terminals of 4 to 8 rows: the user moves to each
// entry, the terminal grows or shrinks, the user moves to each entry again.  Every window must be
// the nearest of those that keep the selection in view, every row an entry of the list.
#include <gtest/gtest.h>

#include <algorithm>

#include "monitor/box_window.h"

namespace {

constexpr size_t COUNT = 8, BOX_TOP = 4;

size_t distance(size_t a, size_t b) { return a > b ? a - b : b - a; }

// Entries [first, last) and their marks fill the list rows exactly.
bool fits(size_t first, size_t last, size_t rows) {
  const size_t marks = rows < 3 ? 0 : (first > 0) + (last < COUNT);
  return first < last && last <= COUNT && last - first + marks == rows;
}

void check(size_t selected, size_t before, size_t rows, const BoxWindow &w) {
  ASSERT_LE(w.first + w.shown, COUNT) << "a row past the list";
  if (rows == 0)
    return;
  EXPECT_TRUE(fits(w.first, w.first + w.shown, rows));
  EXPECT_EQ(w.above, rows >= 3 && w.first > 0);
  EXPECT_EQ(w.below, rows >= 3 && w.first + w.shown < COUNT);
  EXPECT_TRUE(w.first <= selected && selected < w.first + w.shown);
  size_t nearest = COUNT;
  for (size_t first = 0; first <= selected; first++)
    for (size_t last = selected + 1; last <= COUNT; last++)
      if (fits(first, last, rows))
        nearest = std::min(nearest, distance(first, before));
  EXPECT_EQ(distance(w.first, before), nearest) << "moved further than needed";
}

// From `selected` to `to` one key at a time; the window's first entry carries over.
void move(size_t *selected, size_t *first, size_t to, size_t rows) {
  for (;;) {
    const BoxWindow w = box_window(COUNT, *selected, *first, rows);
    SCOPED_TRACE(testing::Message() << "selected " << *selected << " first " << *first);
    check(*selected, *first, rows, w);
    *first = w.first;
    if (*selected == to)
      return;
    *selected += to > *selected ? 1 : -1;
  }
}

TEST(SelectionBox, WindowInEveryHeightAndResize) {
  for (size_t from = 4; from <= 8; from++)
    for (size_t to = 4; to <= 8; to++)
      for (size_t a = 0; a < COUNT; a++)
        for (size_t b = 0; b < COUNT; b++) {
          SCOPED_TRACE(testing::Message()
                       << from << " rows to entry " << a << ", " << to << " rows to entry " << b);
          size_t selected = 0, first = 0;
          move(&selected, &first, a, from - BOX_TOP);
          move(&selected, &first, b, to - BOX_TOP);
          if (HasFailure())
            return;
        }
}

} // namespace
