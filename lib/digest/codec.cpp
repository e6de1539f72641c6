#include "digest/codec.h"

#include <climits>
#include <cstring>
#include <lz4.h>
#include <zstd.h>

namespace {

// The lz4 library takes every size as an int.  A destination larger than
// INT_MAX is never a problem (lz4 never writes that far), so its capacity
// is clamped; a source that does not fit is refused before any call, never
// converted into a negative or truncated int.
int lz4_capacity(size_t cap) {
  return cap > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(cap);
}

} // namespace

size_t codec_bound(CodecId codec, size_t size) {
  switch (codec) {
  case CODEC_ZSTD: {
    size_t b = ZSTD_compressBound(size);
    return ZSTD_isError(b) ? size : b;
  }
  case CODEC_LZ4:
    if (size > static_cast<size_t>(LZ4_MAX_INPUT_SIZE))
      return size;
    return static_cast<size_t>(LZ4_compressBound(static_cast<int>(size)));
  default:
    return size;
  }
}

size_t codec_compress(CodecId codec, int level, const void *src, size_t src_len, void *dst,
                      size_t dst_cap) {
  if (src_len == 0 || src == nullptr || dst == nullptr)
    return 0;
  switch (codec) {
  case CODEC_ZSTD: {
    size_t n = ZSTD_compress(dst, dst_cap, src, src_len, level);
    if (ZSTD_isError(n) || n >= src_len)
      return 0;
    return n;
  }
  case CODEC_LZ4: {
    if (src_len > static_cast<size_t>(LZ4_MAX_INPUT_SIZE))
      return 0;
    int n = LZ4_compress_default(static_cast<const char *>(src), static_cast<char *>(dst),
                                 static_cast<int>(src_len), lz4_capacity(dst_cap));
    if (n <= 0 || static_cast<size_t>(n) >= src_len)
      return 0;
    return static_cast<size_t>(n);
  }
  default:
    return 0;
  }
}

StatusCode codec_decompress(CodecId codec, const void *src, size_t src_len, void *dst,
                            size_t dst_cap, size_t *out_len) {
  if ((src == nullptr && src_len > 0) || (dst == nullptr && dst_cap > 0))
    return ST_INVAL;
  size_t produced = 0;
  switch (codec) {
  case CODEC_NONE:
    if (dst_cap < src_len)
      return ST_INVAL;
    // memmove: a caller may "decompress" a stored block in place.
    if (src_len > 0)
      memmove(dst, src, src_len);
    produced = src_len;
    break;
  case CODEC_ZSTD:
    produced = ZSTD_decompress(dst, dst_cap, src, src_len);
    if (ZSTD_isError(produced))
      return ST_CORRUPT;
    break;
  case CODEC_LZ4: {
    if (src_len > static_cast<size_t>(INT_MAX))
      return ST_INVAL;
    int n = LZ4_decompress_safe(static_cast<const char *>(src), static_cast<char *>(dst),
                                static_cast<int>(src_len), lz4_capacity(dst_cap));
    if (n < 0)
      return ST_CORRUPT;
    produced = static_cast<size_t>(n);
    break;
  }
  default:
    return ST_INVAL;
  }
  if (out_len != nullptr)
    *out_len = produced;
  return ST_OK;
}
