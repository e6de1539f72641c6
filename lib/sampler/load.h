// Background load sampler: turns the change of the kernel's counters since
// the previous call into six percentages, the load other processes put on
// the machine ("foreign") and the load the calling process causes ("self"),
// for CPU, storage and network.  All inputs are /proc files; a file that is
// missing or unreadable contributes 0 and lines that do not parse are
// skipped, so no call fails.  Nothing global is kept: the caller owns the
// BgSampler, and separate samplers may be used from separate threads.
// Nothing is allocated; every file is read through fixed line buffers.
#pragma once

#include <cstdint>

// Zero it before the first call and pass the same record every time.  The
// fields hold the previous reading.
struct BgSampler {
  uint64_t primed;         // 0 until the first call has taken a reading
  uint64_t last_ms;        // monotonic milliseconds of the previous reading
  uint64_t cpu_total;      // machine CPU ticks
  uint64_t cpu_idle;       // machine idle + iowait ticks
  uint64_t own_ticks;      // own user + system ticks
  uint64_t disk_bytes;     // bytes read + written on all block devices
  uint64_t own_disk_bytes; // own bytes read from and written to storage
  uint64_t net_bytes;      // bytes received + sent, all interfaces but "lo"
  uint64_t own_net_bytes;  // own read/write bytes that did not touch storage
};

// Percentages 0..100 of the interval since the previous call.
struct BgLoad {
  uint32_t foreign_cpu;
  uint32_t foreign_io;
  uint32_t foreign_net;
  uint32_t self_cpu;
  uint32_t self_io;
  uint32_t self_net;
};

// Storage traffic of 100 MiB/s and network traffic of 100 Mbit/s are 100 %.
inline constexpr double BG_IO_FULL_BYTES_PER_S = 104857600.0;
inline constexpr double BG_NET_FULL_BYTES_PER_S = 12500000.0;

// Takes a reading of the real /proc files and writes the loads since the
// previous call into out.  The first call on a zeroed sampler only primes
// it and yields all zeros.
void bg_sample(BgSampler *sampler, BgLoad *out);

// Machine CPU ticks from /proc/stat: total of the first eight columns, idle
// plus iowait.  Both 0 when the file cannot be read.
void read_cpu_ticks(uint64_t *out_total, uint64_t *out_idle);

// The process's user + system ticks from /proc/self/stat, or 0.
uint64_t read_own_cpu_ticks();

// Bytes received + sent on every interface but "lo" (/proc/net/dev), or 0.
uint64_t read_net_bytes();

// The pieces of bg_sample, each on a file of the given path (the real one
// is named in brackets), for tests and for tools that read another /proc.

// [/proc/stat]
void bg_read_cpu_ticks_from(const char *path, uint64_t *out_total, uint64_t *out_idle);
// [/proc/self/stat]
uint64_t bg_read_own_cpu_ticks_from(const char *path);
// [/proc/diskstats] (sectors read + sectors written) * 512 over every device line.
uint64_t bg_read_disk_bytes_from(const char *path);
// [/proc/self/io] own storage bytes (read_bytes + write_bytes) and own network
// bytes (rchar + wchar beyond the storage bytes); both 0 without the file.
void bg_read_own_io_from(const char *path, uint64_t *out_disk, uint64_t *out_net);
// [/proc/net/dev]
uint64_t bg_read_net_bytes_from(const char *path);

// Where a reading comes from.
struct BgSources {
  const char *stat;
  const char *self_stat;
  const char *diskstats;
  const char *self_io;
  const char *net_dev;
};

// The reading of all counters at now_ms, in the shape of a primed sampler.
void bg_take_reading(const BgSources *sources, uint64_t now_ms, BgSampler *out_reading);

// The loads between two readings (pure).  An interval of no milliseconds
// counts as 0.001 s; counters that went backwards count as no activity.
void bg_load_between(const BgSampler *prev, const BgSampler *cur, BgLoad *out);

// bg_sample on the given sources and clock value.
void bg_sample_from(BgSampler *sampler, BgLoad *out, const BgSources *sources, uint64_t now_ms);
