#include "digest/sha256.h"

#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>
#include <unistd.h>

namespace {

// The algorithm is fetched once per process and kept: fetching resolves a
// provider by name, far too costly to repeat per digest.  A function-local
// static is a once-initialisation: when several threads hash for the first
// time at once, one fetches and the others wait for its result; afterwards
// each call costs one load of the guard.
const EVP_MD *sha256_md() {
  static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr)
    sha256_fatal();
  return md;
}

} // namespace

void sha256_fatal() {
  static constexpr char kText[] = "fatal: OpenSSL SHA-256 failed\n";
  ssize_t n = write(STDERR_FILENO, kText, sizeof kText - 1);
  (void)n; // nothing more can be done about a failing stderr
  abort();
}

void sha256_init(Sha256Context *c) {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (ctx == nullptr)
    sha256_fatal();
  if (EVP_DigestInit_ex(ctx, sha256_md(), nullptr) != 1)
    sha256_fatal();
  c->ctx = ctx;
}

void sha256_update(Sha256Context *c, const void *data, size_t len) {
  if (len == 0)
    return;
  // A context that was never started (or already finished) would crash
  // inside the library; end with the service's own message instead.
  if (c->ctx == nullptr || EVP_DigestUpdate(c->ctx, data, len) != 1)
    sha256_fatal();
}

void sha256_final(Sha256Context *c, uint8_t out[SHA256_DIGEST_BYTES]) {
  if (c->ctx == nullptr || EVP_DigestFinal_ex(c->ctx, out, nullptr) != 1)
    sha256_fatal();
  EVP_MD_CTX_free(c->ctx);
  c->ctx = nullptr;
}

void sha256_digest(const void *data, size_t len, uint8_t out[SHA256_DIGEST_BYTES]) {
  if (EVP_Digest(data, len, out, nullptr, sha256_md(), nullptr) != 1)
    sha256_fatal();
}

void sha256_hex(const uint8_t digest[SHA256_DIGEST_BYTES], char out[SHA256_HEX_BYTES]) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < SHA256_DIGEST_BYTES; i++) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  out[2 * SHA256_DIGEST_BYTES] = '\0';
}

int digest_equal(const void *a, const void *b, size_t len) {
  if (len == 0)
    return 1;
  return memcmp(a, b, len) == 0 ? 1 : 0;
}
