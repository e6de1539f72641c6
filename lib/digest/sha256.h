// SHA-256 through the crypto library's EVP digest interface.  Any failure
// of the crypto library is fatal: sha256_fatal prints one fixed line and
// aborts, so no function here returns an error.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_md_ctx_st;

inline constexpr size_t SHA256_DIGEST_BYTES = 32;
inline constexpr size_t SHA256_HEX_BYTES = 65; // 64 characters and NUL

// One incremental digest.  Owned by the caller; the handle is set by
// sha256_init and released (and reset to null) by sha256_final.  A context
// abandoned while active keeps its library context allocated.
struct Sha256Context {
  evp_md_ctx_st *ctx;
};

// Starts a digest in c (whatever c held before is overwritten).
void sha256_init(Sha256Context *c);

// Feeds len bytes; an empty piece costs no library call.  Updating or
// finishing a context that is not active (null handle) is fatal.
void sha256_update(Sha256Context *c, const void *data, size_t len);

// Writes the 32-byte digest to out, frees the library context and sets
// c->ctx to null; c may then be started again.
void sha256_final(Sha256Context *c, uint8_t out[SHA256_DIGEST_BYTES]);

// One-shot digest of len bytes (len 0: the digest of the empty message).
void sha256_digest(const void *data, size_t len, uint8_t out[SHA256_DIGEST_BYTES]);

// 64 lowercase hex characters of the digest, then NUL at out[64].
void sha256_hex(const uint8_t digest[SHA256_DIGEST_BYTES], char out[SHA256_HEX_BYTES]);

// 1 when the len bytes at a and b are equal (always for len 0), else 0.
// Not constant-time.
int digest_equal(const void *a, const void *b, size_t len);

// Writes "fatal: OpenSSL SHA-256 failed\n" to standard error and aborts.
[[noreturn]] void sha256_fatal();
