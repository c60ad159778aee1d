// Timing for the C++ benchmarks: the median and the best of batches of calls.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace corvane::bench {

struct Timing {
  double median;  // microseconds per call
  double best;    // fastest batch: the machine is shared, the median is noisy
};

// Median and best over `samples` batches of `batch` calls.
inline Timing measure(int samples, int batch, const std::function<void()>& op) {
  using Clock = std::chrono::steady_clock;
  for (int k = 0; k < batch; ++k) op();  // warm-up: creates the pool, wakes workers
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(samples));
  for (int s = 0; s < samples; ++s) {
    const auto start = Clock::now();
    for (int k = 0; k < batch; ++k) op();
    const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
    times.push_back(spent.count() / batch);
  }
  std::sort(times.begin(), times.end());
  return {times[static_cast<std::size_t>(samples / 2)], times[0]};
}

inline void print_row(const char* name, Timing t) {
  std::printf("%-40s %10.3f %10.3f\n", name, t.median, t.best);
}

}  // namespace corvane::bench
