// Status codes: the result of every fallible operation of the common library.
// 0 is success; failures are small negative numbers with fixed texts.
#pragma once

#include <cstddef>
#include <cstdint>

using StatusCode = int32_t;

inline constexpr StatusCode ST_OK = 0;
inline constexpr StatusCode ST_IO = -1;
inline constexpr StatusCode ST_NOMEM = -2;
inline constexpr StatusCode ST_INVAL = -3;
inline constexpr StatusCode ST_NOTFOUND = -4;
inline constexpr StatusCode ST_EXISTS = -5;
inline constexpr StatusCode ST_UNSUPPORTED = -6;
inline constexpr StatusCode ST_CORRUPT = -7;
inline constexpr StatusCode ST_PROTOCOL = -8;
inline constexpr StatusCode ST_AGAIN = -9;
inline constexpr StatusCode ST_DECRYPT = -10;

// Constant, program-lifetime text of a code; "unknown error" for any value
// that is not one of the eleven codes.
const char *status_name(StatusCode code);

// The code for an errno value taken right after a failing system call.
// Never ST_OK: numbers without a code of their own give ST_IO.
StatusCode status_from_errno(int err);

// Copies the C library's text for the current errno into buf (always
// terminated, cut at size - 1) and returns buf; with no buffer or no room
// it writes nothing and returns "".
const char *errno_text(char *buf, size_t size);
