// The sequence-counter protocol of the progress segment, shared by the
// reader and the writer (internal to lib/progress and its tests).
//
// Contract:
//  - One writer per segment, the owning process, with its calls serialised.
//    A write is a bracket: seq s (even) -> s+1, fence(release), field
//    stores, then seq s+2 stored with release.
//  - Readers never write.  An attempt loads seq with acquire (odd: fail),
//    copies the record, fence(acquire), loads seq again; equal values mean
//    the copy is consistent.  Nothing read from a copy may be used before
//    that check has passed.
//  - Both sides touch the live record only through relaxed atomic accesses
//    of its 151 naturally aligned 8-byte words, so a racing copy is merely
//    stale, never undefined.  On x86-64 all of this compiles to plain moves:
//    no locked instruction and no fence instruction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "progress/segment.h"
#include "runtime/status.h"

inline constexpr size_t PROGRESS_WORDS = PROGRESS_SEGMENT_SIZE / 8;
inline constexpr int PROGRESS_SNAPSHOT_ATTEMPTS = 100;
inline constexpr size_t PROGRESS_SEQ_WORD = offsetof(ProgressSegment, seq) / 8;

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::required_alignment <= alignof(ProgressSegment));
static_assert(offsetof(ProgressSegment, seq) % 8 == 0);

// Word i of a live record.  The reader's mapping is read-only; atomic_ref
// needs a non-const object but only loads are ever made through it there.
inline std::atomic_ref<uint64_t> seqlock_word(const ProgressSegment *live, size_t i) {
  auto *words = reinterpret_cast<uint64_t *>(const_cast<ProgressSegment *>(live));
  return std::atomic_ref<uint64_t>(words[i]);
}

// Copies words [first, last) of the live record into the same words of out.
inline void seqlock_load_words(const ProgressSegment *live, ProgressSegment *out, size_t first,
                               size_t last) {
  auto *dst = reinterpret_cast<unsigned char *>(out);
  // Unrolled: a loop branch per word would cost as much as the copy.
#pragma GCC unroll 8
  for (size_t i = first; i < last; i++) {
    uint64_t w = seqlock_word(live, i).load(std::memory_order_relaxed);
    std::memcpy(dst + i * 8, &w, 8);
  }
}

// Stores words [first, last) of next into the live record (writer only).
inline void seqlock_store_words(ProgressSegment *live, const ProgressSegment &next, size_t first,
                                size_t last) {
  const auto *src = reinterpret_cast<const unsigned char *>(&next);
  for (size_t i = first; i < last; i++) {
    uint64_t w;
    std::memcpy(&w, src + i * 8, 8);
    seqlock_word(live, i).store(w, std::memory_order_relaxed);
  }
}

// Stores the words covering bytes [begin, end) of next (writer only).
inline void seqlock_store_bytes(ProgressSegment *live, const ProgressSegment &next, size_t begin,
                                size_t end) {
  seqlock_store_words(live, next, begin / 8, (end + 7) / 8);
}

// Opens a write bracket and returns the even value it started from.
inline uint64_t seqlock_write_begin(ProgressSegment *live) {
  auto seq = seqlock_word(live, PROGRESS_SEQ_WORD);
  uint64_t s = seq.load(std::memory_order_relaxed);
  seq.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  return s;
}

// Closes the bracket opened at s.
inline void seqlock_write_end(ProgressSegment *live, uint64_t s) {
  seqlock_word(live, PROGRESS_SEQ_WORD).store(s + 2, std::memory_order_release);
}

// progress_snapshot, also telling how many attempts it used (1..100) in
// *attempts whatever the result.
StatusCode progress_snapshot_counted(const ProgressSegment *segment, ProgressSegment *out,
                                     int *attempts);
