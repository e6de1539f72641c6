#include "runtime/status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Linux error numbers 2 .. 22, indexed by errno - 2.
constexpr StatusCode kErrnoTable[21] = {
    ST_NOTFOUND, // ENOENT
    ST_IO,       // ESRCH
    ST_IO,       // EINTR
    ST_IO,       // EIO
    ST_IO,       // ENXIO
    ST_IO,       // E2BIG
    ST_IO,       // ENOEXEC
    ST_IO,       // EBADF
    ST_IO,       // ECHILD
    ST_AGAIN,    // EAGAIN
    ST_NOMEM,    // ENOMEM
    ST_IO,       // EACCES
    ST_IO,       // EFAULT
    ST_IO,       // ENOTBLK
    ST_IO,       // EBUSY
    ST_EXISTS,   // EEXIST
    ST_IO,       // EXDEV
    ST_IO,       // ENODEV
    ST_IO,       // ENOTDIR
    ST_IO,       // EISDIR
    ST_INVAL,    // EINVAL
};
static_assert(ENOENT == 2 && EAGAIN == 11 && ENOMEM == 12 && EEXIST == 17 && EINVAL == 22,
              "the errno table assumes Linux error numbers");

} // namespace

const char *status_name(StatusCode code) {
  switch (code) {
  case ST_OK:
    return "ok";
  case ST_IO:
    return "I/O error";
  case ST_NOMEM:
    return "out of memory";
  case ST_INVAL:
    return "invalid argument or request";
  case ST_NOTFOUND:
    return "not found";
  case ST_EXISTS:
    return "already exists";
  case ST_UNSUPPORTED:
    return "not supported";
  case ST_CORRUPT:
    return "corrupt or inconsistent data";
  case ST_PROTOCOL:
    return "protocol error";
  case ST_AGAIN:
    return "temporarily unavailable";
  case ST_DECRYPT:
    return "decryption failed (wrong key or corrupted data)";
  default:
    return "unknown error";
  }
}

StatusCode status_from_errno(int err) {
  if (err < 2 || err > 22)
    return ST_IO;
  return kErrnoTable[err - 2];
}

const char *errno_text(char *buf, size_t size) {
  if (buf == nullptr || size == 0)
    return "";
  int err = errno;
  // strerror_r comes in two flavours; strerror_l would need a locale.  The
  // GNU one may return a static string instead of filling buf.
  char tmp[256];
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char *text = strerror_r(err, tmp, sizeof tmp);
#else
  const char *text = strerror_r(err, tmp, sizeof tmp) == 0 ? tmp : "unknown error";
#endif
  snprintf(buf, size, "%s", text);
  errno = err;
  return buf;
}
