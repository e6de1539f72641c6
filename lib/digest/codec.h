// Compression codecs: one stateless front end over zstd and the lz4 block
// format, plus the identity codec, selected by a numeric id.  No state lives
// between calls and nothing is allocated here; any thread may call any
// function.
#pragma once

#include <cstddef>

#include "runtime/status.h"

// Codec ids; the progress segment's `compression` field uses the same
// numbers.  Any other value is an unknown codec.
using CodecId = int;
inline constexpr CodecId CODEC_NONE = 0;
inline constexpr CodecId CODEC_ZSTD = 1;
inline constexpr CodecId CODEC_LZ4 = 2;

// Worst-case compressed size of `size` input bytes: a destination of this
// capacity never makes compression fail for lack of room.  The size itself
// for CODEC_NONE, unknown codecs, and inputs too large for the codec
// (which codec_compress then declines anyway).
size_t codec_bound(CodecId codec, size_t size);

// Compresses src_len bytes of src into dst (capacity dst_cap) at `level`
// (used by zstd only).  Returns the compressed length, or 0 when the data
// is to be stored as it is: any failure, a result not strictly smaller than
// the input, an empty source, CODEC_NONE, an unknown codec, an lz4 input
// too large for the lz4 library.
size_t codec_compress(CodecId codec, int level, const void *src, size_t src_len, void *dst,
                      size_t dst_cap);

// Decompresses src_len bytes of src into dst (capacity dst_cap).  On
// ST_OK the produced length goes to *out_len when out_len is not null;
// on failure *out_len is untouched.  ST_INVAL for an unknown codec, a
// CODEC_NONE destination smaller than the source or an lz4 source too large
// for the lz4 library; ST_CORRUPT for anything the library rejects,
// including a destination too small for the data.  The produced length is
// not checked against any expected size.
StatusCode codec_decompress(CodecId codec, const void *src, size_t src_len, void *dst,
                            size_t dst_cap, size_t *out_len);
