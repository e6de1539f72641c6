// The exporter's running state: the collector on its own thread, ticking
// about once a second independently of scrapes, and the latest finished
// model, which readers take under a short lock (a shared pointer copy) and
// then read without one.  A scrape therefore never touches /dev/shm and
// never waits on a writer or on the disk; the state file is written from
// the collector's thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include <prometheus/collectable.h>

#include "exporter/collector.h"

inline constexpr int SERVICE_PERIOD_MS = 1000;

struct Service {
  std::mutex lock; // guards model and stop
  std::condition_variable wake;
  ModelPtr model;
  bool stop = false;
  Collector collector{}; // the collector thread's alone once started
  const char *state_file = nullptr;
  bool read_only = false;   // never write the state file (--once)
  bool save_failed = false; // the last save failed (reported once)
  std::thread thread;
};

// Loads the state file (a missing or damaged one is reported once on
// standard error and the last runs start empty), runs the first collection
// and starts the collector thread (when threaded).  Unless read_only is
// set, collections that changed the last runs write the state file.
void service_start(Service *s, const char *state_file, bool threaded);

// The latest model (never null after service_start).
ModelPtr service_model(Service *s);

// Stops and joins the thread, saves the last runs, releases the mappings.
void service_stop(Service *s);

// prometheus-cpp's view of the service: each scrape exposes the latest model.
class ServiceCollectable : public prometheus::Collectable {
public:
  explicit ServiceCollectable(Service *service) : service_(service) {}
  std::vector<prometheus::MetricFamily> Collect() const override;

private:
  Service *service_;
};
