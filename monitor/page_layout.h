// The rows of the live view's record page, as data: the page is the lines
// below, top to bottom, each drawn on the next free row when it is shown
// for the record at hand.  Blank lines are the empty rows between groups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "progress/segment.h"

enum class PageLine : uint8_t {
  blank,
  header,
  status,
  block,
  bar,
  elapsed,
  eta,
  rate,
  counter1, // Written / Restored
  counter2, // Zero / Zero-skipped
  counter3, // FS-free / Verify fails
  counter4, // Unchanged (not for restore, whose row stays empty)
  raw_done,
  compressed_done,
  queues,
  workers,
  compression,
  bg_duty,
  bg_loads,
  cpu,
  worker_list, // one row per PAGE_CELLS_PER_ROW workers
  path,
  hint,
};

// Which records a line is shown for.
enum class PageShown : uint8_t { all, agent, not_restore, agent_bg, restore_workers };

struct PageEntry {
  PageLine what;
  PageShown when;
};

inline constexpr PageEntry PAGE_LAYOUT[] = {
    {PageLine::header, PageShown::all},
    {PageLine::status, PageShown::all},
    {PageLine::blank, PageShown::all},
    {PageLine::block, PageShown::all},
    {PageLine::bar, PageShown::all},
    {PageLine::blank, PageShown::all},
    {PageLine::elapsed, PageShown::all},
    {PageLine::eta, PageShown::all},
    {PageLine::rate, PageShown::all},
    {PageLine::blank, PageShown::all},
    {PageLine::counter1, PageShown::all},
    {PageLine::counter2, PageShown::all},
    {PageLine::counter3, PageShown::all},
    {PageLine::counter4, PageShown::not_restore},
    {PageLine::blank, PageShown::all},
    {PageLine::raw_done, PageShown::all},
    {PageLine::compressed_done, PageShown::all},
    {PageLine::blank, PageShown::all},
    {PageLine::queues, PageShown::agent},
    {PageLine::workers, PageShown::all},
    {PageLine::compression, PageShown::agent},
    {PageLine::bg_duty, PageShown::agent_bg},
    {PageLine::bg_loads, PageShown::agent_bg},
    {PageLine::cpu, PageShown::all},
    {PageLine::worker_list, PageShown::restore_workers},
    {PageLine::blank, PageShown::all},
    {PageLine::path, PageShown::all},
    {PageLine::blank, PageShown::all},
    {PageLine::hint, PageShown::all},
};

inline constexpr uint32_t PAGE_MAX_CELLS = PROGRESS_MAX_WORKERS;
inline constexpr uint32_t PAGE_CELLS_PER_ROW = 6;

// What of a record chooses its lines.
struct PageKind {
  uint8_t tool;
  bool bg_active;
  uint32_t workers_total;
};

constexpr PageKind page_kind(const ProgressSegment &record) {
  return PageKind{record.tool, record.bg_active != 0, record.workers_total};
}

// Cells of the worker list: workers_total, at most PAGE_MAX_CELLS.
constexpr uint32_t page_worker_cells(const PageKind &kind) {
  return kind.workers_total < PAGE_MAX_CELLS ? kind.workers_total : PAGE_MAX_CELLS;
}

constexpr bool page_shows(PageShown when, const PageKind &kind) {
  switch (when) {
  case PageShown::all:
    return true;
  case PageShown::agent:
    return kind.tool == TOOL_AGENT;
  case PageShown::not_restore:
    return kind.tool != TOOL_RESTORE;
  case PageShown::agent_bg:
    return kind.tool == TOOL_AGENT && kind.bg_active;
  case PageShown::restore_workers:
    return kind.tool == TOOL_RESTORE && kind.workers_total != 0;
  }
  return false;
}

// Rows a shown line takes.
constexpr int page_line_rows(PageLine what, const PageKind &kind) {
  if (what != PageLine::worker_list)
    return 1;
  return static_cast<int>((page_worker_cells(kind) + PAGE_CELLS_PER_ROW - 1) / PAGE_CELLS_PER_ROW);
}

// Row of a line counted from the page's top, or -1 when it is not shown.
constexpr int page_row(PageLine what, const PageKind &kind) {
  int row = 0;
  for (const PageEntry &e : PAGE_LAYOUT) {
    if (!page_shows(e.when, kind))
      continue;
    if (e.what == what)
      return row;
    row += page_line_rows(e.what, kind);
  }
  return -1;
}

// The page as the users know it.
namespace page_layout_check {
inline constexpr PageKind AGENT{TOOL_AGENT, false, 4};
inline constexpr PageKind AGENT_BG{TOOL_AGENT, true, 4};
inline constexpr PageKind RESTORE8{TOOL_RESTORE, false, 8};
inline constexpr PageKind RESTORE0{TOOL_RESTORE, false, 0};
static_assert(page_row(PageLine::bar, AGENT) == 4 && page_row(PageLine::rate, AGENT) == 8);
static_assert(page_row(PageLine::counter1, RESTORE0) == 10 &&
              page_row(PageLine::counter4, AGENT) == 13);
static_assert(page_row(PageLine::raw_done, AGENT) == 15 &&
              page_row(PageLine::compressed_done, AGENT) == 16);
static_assert(page_row(PageLine::queues, AGENT) == 18 && page_row(PageLine::workers, AGENT) == 19);
static_assert(page_row(PageLine::compression, AGENT) == 20 && page_row(PageLine::cpu, AGENT) == 21);
static_assert(page_row(PageLine::path, AGENT) == 23 && page_row(PageLine::hint, AGENT) == 25);
static_assert(page_row(PageLine::bg_duty, AGENT_BG) == 21 &&
              page_row(PageLine::bg_loads, AGENT_BG) == 22);
static_assert(page_row(PageLine::cpu, AGENT_BG) == 23 && page_row(PageLine::path, AGENT_BG) == 25);
static_assert(page_row(PageLine::hint, AGENT_BG) == 27 &&
              page_row(PageLine::worker_list, AGENT) == -1);
static_assert(page_row(PageLine::raw_done, RESTORE8) == 14 &&
              page_row(PageLine::workers, RESTORE8) == 17);
static_assert(page_row(PageLine::cpu, RESTORE8) == 18 &&
              page_row(PageLine::worker_list, RESTORE8) == 19);
static_assert(page_row(PageLine::path, RESTORE8) == 22 && page_row(PageLine::hint, RESTORE8) == 24);
static_assert(page_row(PageLine::counter4, RESTORE8) == -1 &&
              page_row(PageLine::queues, RESTORE8) == -1);
static_assert(page_row(PageLine::path, RESTORE0) == 20 && page_row(PageLine::hint, RESTORE0) == 22);
} // namespace page_layout_check
