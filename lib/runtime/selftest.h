// "--version" and "--selftest": the two options every tool answers before
// it does anything else.  The self-test checks the facilities the tools'
// data integrity rests on (SHA-256, CRC32C, the zstd and lz4 codecs)
// against known results.  No state survives a call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/codec.h"

// Size of the self-test pattern and of each codec round trip.
inline constexpr size_t SELFTEST_PATTERN_BYTES = 262144;

// Handles "--version" (wins when both are given) and "--selftest", exact
// arguments only.  Returns -1 when neither is given (the caller goes on),
// otherwise the exit status to end with: 0 for a printed version or a
// passed self-test, 1 for a failed one.  `name` heads the output lines.
int version_selftest(int argc, char **argv, const char *name);

// Runs every check in order; returns 0 when all pass, 1 at the first
// failure, whose text goes into errbuf (when present and size > 0).
int selftest_run(char *errbuf, size_t size);

// One round trip of the SELFTEST_PATTERN_BYTES bytes at `data` through
// `codec`, compressing at level 3.  Returns 0 on a pass; otherwise 1 with
// failure_text (or "out of memory") written into errbuf as above.
int selftest_codec(CodecId codec, const char *failure_text, const uint8_t *data, char *errbuf,
                   size_t size);

// Fills buf with the self-test pattern: byte i is ((i >> 5) ^ (7 * i)) mod
// 256, which repeats every 8 KiB and compresses well but not trivially.
void selftest_pattern(uint8_t *buf, size_t len);
