// A small timing harness shared by the benchmarks: median throughput of a
// function over repeated runs, each long enough to swamp the clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace zb {

// Median bytes per nanosecond (= GB/s) of fn(), which processes `bytes`
// bytes per call, over `runs` runs of at least min_ns each.
template <typename Fn>
double median_gbps(Fn fn, size_t bytes, int runs = 15, long long min_ns = 2000000) {
  using clock = std::chrono::steady_clock;
  // Warm up, and find how many calls make one run.
  long long calls = 1;
  for (;;) {
    auto t0 = clock::now();
    for (long long i = 0; i < calls; i++)
      fn();
    long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - t0).count();
    if (ns >= min_ns)
      break;
    calls *= 2;
  }
  std::vector<double> rates;
  for (int r = 0; r < runs; r++) {
    auto t0 = clock::now();
    for (long long i = 0; i < calls; i++)
      fn();
    double ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - t0).count());
    rates.push_back(static_cast<double>(bytes) * static_cast<double>(calls) / ns);
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

// Medians of two functions measured in alternating rounds, so a change of
// clock speed or a noisy neighbour hits both alike.
struct Pair {
  double a;
  double b;
};

template <typename FnA, typename FnB>
Pair compare_gbps(FnA fa, FnB fb, size_t bytes, int rounds = 7) {
  std::vector<double> ra, rb;
  for (int r = 0; r < rounds; r++) {
    ra.push_back(median_gbps(fa, bytes, 5));
    rb.push_back(median_gbps(fb, bytes, 5));
  }
  std::sort(ra.begin(), ra.end());
  std::sort(rb.begin(), rb.end());
  return {ra[ra.size() / 2], rb[rb.size() / 2]};
}

// Keeps the compiler from discarding a result.
template <typename T> inline void keep(const T &v) { asm volatile("" : : "g"(v) : "memory"); }

} // namespace zb
