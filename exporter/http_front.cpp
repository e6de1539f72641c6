#include "exporter/http_front.h"

#include <CivetServer.h>
#include <civetweb.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr char ROOT_PAGE[] = "<!DOCTYPE html>\n"
                             "<html><head><title>zpr_exporter</title></head>\n"
                             "<body><h1>zpr_exporter</h1>\n"
                             "<p>The zpr backup suite's progress for Prometheus: "
                             "<a href=\"/metrics\">Metrics</a></p>\n"
                             "</body></html>\n";

// civetweb asks this first for every request: "/" is answered here, all
// else goes on to the exposer's handlers (and civetweb's 404).
int serve_root(mg_connection *conn) {
  const mg_request_info *request = mg_get_request_info(conn);
  if (request == nullptr || request->local_uri == nullptr || strcmp(request->local_uri, "/") != 0)
    return 0;
  const bool head = strcmp(request->request_method, "HEAD") == 0;
  if (!head && strcmp(request->request_method, "GET") != 0)
    return 0;
  mg_send_http_ok(conn, "text/html; charset=utf-8", sizeof ROOT_PAGE - 1);
  if (!head)
    mg_write(conn, ROOT_PAGE, sizeof ROOT_PAGE - 1);
  return 200;
}

CivetCallbacks root_callbacks() {
  CivetCallbacks callbacks;
  callbacks.begin_request = serve_root;
  return callbacks;
}

} // namespace

StatusCode http_front_start(const char *listen, std::unique_ptr<prometheus::Exposer> *out,
                            char *why, size_t why_size) {
  static const CivetCallbacks callbacks = root_callbacks();
  const std::vector<std::string> options{
      "listening_ports",    listen,
      "num_threads",        std::to_string(HTTP_THREADS),
      "request_timeout_ms", std::to_string(HTTP_REQUEST_TIMEOUT_MS),
      "connection_queue",   std::to_string(HTTP_CONNECTION_QUEUE),
      "listen_backlog",     std::to_string(HTTP_LISTEN_BACKLOG),
  };
  // prometheus-cpp reports a failed bind by throwing; this is the one place.
  try {
    *out = std::make_unique<prometheus::Exposer>(options, &callbacks);
  } catch (const std::exception &e) {
    snprintf(why, why_size, "%s", e.what());
    return ST_IO;
  }
  return ST_OK;
}
