// The demo's generated source: a synthetic disk whose every block is a pure
// function of its index and the block size, so a run needs no test data and
// anyone can compute what a run must find.  It mixes zero blocks, text-like
// compressible blocks and random incompressible blocks, in stretches of
// DEMO_RUN_BLOCKS blocks of one kind, as real disks have them.
//
// It is reached through a BlockReaderOps table of its own, so a generated
// source and a file or device go through the same block_reader_* calls.
#pragma once

#include <cstdint>

#include "platform/block.h"
#include "runtime/status.h"

enum DemoBlockKind : uint8_t {
  DEMO_BLOCK_ZERO = 0,   // all zero bytes
  DEMO_BLOCK_TEXT = 1,   // words and numbers: compresses to well under half
  DEMO_BLOCK_RANDOM = 2, // random bytes: does not compress
};

inline constexpr uint64_t DEMO_RUN_BLOCKS = 8;
inline constexpr char DEMO_GENERATED_PREFIX[] = "generated:";

// The kind of block index: about 20 % zero, 50 % text, 30 % random.
DemoBlockKind demo_block_kind(uint64_t index);

// Fills block_size bytes of buf with block index.
void demo_fill_block(uint64_t index, uint32_t block_size, uint8_t *buf);

// Number of zero blocks among blocks [0, count).
uint64_t demo_count_kind(DemoBlockKind kind, uint64_t count);

// Reader table of the generated source.  Its path is "generated:<size>",
// the size in bytes with an optional K, M, G or T suffix (powers of 1024,
// "KiB" style accepted too); the source is that many bytes long.
extern const BlockReaderOps generated_reader_ops;

// Opens a reader on spec: a "generated:<size>" text through
// generated_reader_ops, anything else as a path through block_reader_open.
StatusCode demo_source_open(BlockHandle *h, const char *spec);

// Parses a size such as "4096", "64K", "2GiB"; ST_INVAL for anything else
// (no digits, an unknown suffix, overflow).
StatusCode demo_parse_size(const char *text, uint64_t *out_bytes);

// Writes the generated-source text for a size: "generated:2GiB" when the
// size is a whole number of GiB (likewise MiB, KiB), else in bytes.
void demo_generated_spec(uint64_t bytes, char *out, unsigned out_size);
