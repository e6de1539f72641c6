// Codec decompression of arbitrary bytes into bounded buffers, and the
// round trip of the same bytes through each codec.
//
// Input: byte 0 picks the codec (values beyond the known ids stay unknown),
// bytes 1-2 the destination capacity (0..65535), the rest is the source.
// The destination is a heap block of exactly that capacity, so a write
// past it is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "digest/codec.h"

namespace {

constexpr size_t HEADER = 3;

void check(bool ok) {
  if (!ok)
    abort();
}

void decompress_bounded(CodecId codec, const uint8_t *src, size_t src_len, size_t cap) {
  auto *dst = static_cast<uint8_t *>(malloc(cap == 0 ? 1 : cap));
  size_t produced = SIZE_MAX;
  StatusCode st = codec_decompress(codec, src, src_len, cap == 0 ? nullptr : dst, cap, &produced);
  if (st == ST_OK) {
    check(produced <= cap);
    // Reading what was produced must stay inside the block.
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < produced; i++)
      sink = sink ^ dst[i];
  } else {
    check(produced == SIZE_MAX); // untouched on failure
    check(st == ST_CORRUPT || st == ST_INVAL);
  }
  free(dst);
}

// Compressing and decompressing again gives back the bytes, or compression
// declines (0) and the data would be stored as it is.
void round_trip(CodecId codec, int level, const uint8_t *src, size_t src_len) {
  size_t bound = codec_bound(codec, src_len);
  auto *packed = static_cast<uint8_t *>(malloc(bound + 1));
  size_t n = codec_compress(codec, level, src, src_len, packed, bound);
  if (n != 0) {
    check(n < src_len);
    auto *back = static_cast<uint8_t *>(malloc(src_len));
    size_t produced = 0;
    check(codec_decompress(codec, packed, n, back, src_len, &produced) == ST_OK);
    check(produced == src_len && memcmp(back, src, src_len) == 0);
    free(back);
  }
  free(packed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < HEADER)
    return 0;
  const CodecId codec = data[0] % 4; // 3 stands for every unknown id
  const size_t cap = static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8;
  const uint8_t *src = data + HEADER;
  const size_t src_len = size - HEADER;

  // The source in a block of its own size, so reads past it are caught too.
  auto *copy = static_cast<uint8_t *>(malloc(src_len == 0 ? 1 : src_len));
  if (src_len != 0)
    memcpy(copy, src, src_len);
  decompress_bounded(codec, src_len == 0 ? nullptr : copy, src_len, cap);
  if (src_len != 0 && src_len <= 16384) {
    round_trip(CODEC_ZSTD, 1 + data[1] % 5, copy, src_len);
    round_trip(CODEC_LZ4, 0, copy, src_len);
  }
  free(copy);
  return 0;
}
