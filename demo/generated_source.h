// The demo's generated source: a synthetic disk whose every byte is a pure
// function of its offset, so a run needs no test data and anyone can
// compute what a run must find.  The disk is made of 4 KiB units in
// stretches of DEMO_STRETCH_UNITS units (512 KiB) of one kind: zero units,
// text-like compressible units and random incompressible units, as real
// disks have them.  Blocks of any size are views of this byte stream.
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

inline constexpr uint32_t DEMO_UNIT_BYTES = 4096;
inline constexpr uint64_t DEMO_STRETCH_UNITS = 128;
inline constexpr char DEMO_GENERATED_PREFIX[] = "generated:";

// The kind of unit u: about 20 % zero, 50 % text, 30 % random.
DemoBlockKind demo_unit_kind(uint64_t unit);

// Fills len bytes of buf with the stream's bytes from offset on.
void demo_fill_range(uint64_t offset, uint64_t len, uint8_t *buf);

// Which kinds block index of a source of total_bytes contains: bit k set
// for DemoBlockKind k.  0 for a block wholly past the end.  A block is a
// zero block when the result is 0 or exactly 1 << DEMO_BLOCK_ZERO.
unsigned demo_block_mix(uint64_t index, uint32_t block_size, uint64_t total_bytes);

// Number of zero blocks among blocks [0, blocks) of a source of
// total_bytes.
uint64_t demo_count_zero_blocks(uint64_t blocks, uint32_t block_size, uint64_t total_bytes);

// Whether block index changed since the previous backup of the disk, as an
// incremental (BACKUP_INC, about 10 % changed) or differential (BACKUP_DIFF,
// about 30 %) backup sees it; a full backup (BACKUP_FULL or anything else)
// takes every block.
bool demo_block_changed(uint64_t index, int backup_type);

// Reader table of the generated source.  Its path is "generated:<size>",
// the size in bytes with an optional K, M, G or T suffix (powers of 1024,
// "KiB" style accepted too); the source is that many bytes long.
extern const BlockReaderOps generated_reader_ops;

// Opens a reader on source_name: a "generated:<size>" text through
// generated_reader_ops, anything else as a path through block_reader_open.
StatusCode demo_source_open(BlockHandle *h, const char *source_name);

// Parses a size such as "4096", "64K", "2GiB"; ST_INVAL for anything else
// (no digits, an unknown suffix, overflow).
StatusCode demo_parse_size(const char *text, uint64_t *out_bytes);

// Writes the generated-source text for a size: "generated:2GiB" when the
// size is a whole number of GiB (likewise MiB, KiB), else in bytes.
void demo_generated_name(uint64_t bytes, char *out, unsigned out_size);
