#include "exporter/service.h"

#include <malloc.h>

#include <chrono>

#include "exporter/exposition.h"
#include "runtime/log.h"

namespace {

void load_state(Service *s) {
  char why[256];
  StatusCode st = last_runs_load(s->state_file, &s->collector.last_runs, why, sizeof why);
  if (st != ST_OK)
    log_msg(LVL_WARN, "state file %s: %s; last runs start empty", s->state_file, why);
}

void save_state(Service *s) {
  if (s->state_file == nullptr || s->read_only || !s->collector.last_runs_changed)
    return;
  StatusCode st = last_runs_save(s->state_file, s->collector.last_runs);
  if (st == ST_OK) {
    s->collector.last_runs_changed = false;
    s->save_failed = false;
  } else if (!s->save_failed) {
    char cause[128]; // errno, as the write left it
    errno_text(cause, sizeof cause);
    log_msg(LVL_WARN, "cannot write state file %s: %s (retried every collection)", s->state_file,
            cause);
    s->save_failed = true;
  }
}

void tick(Service *s) {
  ModelPtr next = collector_tick(&s->collector);
  {
    std::lock_guard<std::mutex> guard(s->lock);
    s->model.swap(next);
  }
  save_state(s);
  next.reset(); // the old model is released outside the lock
  malloc_trim(0);
}

void run(Service *s) {
  auto due = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> guard(s->lock);
  while (!s->stop) {
    due += std::chrono::milliseconds(SERVICE_PERIOD_MS);
    if (s->wake.wait_until(guard, due, [s] { return s->stop; }))
      break;
    guard.unlock();
    tick(s);
    // A collection that took longer than the period starts the next at once.
    due = std::max(due,
                   std::chrono::steady_clock::now() - std::chrono::milliseconds(SERVICE_PERIOD_MS));
    guard.lock();
  }
}

} // namespace

void service_start(Service *s, const char *state_file, bool threaded) {
  s->state_file = state_file;
  if (state_file != nullptr)
    load_state(s);
  tick(s);
  if (threaded)
    s->thread = std::thread(run, s);
}

ModelPtr service_model(Service *s) {
  std::lock_guard<std::mutex> guard(s->lock);
  return s->model;
}

void service_stop(Service *s) {
  {
    std::lock_guard<std::mutex> guard(s->lock);
    s->stop = true;
  }
  s->wake.notify_all();
  if (s->thread.joinable())
    s->thread.join();
  save_state(s);
  collector_release(&s->collector);
}

std::vector<prometheus::MetricFamily> ServiceCollectable::Collect() const {
  return exposition_families(*service_model(service_));
}
