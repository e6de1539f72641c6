// zpr_exporter: the suite's progress records for Prometheus.  Serves
// /metrics over HTTP (prometheus-cpp's exposer), keeps a textfile for
// node_exporter's textfile collector, or prints one collection.  Like the
// monitor it only reads segments.
#include <malloc.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <prometheus/exposer.h>

#include "exporter/atomic_file.h"
#include "exporter/exporter_options.h"
#include "exporter/exposition.h"
#include "exporter/json_output.h"
#include "exporter/service.h"
#include "runtime/log.h"
#include "runtime/selftest.h"

namespace {

// Blocked in every thread (the mask is inherited), taken by the main
// thread with sigtimedwait: a clean stop that saves the last runs.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Waits up to seconds (0: for ever) for a stop signal; true when one came.
bool wait_for_stop(const sigset_t &set, uint32_t seconds) {
  if (seconds == 0) {
    while (sigwaitinfo(&set, nullptr) < 0) {
    }
    return true;
  }
  timespec timeout{static_cast<time_t>(seconds), 0};
  return sigtimedwait(&set, nullptr, &timeout) > 0;
}

// True when everything written to standard output so far reached it;
// otherwise says so in one "error: " line.
bool output_written() {
  if (fflush(stdout) == 0 && ferror(stdout) == 0)
    return true;
  fprintf(stderr, "error: cannot write to standard output: %s\n",
          strerror(errno != 0 ? errno : EIO));
  return false;
}

// The records' owners to trust, and whether to follow /dev/shm between
// collections (a service does; --once collects once).
void configure(Service *s, const ExporterOptions &o, bool watch) {
  s->collector.trusted.uids.assign(o.trusted_users, o.trusted_users + o.trusted_user_count);
  s->collector.watch = watch;
}

int run_once(const ExporterOptions &o) {
  Service s;
  s.read_only = true;
  configure(&s, o, false);
  service_start(&s, o.state_file, false);
  ModelPtr model = service_model(&s);
  std::string text = o.format == FORMAT_JSON ? json_document(*model) : exposition_text(*model);
  service_stop(&s);
  fwrite(text.data(), 1, text.size(), stdout);
  return output_written() ? 0 : 1;
}

int run_textfile(const ExporterOptions &o, const sigset_t &stop) {
  Service s;
  configure(&s, o, true);
  service_start(&s, o.state_file, true);
  bool failed = false;
  do {
    StatusCode st = atomic_file_write(o.textfile, exposition_text(*service_model(&s)), false);
    if (st != ST_OK && !failed)
      log_msg(LVL_WARN, "cannot write %s: %s (retried every interval)", o.textfile,
              status_name(st));
    failed = st != ST_OK;
  } while (!wait_for_stop(stop, o.interval_s));
  service_stop(&s);
  return 0;
}

int run_listen(const ExporterOptions &o, const sigset_t &stop) {
  Service s;
  configure(&s, o, true);
  service_start(&s, o.state_file, true);
  auto collectable = std::make_shared<ServiceCollectable>(&s);
  std::unique_ptr<prometheus::Exposer> exposer;
  // prometheus-cpp reports a failed bind by throwing; this is the one place.
  try {
    exposer = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", o.listen, "num_threads", "4", "request_timeout_ms", "10000"});
  } catch (const std::exception &e) {
    fprintf(stderr, "error: cannot listen on %s: %s\n", o.listen_text, e.what());
    service_stop(&s);
    return 1;
  }
  exposer->RegisterCollectable(collectable);
  std::vector<int> ports = exposer->GetListeningPorts();
  log_msg(LVL_INFO, "serving /metrics on %s (port %d)", o.listen_text,
          ports.empty() ? 0 : ports[0]);
  wait_for_stop(stop, 0);
  exposer.reset();
  service_stop(&s);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  int early = version_selftest(argc, argv, "zpr_exporter");
  if (early >= 0)
    return output_written() ? early : 1;
  log_init("zpr_exporter", LVL_INFO);
  ExporterOptions o;
  char why[256];
  if (exporter_parse_args(argc, argv, &o, why, sizeof why) != ST_OK) {
    fprintf(stderr, "error: %s\n", why);
    return 2;
  }
  if (o.help) {
    exporter_print_help();
    return output_written() ? 0 : 1;
  }
  if (o.mode == MODE_ONCE)
    return run_once(o);
  // A scrape of many jobs builds megabytes of series and text on whichever
  // exposer thread serves it, and glibc would keep such peaks per thread
  // arena: big buffers go straight back to the system (a fixed mmap
  // threshold), all threads share one arena (so what one scrape freed serves
  // the next, whichever thread runs it; with two, peaks held in both added
  // up), and the collector trims the heap after each collection.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_ARENA_MAX, 1);
  sigset_t stop = stop_signals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return o.mode == MODE_TEXTFILE ? run_textfile(o, stop) : run_listen(o, stop);
}
