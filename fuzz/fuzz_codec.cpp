// Arbitrary bytes decompressed into bounded buffers and round-tripped through each codec: byte 0
// picks the codec (3: any unknown id), bytes 1-2 the capacity, the rest is the source; buffers
// sized exactly, for AddressSanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "digest/codec.h"

// Compression then decompression gives back the bytes, or compression declines (0: stored as it
// is).
static bool round_trip(CodecId codec, int level, const uint8_t *src, size_t len) {
  auto *packed = static_cast<uint8_t *>(malloc(codec_bound(codec, len)));
  auto *back = static_cast<uint8_t *>(malloc(len));
  size_t n = codec_compress(codec, level, src, len, packed, codec_bound(codec, len));
  size_t produced = 0;
  bool ok =
      n == 0 || (n < len && codec_decompress(codec, packed, n, back, len, &produced) == ST_OK &&
                 produced == len && memcmp(back, src, len) == 0);
  free(packed);
  free(back);
  return ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4)
    return 0;
  const size_t cap = data[1] | static_cast<size_t>(data[2]) << 8;
  const size_t len = size - 3;
  auto *src = static_cast<uint8_t *>(malloc(len));
  auto *dst = static_cast<uint8_t *>(malloc(cap + 1));
  memcpy(src, data + 3, len);
  size_t produced = SIZE_MAX;
  StatusCode st = codec_decompress(data[0] % 4, src, len, cap == 0 ? nullptr : dst, cap, &produced);
  if (st == ST_OK ? produced > cap : produced != SIZE_MAX || (st != ST_CORRUPT && st != ST_INVAL))
    abort();
  if (len <= 16384 &&
      !(round_trip(CODEC_ZSTD, 1 + data[1] % 5, src, len) && round_trip(CODEC_LZ4, 0, src, len)))
    abort();
  free(src);
  free(dst);
  return 0;
}
