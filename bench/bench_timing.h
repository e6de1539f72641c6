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
template <typename Fn> double median_gbps(Fn fn, size_t bytes, int runs = 15,
                                          long long min_ns = 2000000) {
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

// Keeps the compiler from discarding a result.
template <typename T> inline void keep(const T &v) { asm volatile("" : : "g"(v) : "memory"); }

} // namespace zb
