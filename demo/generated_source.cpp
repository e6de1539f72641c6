#include "generated_source.h"

#include <cstdio>
#include <cstring>

namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// xorshift64*: fast, and good enough that zstd and lz4 find nothing in it.
uint64_t next_random(uint64_t *state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 0x2545F4914F6CDD1Dull;
}

constexpr const char *WORDS[] = {
    "block",   "backup", "restore", "volume",  "sector",  "snapshot", "the",    "of",
    "and",     "to",     "a",       "in",      "is",      "for",      "data",   "disk",
    "image",   "chunk",  "agent",   "proxmox", "virtual", "machine",  "file",   "system",
    "journal", "inode",  "extent",  "write",   "read",    "queue",    "worker", "level",
    "zstd",    "lz4",    "hash",    "sha256",  "crc32c",  "offset",   "length", "free",
    "used",    "mount",  "device",  "kernel",  "page",    "cache",    "buffer", "thread",
    "mutex",   "signal", "process", "memory",  "network", "storage",  "cpu",    "load",
    "config",  "log",    "error",   "warning", "started", "stopped",  "ok",     "done",
};
constexpr uint64_t WORD_COUNT = sizeof(WORDS) / sizeof(WORDS[0]);
static_assert((WORD_COUNT & (WORD_COUNT - 1)) == 0, "word picks use a mask");

void fill_random(uint64_t seed, uint32_t size, uint8_t *buf) {
  uint64_t state = seed | 1;
  uint32_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t v = next_random(&state);
    memcpy(buf + i, &v, 8);
  }
  if (i < size) {
    uint64_t v = next_random(&state);
    memcpy(buf + i, &v, size - i);
  }
}

// Lines of words with a line number now and then, like a log or a config
// file: zstd packs it to about a third.  No formatting calls, so the
// reader stage fills blocks several times faster than the workers use them.
void fill_text(uint64_t seed, uint32_t size, uint8_t *buf) {
  uint64_t state = seed | 1;
  uint32_t pos = 0;
  uint32_t line = static_cast<uint32_t>(seed >> 48);
  while (pos < size) {
    uint64_t r = next_random(&state);
    char piece[24];
    uint32_t n = 0;
    if ((r & 7) == 0) {
      char digits[12];
      uint32_t d = 0;
      for (uint32_t v = line++; d == 0 || v != 0; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
      piece[n++] = '\n';
      while (d > 0)
        piece[n++] = digits[--d];
      piece[n++] = ':';
      piece[n++] = ' ';
    } else {
      const char *w = WORDS[(r >> 8) & (WORD_COUNT - 1)];
      while (*w != '\0')
        piece[n++] = *w++;
      piece[n++] = ' ';
    }
    if (n > size - pos)
      n = size - pos;
    memcpy(buf + pos, piece, n);
    pos += n;
  }
}

void fill_unit(uint64_t unit, uint8_t *buf) {
  uint64_t seed = splitmix64(unit ^ 0x5A5A5A5A5A5A5A5Aull);
  switch (demo_unit_kind(unit)) {
  case DEMO_BLOCK_ZERO:
    memset(buf, 0, DEMO_UNIT_BYTES);
    break;
  case DEMO_BLOCK_TEXT:
    fill_text(seed, DEMO_UNIT_BYTES, buf);
    break;
  case DEMO_BLOCK_RANDOM:
    fill_random(seed, DEMO_UNIT_BYTES, buf);
    break;
  }
}

// The generated source keeps no state but its path: the size is parsed
// from it again when asked for.
StatusCode gen_open(BlockHandle *h, const char *path) {
  uint64_t bytes = 0;
  if (strncmp(path, DEMO_GENERATED_PREFIX, sizeof DEMO_GENERATED_PREFIX - 1) != 0 ||
      demo_parse_size(path + sizeof DEMO_GENERATED_PREFIX - 1, &bytes) != ST_OK)
    return ST_INVAL;
  h->is_block = 0;
  return ST_OK;
}

StatusCode gen_size(BlockHandle *h, uint64_t *out_size) {
  uint64_t bytes = 0;
  StatusCode st = demo_parse_size(h->path + sizeof DEMO_GENERATED_PREFIX - 1, &bytes);
  if (st != ST_OK)
    return st;
  *out_size = bytes;
  return ST_OK;
}

// Like a file: bytes past the end read as zeros and are not counted.
StatusCode gen_read_range(BlockHandle *h, uint64_t offset, uint64_t length, uint8_t *buf,
                          uint64_t *out_real) {
  uint64_t total = 0;
  StatusCode st = gen_size(h, &total);
  if (st != ST_OK)
    return st;
  uint64_t real = offset >= total ? 0 : total - offset;
  if (real > length)
    real = length;
  demo_fill_range(offset, real, buf);
  memset(buf + real, 0, length - real);
  *out_real = real;
  return ST_OK;
}

StatusCode gen_read_block(BlockHandle *h, uint64_t index, uint32_t block_size, void *buf,
                          int32_t *out_count) {
  uint64_t real = 0;
  StatusCode st =
      gen_read_range(h, index * block_size, block_size, static_cast<uint8_t *>(buf), &real);
  if (st == ST_OK && out_count != nullptr)
    *out_count = static_cast<int32_t>(real);
  return st;
}

StatusCode gen_read_at(BlockHandle *h, uint64_t offset, uint64_t length, void *buf,
                       uint64_t *out_count) {
  uint64_t real = 0;
  StatusCode st = gen_read_range(h, offset, length, static_cast<uint8_t *>(buf), &real);
  if (st == ST_OK && out_count != nullptr)
    *out_count = real;
  return st;
}

StatusCode gen_query_flag(BlockHandle *, int *out_value) {
  *out_value = 1;
  return ST_OK;
}

void gen_close(BlockHandle *h) { h->fd = -1; }

} // namespace

const BlockReaderOps generated_reader_ops = {
    gen_open, gen_read_block, gen_size, gen_query_flag, gen_close, gen_read_at,
};

DemoBlockKind demo_unit_kind(uint64_t unit) {
  uint64_t pick = splitmix64(unit / DEMO_STRETCH_UNITS) % 10;
  if (pick < 2)
    return DEMO_BLOCK_ZERO;
  if (pick < 7)
    return DEMO_BLOCK_TEXT;
  return DEMO_BLOCK_RANDOM;
}

void demo_fill_range(uint64_t offset, uint64_t len, uint8_t *buf) {
  uint8_t unit_buf[DEMO_UNIT_BYTES];
  while (len > 0) {
    uint64_t unit = offset / DEMO_UNIT_BYTES;
    uint32_t skip = static_cast<uint32_t>(offset % DEMO_UNIT_BYTES);
    uint64_t take = DEMO_UNIT_BYTES - skip;
    if (take > len)
      take = len;
    if (take == DEMO_UNIT_BYTES) {
      fill_unit(unit, buf);
    } else {
      fill_unit(unit, unit_buf);
      memcpy(buf, unit_buf + skip, take);
    }
    buf += take;
    offset += take;
    len -= take;
  }
}

unsigned demo_block_mix(uint64_t index, uint32_t block_size, uint64_t total_bytes) {
  uint64_t begin = index * block_size;
  if (begin >= total_bytes || block_size == 0)
    return 0;
  uint64_t end = begin + block_size < total_bytes ? begin + block_size : total_bytes;
  unsigned mix = 0;
  for (uint64_t u = begin / DEMO_UNIT_BYTES; u * DEMO_UNIT_BYTES < end; u++)
    mix |= 1u << demo_unit_kind(u);
  return mix;
}

uint64_t demo_count_zero_blocks(uint64_t blocks, uint32_t block_size, uint64_t total_bytes) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < blocks; i++) {
    unsigned mix = demo_block_mix(i, block_size, total_bytes);
    n += (mix == 0 || mix == 1u << DEMO_BLOCK_ZERO) ? 1 : 0;
  }
  return n;
}

bool demo_block_changed(uint64_t index, int backup_type) {
  uint64_t pick = splitmix64(index ^ 0xC3A5C85C97CB3127ull) % 100;
  if (backup_type == 2)
    return pick < 10;
  if (backup_type == 1)
    return pick < 30;
  return true;
}

StatusCode demo_source_open(BlockHandle *h, const char *source_name) {
  if (h == nullptr || source_name == nullptr)
    return ST_INVAL;
  if (strncmp(source_name, DEMO_GENERATED_PREFIX, sizeof DEMO_GENERATED_PREFIX - 1) != 0)
    return block_reader_open(h, source_name);
  memset(h, 0, sizeof *h);
  h->fd = -1;
  h->ops = &generated_reader_ops;
  snprintf(h->path, sizeof h->path, "%s", source_name);
  StatusCode st = generated_reader_ops.open(h, source_name);
  if (st != ST_OK)
    h->ops = nullptr;
  return st;
}

StatusCode demo_parse_size(const char *text, uint64_t *out_bytes) {
  if (text == nullptr || *text < '0' || *text > '9')
    return ST_INVAL;
  uint64_t value = 0;
  const char *p = text;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (value > (UINT64_MAX - 9) / 10)
      return ST_INVAL;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  unsigned shift = 0;
  switch (*p) {
  case '\0':
    break;
  case 'K':
  case 'k':
    shift = 10;
    break;
  case 'M':
  case 'm':
    shift = 20;
    break;
  case 'G':
  case 'g':
    shift = 30;
    break;
  case 'T':
  case 't':
    shift = 40;
    break;
  default:
    return ST_INVAL;
  }
  if (shift != 0) {
    p++;
    if (strcmp(p, "iB") == 0 || strcmp(p, "B") == 0)
      p += strlen(p);
    if (*p != '\0')
      return ST_INVAL;
    if (value > (UINT64_MAX >> shift))
      return ST_INVAL;
    value <<= shift;
  }
  *out_bytes = value;
  return ST_OK;
}

void demo_generated_name(uint64_t bytes, char *out, unsigned out_size) {
  static constexpr struct {
    unsigned shift;
    const char *unit;
  } UNITS[] = {{40, "TiB"}, {30, "GiB"}, {20, "MiB"}, {10, "KiB"}};
  for (const auto &u : UNITS) {
    uint64_t one = 1ull << u.shift;
    if (bytes >= one && bytes % one == 0) {
      snprintf(out, out_size, "%s%llu%s", DEMO_GENERATED_PREFIX,
               static_cast<unsigned long long>(bytes >> u.shift), u.unit);
      return;
    }
  }
  snprintf(out, out_size, "%s%llu", DEMO_GENERATED_PREFIX, static_cast<unsigned long long>(bytes));
}
