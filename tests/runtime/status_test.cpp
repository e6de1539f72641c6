#include "runtime/status.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>

TEST(StatusName, KnownCodesHaveTheirFixedTexts) {
  EXPECT_STREQ(status_name(ST_OK), "ok");
  EXPECT_STREQ(status_name(ST_IO), "I/O error");
  EXPECT_STREQ(status_name(ST_NOMEM), "out of memory");
  EXPECT_STREQ(status_name(ST_INVAL), "invalid argument or request");
  EXPECT_STREQ(status_name(ST_NOTFOUND), "not found");
  EXPECT_STREQ(status_name(ST_EXISTS), "already exists");
  EXPECT_STREQ(status_name(ST_UNSUPPORTED), "not supported");
  EXPECT_STREQ(status_name(ST_CORRUPT), "corrupt or inconsistent data");
  EXPECT_STREQ(status_name(ST_PROTOCOL), "protocol error");
  EXPECT_STREQ(status_name(ST_AGAIN), "temporarily unavailable");
  EXPECT_STREQ(status_name(ST_DECRYPT), "decryption failed (wrong key or corrupted data)");
}

TEST(StatusName, AnyOtherValueIsUnknown) {
  for (StatusCode c : {1, -11, 100, INT_MIN, INT_MAX})
    EXPECT_STREQ(status_name(c), "unknown error") << c;
}

TEST(StatusFromErrno, TranslatesTheWholeTable) {
  for (int err = -5; err < 200; err++) {
    StatusCode expected = ST_IO;
    switch (err) {
    case ENOENT: expected = ST_NOTFOUND; break;
    case EAGAIN: expected = ST_AGAIN; break;
    case ENOMEM: expected = ST_NOMEM; break;
    case EEXIST: expected = ST_EXISTS; break;
    case EINVAL: expected = ST_INVAL; break;
    default: break;
    }
    EXPECT_EQ(status_from_errno(err), expected) << "errno " << err;
  }
}

TEST(StatusFromErrno, PermissionAndSpaceErrorsArePlainIo) {
  EXPECT_EQ(status_from_errno(EPERM), ST_IO);
  EXPECT_EQ(status_from_errno(EACCES), ST_IO);
  EXPECT_EQ(status_from_errno(ENOSPC), ST_IO);
  EXPECT_EQ(status_from_errno(0), ST_IO);
}

TEST(ErrnoText, CopiesTheCurrentErrnoTextBounded) {
  char buf[128];
  errno = ENOENT;
  EXPECT_STREQ(errno_text(buf, sizeof buf), strerror(ENOENT));
  EXPECT_EQ(errno, ENOENT);

  char small[8];
  memset(small, 'x', sizeof small);
  errno = ENOENT;
  const char *text = errno_text(small, sizeof small);
  EXPECT_EQ(text, small);
  EXPECT_EQ(strlen(small), 7u);
  EXPECT_EQ(strncmp(small, strerror(ENOENT), 7), 0);
}

TEST(ErrnoText, NoBufferOrNoRoomWritesNothing) {
  char buf[4] = {'a', 'b', 'c', 0};
  EXPECT_STREQ(errno_text(buf, 0), "");
  EXPECT_STREQ(buf, "abc");
  EXPECT_STREQ(errno_text(nullptr, 10), "");
}
