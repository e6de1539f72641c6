// The HTTP side of --listen: prometheus-cpp's exposer (civetweb inside),
// set up so that idle connections cannot hold up a scrape for long, and a
// short page at "/" that links to /metrics.
//
// civetweb gives each connection a worker thread of its own from the moment
// it is accepted until the request is answered or the request timeout ends
// it.  With more workers than a handful of idle connections, a scrape finds
// a free one at once; under a flood, every worker is freed within the
// timeout, and a scrape waits behind at most HTTP_QUEUE connections
// (civetweb's queue plus the kernel's backlog; connections beyond are
// refused by the kernel), that is at most
// (HTTP_QUEUE / HTTP_THREADS + 1) * HTTP_REQUEST_TIMEOUT_MS.
#pragma once

#include <cstddef>
#include <memory>

#include <prometheus/exposer.h>

#include "runtime/status.h"

inline constexpr int HTTP_THREADS = 10;
inline constexpr int HTTP_REQUEST_TIMEOUT_MS = 1000;
inline constexpr int HTTP_CONNECTION_QUEUE = 20;
inline constexpr int HTTP_LISTEN_BACKLOG = 20;
inline constexpr int HTTP_QUEUE = HTTP_CONNECTION_QUEUE + HTTP_LISTEN_BACKLOG;

// Binds listen (civetweb's "ADDR:PORT" or "PORT") and starts the workers; on
// failure writes the exposer's reason into why.
StatusCode http_front_start(const char *listen, std::unique_ptr<prometheus::Exposer> *out,
                            char *why, size_t why_size);
