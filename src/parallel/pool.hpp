// The process-wide worker pool and the loop operations every kernel uses.
//
// The pool is created by the first operation that needs it (never at import),
// sized from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS or the processors the
// process may run on, and lives until the process ends. That size counts the
// computing threads: the calling thread works on its loops too, so a pool of
// n starts n - 1 threads (none for 1). An operation started inside a task
// runs on the pool of the worker that runs the task.
//
// Every operation returns only when none of its tasks runs anywhere any more,
// so tasks may borrow the caller's data. A failing body ends only its own
// sequential piece; once everything has stopped, the failure of the
// lowest-indexed failing piece is rethrown on the calling thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/worker_pool.hpp"

namespace corvane::parallel {

namespace detail {

// The global pool, created on first use. Throws Panic("The global thread pool
// has not been initialized.: <cause>") when creation failed, now or earlier.
WorkerPool& global_pool();

inline WorkerPool& current_pool() {
  if (Worker* worker = current_worker()) return *worker->pool;
  return global_pool();
}

// Creates a pool exactly once, however many threads ask at the same time, and
// remembers a failure for good. The process's pool is one of these; tests
// make their own.
class PoolSlot {
 public:
  using Factory = WorkerPool* (*)();
  constexpr explicit PoolSlot(Factory make) noexcept : make_(make) {}

  WorkerPool& get();

 private:
  Factory make_;
  std::atomic<WorkerPool*> pool_{nullptr};
  std::mutex mu_;
  bool attempted_ = false;
  std::string cause_;
};

}  // namespace detail

// Computing threads of the pool the caller's loops run on (the calling
// thread included): kernels size their pieces by it, never their results.
inline std::size_t num_threads() { return detail::current_pool().num_threads(); }

// Calls body(i) exactly once for every i in [begin, end).
template <class Body>
void parallel_for(std::size_t begin, std::size_t end, Body&& body) {
  detail::current_pool().parallel_for(begin, end, body);
}

// Returns the vector whose element k is f(begin + k).
template <class F>
auto parallel_map_collect(std::size_t begin, std::size_t end, F&& f)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  return detail::current_pool().parallel_map_collect(begin, end, f);
}

// Takes the items by move; returns the vector whose element k is f(item k).
// The input vector is left empty with its storage released.
template <class T, class F>
auto parallel_map_collect(std::vector<T>&& items, F&& f)
    -> std::vector<std::invoke_result_t<F&, T&&>> {
  return detail::current_pool().parallel_map_collect(std::move(items), f);
}

// Runs a and b, possibly in parallel; returns both results once both are done
// (a void result comes back as std::monostate).
template <class A, class B>
auto join(A&& a, B&& b) {
  return detail::current_pool().join(a, b);
}

// Runs f as one operation of the pool, on the calling thread when it can
// take the pool's seat, and returns its result (std::monostate for void): the
// loops f starts are timed together, as one call, when the pool decides
// whether waking a worker pays.
template <class F>
auto run_in_pool(F&& f) {
  return detail::current_pool().run_in_pool(f);
}

}  // namespace corvane::parallel
