#include <gtest/gtest.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/panic.hpp"
#include "parallel/pool.hpp"
#include "parallel/thread_count.hpp"

namespace corvane::parallel {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Worker count from the environment

TEST(WorkerCount, ParsesUnsignedDecimal) {
  EXPECT_EQ(parse_worker_count("4"), 4u);
  EXPECT_EQ(parse_worker_count("+4"), 4u);
  EXPECT_EQ(parse_worker_count("0"), 0u);
  EXPECT_EQ(parse_worker_count("007"), 7u);
  EXPECT_EQ(parse_worker_count("18446744073709551615"), 18446744073709551615ull);
  for (const char* bad : {"", "+", "-1", "-0", " 4", "4 ", "4x", "++4", "0x10", "1e3", "4\n",
                          "18446744073709551616", "99999999999999999999", "\xd9\xa4"}) {
    EXPECT_EQ(parse_worker_count(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(WorkerCount, FollowsTheEnvironmentRules) {
  struct Case {
    const char* first;
    const char* second;
    std::size_t cpus;
    std::size_t expected;
  };
  const Case cases[] = {
      {"4", nullptr, 2, 4},
      {"+4", nullptr, 2, 4},
      {"0", "2", 3, 3},
      {"-1", "2", 3, 2},
      {" 4", "2", 3, 2},
      {"4x", "2", 3, 2},
      {"", "2", 3, 2},
      {nullptr, "5", 3, 5},
      {nullptr, "0", 3, 3},
      {nullptr, "x", 3, 3},
      {nullptr, nullptr, 3, 3},
      {nullptr, nullptr, 0, 1},
      {"0", nullptr, 0, 1},
      {"100000", nullptr, 2, 65535},
      {nullptr, "100000", 2, 65535},
      {nullptr, nullptr, 70000, 65535},
      {"1", "8", 3, 1},
      {"18446744073709551616", "6", 3, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_worker_count(c.first, c.second, c.cpus), c.expected)
        << (c.first ? c.first : "unset") << " / " << (c.second ? c.second : "unset");
  }
}

TEST(WorkerCount, ProcessorsComeFromTheAffinityMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_EQ(logical_cpu_count(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

// ---------------------------------------------------------------------------
// Coverage and order

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Workers, PoolSizes, ::testing::Values(1, 2, 3, 4, 8));

const std::size_t kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 31, 33, 64, 100, 640, 1001};

TEST_P(PoolSizes, ParallelForCoversEveryIndexOnce) {
  WorkerPool pool(GetParam());
  for (const std::size_t len : kLengths) {
    std::vector<std::atomic<int>> hits(len + 20);
    pool.parallel_for(10, 10 + len, [&](std::size_t i) { hits[i].fetch_add(1); });
    for (std::size_t i = 0; i < hits.size(); ++i) {
      ASSERT_EQ(hits[i].load(), i >= 10 && i < 10 + len ? 1 : 0) << "len " << len << " i " << i;
    }
  }
  int calls = 0;
  pool.parallel_for(7, 3, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST_P(PoolSizes, MapCollectKeepsInputOrder) {
  WorkerPool pool(GetParam());
  for (const std::size_t len : kLengths) {
    // Uneven cost, so that pieces finish out of order.
    const auto f = [](std::size_t i) {
      if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(i % 5 * 20));
      return std::to_string(i * 3);
    };
    const auto out = pool.parallel_map_collect(5, 5 + len, f);
    ASSERT_EQ(out.size(), len);
    for (std::size_t k = 0; k < len; ++k) ASSERT_EQ(out[k], std::to_string((5 + k) * 3));

    std::vector<std::string> items(len);
    for (std::size_t k = 0; k < len; ++k) items[k] = std::string(k % 50, 'a') + std::to_string(k);
    const auto expected = items;
    const auto sizes = pool.parallel_map_collect(
        std::move(items), [](std::string&& s) { return std::make_pair(s.size(), std::move(s)); });
    ASSERT_EQ(sizes.size(), len);
    for (std::size_t k = 0; k < len; ++k) {
      ASSERT_EQ(sizes[k].second, expected[k]);
      ASSERT_EQ(sizes[k].first, expected[k].size());
    }
  }
}

TEST_P(PoolSizes, CallingThreadRunsSmallLoopsAndTheFirstPiece) {
  WorkerPool pool(GetParam());
  const auto me = std::this_thread::get_id();
  std::vector<std::thread::id> seen;
  pool.parallel_for(3, 4, [&](std::size_t) { seen.push_back(std::this_thread::get_id()); });
  const auto one = pool.parallel_map_collect(9, 10, [&](std::size_t i) {
    seen.push_back(std::this_thread::get_id());
    return i;
  });
  EXPECT_EQ(one, std::vector<std::size_t>{9});
  const auto none = pool.parallel_map_collect(4, 4, [&](std::size_t i) {
    seen.push_back(std::this_thread::get_id());
    return i;
  });
  EXPECT_TRUE(none.empty());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], me);
  EXPECT_EQ(seen[1], me);

  // From two elements on, the loop enters the pool, and the calling thread
  // computes in it: the first piece is always its own.
  for (const std::size_t len : {2u, 3u, 50u}) {
    std::vector<std::thread::id> ran_on(len);
    pool.parallel_for(0, len, [&](std::size_t i) {
      ran_on[i] = std::this_thread::get_id();
      EXPECT_EQ(&detail::current_pool(), &pool);
    });
    EXPECT_EQ(ran_on[0], me);
  }
  EXPECT_EQ(detail::current_worker(), nullptr);
}

TEST_P(PoolSizes, NestedLoopsUseTheWorkersPool) {
  WorkerPool pool(GetParam());
  const auto out = pool.parallel_map_collect(0, 12, [&](std::size_t i) {
    EXPECT_EQ(&detail::current_pool(), &pool);
    std::vector<std::size_t> items(i);
    std::iota(items.begin(), items.end(), 0);
    auto inner = parallel_map_collect(std::move(items), [](std::size_t&& v) { return v * v; });
    const auto deeper = parallel_map_collect(0, 3, [&](std::size_t k) {
      std::size_t sum = 0;
      parallel_for(0, 5, [&](std::size_t) {});
      for (std::size_t v : inner) sum += v * (k + 1);
      return sum;
    });
    return deeper[0] + deeper[1] + deeper[2];
  });
  for (std::size_t i = 0; i < 12; ++i) {
    std::size_t squares = 0;
    for (std::size_t v = 0; v < i; ++v) squares += v * v;
    EXPECT_EQ(out[i], 6 * squares);
  }
}

TEST_P(PoolSizes, JoinRunsBothSides) {
  WorkerPool pool(GetParam());
  auto [a, b] = pool.join([] { return 1; }, [] { return std::string("b"); });
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, "b");
  int side = 0;
  auto units = pool.join([&] { side += 1; }, [] { return 2.5; });
  EXPECT_EQ(side, 1);
  EXPECT_EQ(units.second, 2.5);

  // Deep recursive joins from inside the pool.
  struct Fib {
    static std::uint64_t run(std::uint64_t n) {
      if (n < 2) return n;
      auto [x, y] = join([n] { return run(n - 1); }, [n] { return run(n - 2); });
      return x + y;
    }
  };
  EXPECT_EQ(pool.join([] { return Fib::run(20); }, [] { return 0; }).first, 6765u);
}

// One operation: from outside, f holds the seat on the calling thread (an
// operation another thread starts meanwhile goes elsewhere); on a worker it
// runs there; a void result is a Unit and a failure comes back as thrown.
TEST_P(PoolSizes, RunInPoolIsOneOperationOfTheCaller) {
  WorkerPool pool(GetParam());
  const auto me = std::this_thread::get_id();
  std::thread::id other_id, other_ran_on;
  const auto got = pool.run_in_pool([&] {
    EXPECT_EQ(&detail::current_pool(), &pool);
    EXPECT_EQ(std::this_thread::get_id(), me);
    std::thread other(
        [&] { pool.run_in_pool([&] { other_ran_on = std::this_thread::get_id(); }); });
    other_id = other.get_id();
    other.join();
    const auto on_worker = pool.parallel_map_collect(0, 4, [&](std::size_t i) {
      const auto here = std::this_thread::get_id();
      return pool.run_in_pool([&] { return std::this_thread::get_id() == here; }) ? i : 99;
    });
    EXPECT_EQ(on_worker, (std::vector<std::size_t>{0, 1, 2, 3}));
    return std::string("one");
  });
  EXPECT_EQ(got, "one");
  // The seat was taken: a worker ran the other thread's operation (with no
  // worker, the other thread itself, on a record of its own).
  EXPECT_EQ(other_ran_on == other_id, GetParam() == 1);
  EXPECT_NE(other_ran_on, me);
  EXPECT_EQ(detail::current_worker(), nullptr);
  EXPECT_EQ(pool.run_in_pool([] {}), detail::Unit{});
  EXPECT_THROW(pool.run_in_pool([]() -> int { throw std::out_of_range("f"); }), std::out_of_range);
  EXPECT_EQ(detail::current_worker(), nullptr);
}

// Parts of a loop land on every worker when there is enough to do.
TEST(Pool, WorkSpreadsOverWorkers) {
  WorkerPool pool(2);
  std::mutex mu;
  std::set<std::thread::id> threads;
  pool.parallel_for(0, 400, [&](std::size_t) {
    std::this_thread::sleep_for(100us);
    std::lock_guard lock(mu);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(threads.size(), 2u);
}

#if defined(__x86_64__)
TEST(Pool, WorkersRoundToNearestAndKeepDenormals) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(0x1F80 | 0x8040 | 0x6000);  // FTZ, DAZ, round toward zero
  std::set<unsigned> modes;
  {
    WorkerPool pool(2);
    _mm_setcsr(saved);
    std::mutex mu;
    const auto caller = std::this_thread::get_id();
    pool.parallel_for(0, 400, [&](std::size_t) {
      std::this_thread::sleep_for(100us);
      if (std::this_thread::get_id() == caller) return;
      std::lock_guard lock(mu);
      modes.insert(_mm_getcsr() & ~0x3Fu);
    });
  }
  EXPECT_EQ(modes, std::set<unsigned>{0x1F80u});
}
#endif

// ---------------------------------------------------------------------------
// Division

// The pieces a loop of `len` is divided into on a one-worker pool, where
// nothing is ever stolen: only the halves of the first division (handed over
// by the calling thread) count as moved.
void model_pieces(std::size_t begin, std::size_t end, std::size_t splits, bool moved,
                  std::vector<std::pair<std::size_t, std::size_t>>& out) {
  const std::size_t len = end - begin;
  if (len >= 2 && (moved || splits > 0)) {
    const std::size_t budget = moved ? std::max<std::size_t>(1, splits / 2) : splits / 2;
    model_pieces(begin, begin + len / 2, budget, false, out);
    model_pieces(begin + len / 2, end, budget, false, out);
  } else {
    out.emplace_back(begin, end);
  }
}

TEST(Pool, FailureEndsOnlyItsPieceAndRevealsTheDivision) {
  WorkerPool pool(1);
  for (const std::size_t len : {2u, 3u, 5u, 10u, 17u, 64u, 100u}) {
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    const std::size_t mid = len / 2;
    model_pieces(0, mid, 0, true, pieces);
    model_pieces(mid, len, 0, true, pieces);
    for (const auto& [b, e] : pieces) {
      for (std::size_t j = b; j < e; ++j) {
        std::vector<char> ran(len, 0);
        EXPECT_THROW(pool.parallel_for(0, len,
                                       [&](std::size_t i) {
                                         ran[i] = 1;
                                         if (i == j) throw Panic("boom");
                                       }),
                     Panic);
        for (std::size_t i = 0; i < len; ++i) {
          ASSERT_EQ(ran[i], i <= j || i >= e) << "len " << len << " fail " << j << " i " << i;
        }
      }
    }
  }
}

TEST_P(PoolSizes, LowestFailingPieceSurfaces) {
  WorkerPool pool(GetParam());
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> done{0};
    try {
      pool.parallel_for(0, 10, [&](std::size_t i) {
        // Index 3 fails last in time; the order of the loop decides anyway.
        if (i == 3) {
          std::this_thread::sleep_for(5ms);
          throw Panic("failed at 3");
        }
        if (i == 7) throw Panic("failed at 7");
        done.fetch_add(1);
      });
      FAIL() << "no failure surfaced";
    } catch (const Panic& panic) {
      EXPECT_EQ(panic.message(), "failed at 3");
    }
    // Every index outside the two failing pieces ran, whatever the split.
    EXPECT_GE(done.load(), 4);
    EXPECT_THROW(pool.parallel_map_collect(0, 10,
                                           [](std::size_t i) {
                                             if (i == 7) throw std::runtime_error("7");
                                             if (i == 3) throw std::logic_error("3");
                                             return i;
                                           }),
                 std::logic_error);
  }
}

TEST_P(PoolSizes, RethrowsTheOriginalException) {
  WorkerPool pool(GetParam());
  struct Custom {
    int code;
  };
  try {
    pool.parallel_for(0, 100, [](std::size_t i) {
      if (i == 60) throw Custom{60};
    });
    FAIL();
  } catch (const Custom& c) {
    EXPECT_EQ(c.code, 60);
  }
  auto [a, b] = pool.join([] { return 1; }, [] { return 2; });
  EXPECT_EQ(a + b, 3);
  EXPECT_THROW(pool.join([] { return 1; }, []() -> int { throw std::out_of_range("b"); }),
               std::out_of_range);
  EXPECT_THROW(pool.join([]() -> int { throw std::invalid_argument("a"); },
                         []() -> int { throw std::out_of_range("b"); }),
               std::invalid_argument);
}

// Outside threads that call at the same time: one sits in the seat, the
// others hand their loops over (or, with no workers, run them alone).
TEST_P(PoolSizes, ConcurrentCallersGetTheirOwnResultsAndFailures) {
  WorkerPool pool(GetParam());
  std::vector<std::thread> callers;
  std::vector<int> wrong(4, 0);
  for (std::size_t t = 0; t < 4; ++t) {
    callers.emplace_back([&pool, &wrong, t] {
      for (std::size_t round = 0; round < 60; ++round) {
        const std::size_t fail = round % 3 == 0 ? (t * 7 + round) % 40 : 40;
        try {
          const auto out = pool.parallel_map_collect(0, 40, [&](std::size_t i) {
            if (i == fail || i == fail + 13) throw Panic("failed at " + std::to_string(i));
            auto halves = join([i] { return i; }, [t] { return t; });
            return halves.first * 10 + halves.second;
          });
          for (std::size_t i = 0; i < 40; ++i) wrong[t] += fail < 40 || out[i] != i * 10 + t;
        } catch (const Panic& panic) {
          wrong[t] += fail == 40 || panic.message() != "failed at " + std::to_string(fail);
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// ---------------------------------------------------------------------------
// Ownership of results and items

struct Counted {
  static inline std::atomic<long> live{0};
  explicit Counted(std::size_t v) : value(v) { live.fetch_add(1); }
  Counted(const Counted& other) : value(other.value) { live.fetch_add(1); }
  Counted(Counted&& other) noexcept : value(other.value) { live.fetch_add(1); }
  Counted& operator=(const Counted&) = delete;
  ~Counted() { live.fetch_sub(1); }
  std::size_t value;
};

TEST_P(PoolSizes, NothingLeaksOnFailure) {
  WorkerPool pool(GetParam());
  ASSERT_EQ(Counted::live.load(), 0);
  for (const std::size_t fail : {0u, 1u, 17u, 63u}) {
    EXPECT_THROW(pool.parallel_map_collect(0, 64,
                                           [&](std::size_t i) {
                                             if (i == fail) throw Panic("x");
                                             return Counted(i);
                                           }),
                 Panic);
    EXPECT_EQ(Counted::live.load(), 0);

    std::vector<Counted> items;
    for (std::size_t i = 0; i < 64; ++i) items.emplace_back(i);
    EXPECT_THROW(pool.parallel_map_collect(std::move(items),
                                           [&](Counted&& c) {
                                             if (c.value == fail) throw Panic("x");
                                             return std::make_unique<Counted>(std::move(c));
                                           }),
                 Panic);
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(Counted::live.load(), 0);
  }
  auto ok = pool.parallel_map_collect(0, 64, [](std::size_t i) { return Counted(i); });
  EXPECT_EQ(Counted::live.load(), 64);
  ok.clear();
  EXPECT_EQ(Counted::live.load(), 0);
}

TEST_P(PoolSizes, VectorFormMovesItemsAndReleasesStorage) {
  WorkerPool pool(GetParam());
  std::vector<std::unique_ptr<int>> items;
  for (int i = 0; i < 40; ++i) items.push_back(std::make_unique<int>(i));
  // The result type has no default constructor and cannot be copied.
  struct Boxed {
    explicit Boxed(std::unique_ptr<int> value) : p(std::move(value)) {}
    std::unique_ptr<int> p;
  };
  auto out = pool.parallel_map_collect(std::move(items), [](std::unique_ptr<int>&& p) {
    *p *= 2;
    return Boxed(std::move(p));
  });
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(items.capacity(), 0u);
  ASSERT_EQ(out.size(), 40u);
  for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(*out[i].p, 2 * static_cast<int>(i));
}

TEST(Pool, NestedMapCollectWithOneWorker) {
  WorkerPool pool(1);
  const auto out = pool.parallel_map_collect(0, 6, [](std::size_t image) {
    std::vector<std::vector<int>> buckets(image + 1);
    for (std::size_t c = 0; c < buckets.size(); ++c) buckets[c].assign(c + 1, static_cast<int>(c));
    const auto per_class = parallel_map_collect(std::move(buckets), [](std::vector<int>&& b) {
      return std::accumulate(b.begin(), b.end(), 0);
    });
    return std::accumulate(per_class.begin(), per_class.end(), 0);
  });
  for (std::size_t image = 0; image < 6; ++image) {
    int expected = 0;
    for (std::size_t c = 0; c <= image; ++c) expected += static_cast<int>(c * (c + 1));
    EXPECT_EQ(out[image], expected);
  }
}

// ---------------------------------------------------------------------------
// Creation

TEST(PoolCreation, ConcurrentFirstUseCreatesOnePool) {
  static std::atomic<int> created{0};
  static std::unique_ptr<WorkerPool> made;
  created = 0;
  detail::PoolSlot slot(+[]() -> WorkerPool* {
    created.fetch_add(1);
    std::this_thread::sleep_for(20ms);
    made = std::make_unique<WorkerPool>(2);
    return made.get();
  });
  std::vector<std::thread> threads;
  std::vector<WorkerPool*> seen(8);
  for (std::size_t k = 0; k < seen.size(); ++k) {
    threads.emplace_back([&, k] { seen[k] = &slot.get(); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created.load(), 1);
  for (WorkerPool* p : seen) EXPECT_EQ(p, made.get());
  made.reset();
}

TEST(PoolCreation, GlobalPoolIsSharedByAllThreads) {
  std::vector<std::thread> threads;
  std::vector<WorkerPool*> seen(6);
  for (std::size_t k = 0; k < seen.size(); ++k) {
    threads.emplace_back([&, k] {
      parallel_for(0, 4, [](std::size_t) {});
      seen[k] = &detail::global_pool();
    });
  }
  for (auto& t : threads) t.join();
  for (WorkerPool* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(seen[0]->num_threads(), worker_count_from_environment());
}

TEST(PoolCreation, FailureIsFinal) {
  static std::atomic<int> attempts{0};
  attempts = 0;
  detail::PoolSlot slot(+[]() -> WorkerPool* {
    attempts.fetch_add(1);
    throw std::system_error(EAGAIN, std::generic_category());
  });
  const std::string cause =
      std::generic_category().message(EAGAIN) + " (os error " + std::to_string(EAGAIN) + ")";
  for (int k = 0; k < 3; ++k) {
    try {
      slot.get();
      FAIL();
    } catch (const Panic& panic) {
      const std::string prefix = "The global thread pool has not been initialized.: ";
      EXPECT_EQ(panic.message(),
                k == 0 ? prefix + cause
                       : prefix + "its one creation attempt already failed (" + cause + ")");
    }
  }
  EXPECT_EQ(attempts.load(), 1);
}

TEST(PoolCreation, CallerIsOneOfTheComputingThreads) {
  for (const std::size_t n : {1u, 2u, 5u}) {
    std::atomic<std::size_t> started{0};
    const auto starter = [&](std::function<void()> main) {
      started.fetch_add(1);
      return std::thread(std::move(main));
    };
    WorkerPool pool(n, starter);
    EXPECT_EQ(pool.num_threads(), n);
    EXPECT_EQ(started.load(), n - 1);
  }
}

TEST(PoolCreation, FailedStartStopsStartedWorkers) {
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  const auto starter = [&](std::function<void()> main) {
    if (started.load() == 3) throw std::system_error(EAGAIN, std::generic_category());
    started.fetch_add(1);
    return std::thread([&, main = std::move(main)] {
      main();
      finished.fetch_add(1);
    });
  };
  try {
    WorkerPool pool(5, starter);
    FAIL();
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again);
  }
  EXPECT_EQ(finished.load(), 3);
  EXPECT_EQ(detail::current_worker(), nullptr);
}

TEST(PoolCreation, UnsupportedThreadsMakeTheCallerTheOnlyWorker) {
  for (const int code : {ENOSYS, ENOTSUP}) {
    const auto starter = [code](std::function<void()>) -> std::thread {
      throw std::system_error(code, std::generic_category());
    };
    {
      WorkerPool pool(4, starter);
      EXPECT_EQ(pool.num_threads(), 1u);
      EXPECT_EQ(&detail::current_pool(), &pool);
      const auto me = std::this_thread::get_id();
      const auto out = parallel_map_collect(0, 20, [&](std::size_t i) {
        EXPECT_EQ(std::this_thread::get_id(), me);
        auto inner = parallel_map_collect(0, i, [](std::size_t k) { return k; });
        return std::accumulate(inner.begin(), inner.end(), std::size_t{0});
      });
      for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(out[i], i == 0 ? 0 : i * (i - 1) / 2);
    }
    EXPECT_EQ(detail::current_worker(), nullptr);
  }
}

// ---------------------------------------------------------------------------
// Waiting and waking

TEST(Pool, SurvivesManyHandoversAndSleeps) {
  WorkerPool pool(2);
  std::size_t total = 0;
  for (std::size_t k = 0; k < 3000; ++k) {
    // Now and then long enough apart for the workers to fall asleep, and
    // then a loop long enough for the caller to wake one.
    if (k % 300 == 0) {
      std::this_thread::sleep_for(3ms);
      pool.parallel_for(0, 8, [](std::size_t) { std::this_thread::sleep_for(50us); });
    }
    const auto out = pool.parallel_map_collect(0, 2 + k % 5, [](std::size_t i) { return i; });
    total += out.back();
  }
  std::size_t expected = 0;
  for (std::size_t k = 0; k < 3000; ++k) expected += 1 + k % 5;
  EXPECT_EQ(total, expected);
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST(Pool, IdleWorkersSleep) {
  WorkerPool pool(2);
  pool.parallel_for(0, 100, [](std::size_t) {});
  std::this_thread::sleep_for(50ms);
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(200ms);
  EXPECT_LT(process_cpu_seconds() - before, 0.02);
}

// Short calls in a row get help: the first one that follows the previous
// call closely wakes a sleeping worker, which then stays awake between them.
TEST(Pool, CallsInARowWakeASleepingWorker) {
  WorkerPool pool(2);
  pool.parallel_for(0, 2, [](std::size_t) {});
  std::this_thread::sleep_for(50ms);  // the worker is asleep now
  const auto caller = std::this_thread::get_id();
  std::atomic<int> helped{0};
  // On a busy machine the woken worker may wait for its processor a while.
  const auto give_up = std::chrono::steady_clock::now() + 2s;
  while (helped.load() == 0 && std::chrono::steady_clock::now() < give_up) {
    pool.parallel_for(0, 2, [&](std::size_t) {
      const auto until = std::chrono::steady_clock::now() + 50us;
      while (std::chrono::steady_clock::now() < until) {
      }
      if (std::this_thread::get_id() != caller) ++helped;
    });
  }
  // Each call is far shorter than the seat works alone before waking anyone.
  EXPECT_GT(helped.load(), 0);
}

// A worker woken from sleep by a thread that keeps computing runs with the
// allowed set it had: the pool never changes a thread's affinity.
TEST(Pool, WokenWorkerKeepsItsAllowedSet) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "needs two processors";
  WorkerPool pool(2);
  pool.parallel_for(0, 2, [](std::size_t) {});
  std::this_thread::sleep_for(50ms);  // the worker is asleep now
  std::atomic<bool> taken{false};
  cpu_set_t worker_set;
  CPU_ZERO(&worker_set);
  pool.parallel_for(0, 2, [&](std::size_t i) {
    if (i == 0) {  // the seat: computes until the other half was taken
      const auto start = std::chrono::steady_clock::now();
      bool asked = false;
      while (!taken.load() && std::chrono::steady_clock::now() - start < 5s) {
        // A nested join queues a job, where the seat asks for help once it
        // has worked long enough alone.
        if (!asked && std::chrono::steady_clock::now() - start > 1ms) {
          pool.join([] {}, [] {});
          asked = true;
        }
      }
    } else {
      sched_getaffinity(0, sizeof worker_set, &worker_set);
      taken = true;
    }
  });
  ASSERT_TRUE(taken.load());
  EXPECT_TRUE(CPU_EQUAL(&worker_set, &allowed));
}

TEST(Pool, ForkedChildBuildsAFreshPool) {
  // The parent's pool is running when the child is forked.
  const auto parent = parallel_map_collect(0, 100, [](std::size_t i) { return i; });
  ASSERT_EQ(parent.size(), 100u);
  WorkerPool* const inherited = &detail::global_pool();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang kills the child instead of the test run
    const auto out = parallel_map_collect(0, 1000, [](std::size_t i) { return i * 2; });
    bool ok = out.size() == 1000;
    for (std::size_t i = 0; ok && i < out.size(); ++i) ok = out[i] == i * 2;
    ok = ok && &detail::global_pool() != inherited;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace corvane::parallel
