// Cost of the pool's loop operations: the overhead of loops with (almost) no
// work in them, and the speed-up of a loop with about 2 microseconds a row.
// The process-wide pool is sized by RAYON_NUM_THREADS, so run it with 1 and
// with 2. The speed-up line compares private pools of 1 and 2 workers.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <vector>

#include "parallel/pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using corvane::parallel::WorkerPool;

// Median over `samples` batches of `batch` calls, in microseconds per call.
double median_us(int samples, int batch, const std::function<void()>& op) {
  for (int k = 0; k < batch; ++k) op();  // warm-up: creates the pool, wakes workers
  std::vector<double> times;
  times.reserve(samples);
  for (int s = 0; s < samples; ++s) {
    const auto start = Clock::now();
    for (int k = 0; k < batch; ++k) op();
    const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
    times.push_back(spent.count() / batch);
  }
  std::nth_element(times.begin(), times.begin() + samples / 2, times.end());
  return times[samples / 2];
}

// A row of dependent integer work that the compiler cannot fold away.
std::uint64_t row_work(std::uint64_t seed, int rounds) {
  std::uint64_t x = seed | 1;
  for (int r = 0; r < rounds; ++r) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
  }
  return x;
}

// Rounds of row_work that take about `target_us` on this machine.
int calibrate_rounds(double target_us) {
  int rounds = 1000;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::uint64_t sink = 0;
    const double us = median_us(21, 200, [&] { sink += row_work(sink, rounds); });
    if (sink == 42) std::puts("");  // keeps the work observable
    rounds = std::max(1, static_cast<int>(rounds * target_us / us));
  }
  return rounds;
}

}  // namespace

int main() {
  const std::size_t n = corvane::parallel::num_threads();
  const char* env = std::getenv("RAYON_NUM_THREADS");
  std::printf("worker pool overhead, %zu worker(s) (RAYON_NUM_THREADS=%s)\n", n, env ? env : "unset");
  std::printf("%-40s %12s\n", "case", "median us");

  std::vector<std::uint8_t> touched(100000);
  for (const std::size_t len : {std::size_t{1}, std::size_t{2}, std::size_t{640}, std::size_t{100000}}) {
    const int batch = len >= 100000 ? 20 : 200;
    const double us = median_us(101, batch, [&] {
      corvane::parallel::parallel_for(0, len, [](std::size_t) {});
    });
    char name[64];
    std::snprintf(name, sizeof name, "parallel_for empty, %zu indices", len);
    std::printf("%-40s %12.3f\n", name, us);
  }
  {
    const double us = median_us(101, 100, [&] {
      corvane::parallel::parallel_for(0, 640, [&](std::size_t i) { touched[i] = 1; });
    });
    std::printf("%-40s %12.3f\n", "parallel_for 640 byte writes", us);
  }
  {
    // One task per image, each suppressing its classes in a nested loop.
    const double us = median_us(101, 50, [] {
      const auto per_image = corvane::parallel::parallel_map_collect(0, 4, [](std::size_t image) {
        std::vector<std::vector<int>> buckets(20, std::vector<int>(4, static_cast<int>(image)));
        const auto kept = corvane::parallel::parallel_map_collect(
            std::move(buckets), [](std::vector<int>&& b) { return b.size(); });
        return std::accumulate(kept.begin(), kept.end(), std::size_t{0});
      });
      if (per_image[0] != 80) std::abort();
    });
    std::printf("%-40s %12.3f\n", "nested map-collect 4 x 20", us);
  }
  {
    const double us = median_us(101, 200, [] {
      const auto out = corvane::parallel::parallel_map_collect(0, 1, [](std::size_t i) { return i; });
      if (out.size() != 1) std::abort();
    });
    std::printf("%-40s %12.3f\n", "map-collect 1 element", us);
  }

  const int rounds = calibrate_rounds(2.0);
  std::vector<std::uint64_t> rows(640);
  const auto work_loop = [&](WorkerPool& pool) {
    return median_us(31, 10, [&] {
      pool.parallel_for(0, rows.size(), [&](std::size_t i) { rows[i] = row_work(i, rounds); });
    });
  };
  WorkerPool one(1);
  const double t1 = work_loop(one);
  WorkerPool two(2);
  const double t2 = work_loop(two);
  std::printf("%-40s %12.3f\n", "640 rows ~2 us each, 1 worker", t1);
  std::printf("%-40s %12.3f\n", "640 rows ~2 us each, 2 workers", t2);
  std::printf("%-40s %12.2fx\n", "speed-up 2 workers over 1", t1 / t2);
  return 0;
}
