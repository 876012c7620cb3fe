// bench/iteration_times.h: the wall time of each iteration of a benchmark, reported as the
// median_ms and p95_ms counters that these benchmarks set beside their floors.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace nodrel::bench {

// Runs `work` once per iteration and times each run; sets the median_ms and p95_ms counters and
// returns the median in milliseconds. When no iteration ran, sets nothing and returns 0.
template <typename Work>
double timeIterations(benchmark::State& state, Work&& work) {
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    work();
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double median = samples[samples.size() / 2];
  state.counters["median_ms"] = median;
  state.counters["p95_ms"] = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
  return median;
}

}  // namespace nodrel::bench
