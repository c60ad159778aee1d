// Cost of the pool's loop operations: the overhead of loops with (almost) no
// work in them, and the speed-up of a loop with about 2 microseconds a row.
// The process-wide pool is sized by RAYON_NUM_THREADS, so run it with 1 and
// with 2. The speed-up line compares private pools of 1 and 2 workers.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "parallel/pool.hpp"
#include "timing.hpp"

namespace {

using corvane::parallel::WorkerPool;

using corvane::bench::measure;
using corvane::bench::print_row;
using corvane::bench::Timing;

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
    const double us = measure(21, 200, [&] { sink += row_work(sink, rounds); }).median;
    if (sink == 42) std::puts("");  // keeps the work observable
    rounds = std::max(1, static_cast<int>(rounds * target_us / us));
  }
  return rounds;
}

// The floor under any hand-over to a sleeping thread and back: one round trip
// through a mutex and condition variable with a second thread.
Timing condvar_round_trip() {
  std::mutex mu;
  std::condition_variable cv;
  int turn = 0;  // 1: the echo thread's turn, 0: ours, -1: stop
  std::thread echo([&] {
    std::unique_lock lock(mu);
    for (;;) {
      cv.wait(lock, [&] { return turn != 0; });
      if (turn < 0) return;
      turn = 0;
      cv.notify_all();
    }
  });
  const Timing t = measure(101, 100, [&] {
    std::unique_lock lock(mu);
    turn = 1;
    cv.notify_all();
    cv.wait(lock, [&] { return turn == 0; });
  });
  {
    std::lock_guard lock(mu);
    turn = -1;
  }
  cv.notify_all();
  echo.join();
  return t;
}

}  // namespace

int main() {
  const std::size_t n = corvane::parallel::detail::global_pool().num_threads();
  const char* env = std::getenv("RAYON_NUM_THREADS");
  std::printf("worker pool overhead, %zu worker(s) (RAYON_NUM_THREADS=%s)\n", n,
              env ? env : "unset");
  std::printf("%-40s %10s %10s\n", "case", "median us", "best us");

  std::vector<std::uint8_t> touched(100000);
  for (const std::size_t len :
       {std::size_t{1}, std::size_t{2}, std::size_t{640}, std::size_t{100000}}) {
    const int batch = len >= 100000 ? 20 : 200;
    const Timing t =
        measure(101, batch, [&] { corvane::parallel::parallel_for(0, len, [](std::size_t) {}); });
    char name[64];
    std::snprintf(name, sizeof name, "parallel_for empty, %zu indices", len);
    print_row(name, t);
  }
  {
    const Timing t = measure(101, 100, [&] {
      corvane::parallel::parallel_for(0, 640, [&](std::size_t i) { touched[i] = 1; });
    });
    print_row("parallel_for 640 byte writes", t);
  }
  {
    // One task per image, each suppressing its classes in a nested loop.
    const Timing t = measure(101, 50, [] {
      const auto per_image = corvane::parallel::parallel_map_collect(0, 4, [](std::size_t image) {
        std::vector<std::vector<int>> buckets(20, std::vector<int>(4, static_cast<int>(image)));
        const auto kept = corvane::parallel::parallel_map_collect(
            std::move(buckets), [](std::vector<int>&& b) { return b.size(); });
        return std::accumulate(kept.begin(), kept.end(), std::size_t{0});
      });
      if (per_image[0] != 80) std::abort();
    });
    print_row("nested map-collect 4 x 20", t);
  }
  {
    const Timing t = measure(101, 200, [] {
      const auto out =
          corvane::parallel::parallel_map_collect(0, 1, [](std::size_t i) { return i; });
      if (out.size() != 1) std::abort();
    });
    print_row("map-collect 1 element", t);
  }

  print_row("reference: condvar round trip", condvar_round_trip());

  const int rounds = calibrate_rounds(2.0);
  std::vector<std::uint64_t> rows(640);
  const auto work_loop = [&](WorkerPool& pool) {
    return measure(31, 10, [&] {
      pool.parallel_for(0, rows.size(), [&](std::size_t i) { rows[i] = row_work(i, rounds); });
    });
  };
  WorkerPool one(1);
  const Timing t1 = work_loop(one);
  WorkerPool two(2);
  const Timing t2 = work_loop(two);
  print_row("640 rows ~2 us each, 1 worker", t1);
  print_row("640 rows ~2 us each, 2 workers", t2);
  std::printf("%-40s %9.2fx %9.2fx\n", "speed-up 2 workers over 1", t1.median / t2.median,
              t1.best / t2.best);
  return 0;
}
