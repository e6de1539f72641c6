// zpr_exporter: the suite's progress records for Prometheus.  Serves
// /metrics over HTTP (prometheus-cpp's exposer), keeps a textfile for
// node_exporter's textfile collector, or prints one collection.  Like the
// monitor it only reads segments.
#include <malloc.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <prometheus/exposer.h>

#include "exporter/atomic_file.h"
#include "exporter/exporter_options.h"
#include "exporter/exposition.h"
#include "exporter/http_front.h"
#include "exporter/json_output.h"
#include "exporter/service.h"
#include "runtime/log.h"
#include "runtime/options.h"
#include "runtime/selftest.h"

namespace {

// Blocked in every thread (the mask is inherited), taken by the main
// thread with sigtimedwait: SIGINT and SIGTERM are a clean stop that saves
// the last runs; SIGHUP, with nothing to reload, is logged and ignored.
sigset_t taken_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Waits up to seconds (0: for ever) for a stop signal; true when one came.
bool wait_for_stop(const sigset_t &set, uint32_t seconds) {
  timespec timeout{static_cast<time_t>(seconds), 0};
  for (;;) {
    int sig = seconds == 0 ? sigwaitinfo(&set, nullptr) : sigtimedwait(&set, nullptr, &timeout);
    if (sig == SIGHUP)
      log_msg(LVL_INFO, "SIGHUP ignored: nothing to reload");
    else if (sig > 0)
      return true;
    else if (seconds != 0 && errno == EAGAIN)
      return false;
  }
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

// Writes the textfile; a failure is logged when it begins, with its cause.
void publish(const char *path, const Model &model, bool *failed) {
  StatusCode st = atomic_file_publish(path, exposition_text(model));
  if (st != ST_OK && !*failed) {
    char cause[128];
    errno_text(cause, sizeof cause);
    log_msg(LVL_WARN, "cannot write %s: %s (retried every interval)", path, cause);
  }
  *failed = st != ST_OK;
}

int run_textfile(const ExporterOptions &o, const sigset_t &signals) {
  Service s;
  configure(&s, o, true);
  service_start(&s, o.state_file, true);
  bool failed = false;
  do {
    publish(o.textfile, *service_model(&s), &failed);
  } while (!wait_for_stop(signals, o.interval_s));
  service_stop(&s);
  // node_exporter serves the file on after the exporter is gone: it keeps
  // the last runs and the collection time stamp (whose age the alert rules
  // watch), but no running jobs, which would look stalled.
  Model last = *service_model(&s);
  last.jobs.clear();
  publish(o.textfile, last, &failed);
  return 0;
}

int run_listen(const ExporterOptions &o, const sigset_t &signals) {
  // Bind first: an exporter that cannot listen collects nothing and leaves
  // the state file alone.
  std::unique_ptr<prometheus::Exposer> exposer;
  char why[256];
  if (http_front_start(o.listen, &exposer, why, sizeof why) != ST_OK) {
    fprintf(stderr, "error: cannot listen on %s: %s\n", o.listen_text, why);
    return 1;
  }
  Service s;
  configure(&s, o, true);
  service_start(&s, o.state_file, true);
  auto collectable = std::make_shared<ServiceCollectable>(&s);
  exposer->RegisterCollectable(collectable);
  std::vector<int> ports = exposer->GetListeningPorts();
  log_msg(LVL_INFO, "serving /metrics on %s (port %d)", o.listen_text,
          ports.empty() ? 0 : ports[0]);
  wait_for_stop(signals, 0);
  exposer.reset();
  service_stop(&s);
  return 0;
}

// The files the exporter writes go into directories that must exist: a
// mistyped path is refused at start rather than warned about for ever.
bool directories_exist(const ExporterOptions &o) {
  char why[256];
  for (const char *path : {o.state_file, o.textfile}) {
    if (path != nullptr && atomic_file_check_directory(path, why, sizeof why) != ST_OK) {
      fprintf(stderr, "error: cannot write %s: %s\n", path, why);
      return false;
    }
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  log_init("zpr_exporter", LVL_INFO);
  if (opt_flag(argc, argv, "--version", nullptr) || opt_flag(argc, argv, "--selftest", nullptr)) {
    exporter_warn_unknown(argc, argv);
    const int status = version_selftest(argc, argv, "zpr_exporter");
    return output_written() ? status : 1;
  }
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
  if (!directories_exist(o))
    return 2;
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
  sigset_t signals = taken_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return o.mode == MODE_TEXTFILE ? run_textfile(o, signals) : run_listen(o, signals);
}
