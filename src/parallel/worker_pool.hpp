// A pool of worker threads with work-stealing joins, and the loop operations
// built on them. The process uses one of these (see pool.hpp); tests build
// their own with a chosen worker count.
//
// A pool of n computing threads starts n - 1 threads: the thread outside the
// pool that starts an operation computes too, in the pool's seat (worker
// record 0), instead of sleeping while others work. Waking an idle thread
// costs tens of microseconds, far more than a typical loop piece, so the
// caller starts on the loop at once and woken workers steal what is left.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/fp_mode.hpp"
#include "parallel/jobs.hpp"

namespace corvane::parallel {

class WorkerPool {
 public:
  // Starts one thread; the pool passes the worker's main loop.
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;

  // A pool of `num_threads` computing threads (clamped to 1..kMaxWorkers):
  // num_threads - 1 started threads and the seat. When the platform reports
  // that threads are unsupported and the caller is not a worker, the pool has
  // one worker instead: the calling thread itself, which keeps the seat and
  // runs every job of the pool inside its own joins. Any other failure to
  // start a worker stops those already started and throws std::system_error.
  explicit WorkerPool(std::size_t num_threads);
  WorkerPool(std::size_t num_threads, const ThreadStarter& start_thread);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Computing threads: the started workers and the seat.
  std::size_t num_threads() const noexcept { return num_threads_; }

  // For a pool that lives until the process ends: its threads are never joined.
  void detach_threads() noexcept;

  // Runs a and b, possibly in parallel, and returns both results once both
  // are done (std::monostate stands for a void result). If a fails, b still
  // runs to completion and a's failure is rethrown; otherwise b's is.
  template <class A, class B>
  auto join(A&& a, B&& b) -> std::pair<detail::result_of_t<A&>, detail::result_of_t<B&>>;

  // Runs f as one operation of the pool and returns its result
  // (std::monostate for void). Outside the pool, f is placed as any
  // operation is (in the seat, or handed over while another thread holds
  // it), so the loops f starts belong to that one operation and the seat
  // times them as a whole; on one of the pool's workers f simply runs there.
  template <class F>
  auto run_in_pool(F&& f) -> detail::result_of_t<F&>;

  // Calls body(i) exactly once for every i in [begin, end).
  template <class Body>
  void parallel_for(std::size_t begin, std::size_t end, Body&& body);

  // The vector whose element k is f(begin + k).
  template <class F>
  auto parallel_map_collect(std::size_t begin, std::size_t end, F&& f)
      -> std::vector<std::invoke_result_t<F&, std::size_t>>;

  // Takes the items by move; the vector whose element k is f(item k). The
  // input vector is left empty with its storage released.
  template <class T, class F>
  auto parallel_map_collect(std::vector<T>&& items, F&& f)
      -> std::vector<std::invoke_result_t<F&, T&&>>;

 private:
  void start_workers(const ThreadStarter& start_thread);
  void stop_workers() noexcept;
  void worker_main(detail::Worker& worker) noexcept;

  void push_local(detail::Worker& worker, detail::JobRef job) noexcept;
  // The seat's bookkeeping for when it wakes workers, on its thread.
  void enter_seat() noexcept;
  void leave_seat() noexcept;
  // When the seat was last taken or left.
  std::chrono::steady_clock::time_point seat_moved() const noexcept;
  // Whether the seat's operation has run long enough, or follows the previous
  // one closely enough, to be worth waking a sleeping worker for.
  bool seat_wants_help() const noexcept;
  void inject(detail::JobRef job) noexcept;
  void notify_work() noexcept;
  detail::JobRef find_work(detail::Worker& worker) noexcept;
  bool has_work() const noexcept;
  // Runs other jobs until `done`, then sleeps when there are none.
  void wait_until(detail::Worker& worker, const std::atomic<bool>& done) noexcept;
  void sleep(detail::Worker& worker, const std::atomic<bool>& done) noexcept;

  bool is_own_worker(const detail::Worker* worker) const noexcept {
    return worker != nullptr && worker->pool == this;
  }

  // Runs op(worker, true) for a thread outside the pool: in the seat when it
  // is free; else, while another outside thread holds it, handed to the
  // workers (blocking until it has run), or, when there are no workers, on a
  // record of the caller's own that no other thread sees.
  template <class Op>
  auto run_outside(Op& op) -> detail::result_of_t<Op&, detail::Worker&, bool>;
  template <class Op>
  auto run_as(detail::Worker& worker, Op& op) -> detail::result_of_t<Op&, detail::Worker&, bool>;

  // The join on a worker: b goes on the worker's deque, a runs here, then b
  // is taken back or waited for. `injected` tells that the join was created
  // by a thread outside the pool, so that both halves count as moved.
  template <class A, class B>
  auto join_context(detail::Worker& worker, bool injected, A& a, B& b)
      -> std::pair<detail::result_of_t<A&, detail::Worker&, bool>,
                   detail::result_of_t<B&, detail::Worker&, bool>>;

  // A loop over [begin, end): leaf(b, e) runs a sequential piece, reduce
  // joins the results of two adjacent pieces (left, right).
  template <class Leaf, class Reduce>
  auto run_loop(std::size_t begin, std::size_t end, Leaf& leaf, Reduce& reduce)
      -> decltype(leaf(begin, end));

  template <class Leaf, class Reduce>
  auto divide(detail::Worker& worker, std::size_t begin, std::size_t end, detail::Splitter splitter,
              bool moved, Leaf& leaf, Reduce& reduce) -> decltype(leaf(begin, end));

  template <class R, class Fill>
  std::vector<R> collect(std::size_t len, Fill& fill);

  std::size_t num_threads_;
  std::unique_ptr<detail::Worker[]> workers_;
  detail::JobQueue injector_;
  alignas(64) std::atomic<std::size_t> sleepers_{0};
  std::atomic<std::size_t> wake_cursor_{0};
  std::atomic<bool> terminating_{false};
  std::atomic<std::size_t> started_{0};  // threads that have entered worker_main
  // Whether an outside thread (or the adopted creator) sits in workers_[0];
  // from when on the thread in the seat wakes sleeping workers (only it uses
  // this); and when the seat was last taken or left, in steady-clock ticks.
  alignas(64) std::atomic<bool> seat_taken_{false};
  std::chrono::steady_clock::time_point seat_help_from_{};
  std::atomic<std::chrono::steady_clock::rep> seat_moved_{0};
  std::vector<std::thread> threads_;
  // The creating thread when it had to stand in as the only worker.
  detail::Worker* adopted_caller_ = nullptr;
};

// ---------------------------------------------------------------------------

template <class Op>
auto WorkerPool::run_as(detail::Worker& worker, Op& op)
    -> detail::result_of_t<Op&, detail::Worker&, bool> {
  const detail::CurrentWorker scope(&worker);
  const IeeeModeScope ieee_mode;  // as on the workers, whatever the caller's mode
  return detail::call(op, worker, true);
}

template <class Op>
auto WorkerPool::run_outside(Op& op) -> detail::result_of_t<Op&, detail::Worker&, bool> {
  if (!seat_taken_.exchange(true, std::memory_order_acquire)) {
    struct Release {
      WorkerPool& pool;
      ~Release() { pool.leave_seat(); }
    } release{*this};
    enter_seat();
    return run_as(workers_[0], op);
  }
  if (num_threads_ == 1) {
    detail::Worker own;
    own.pool = this;
    return run_as(own, op);
  }
  detail::InjectedJob<Op, detail::result_of_t<Op&, detail::Worker&, bool>> job(op);
  inject(job.ref());
  job.latch.wait();
  if (job.error) std::rethrow_exception(job.error);
  return std::move(*job.result);
}

template <class A, class B>
auto WorkerPool::join_context(detail::Worker& worker, bool injected, A& a, B& b)
    -> std::pair<detail::result_of_t<A&, detail::Worker&, bool>,
                 detail::result_of_t<B&, detail::Worker&, bool>> {
  using RA = detail::result_of_t<A&, detail::Worker&, bool>;
  using RB = detail::result_of_t<B&, detail::Worker&, bool>;
  detail::ForkJob<B, RB> fork(b, worker);
  push_local(worker, fork.ref());

  std::optional<RA> ra;
  std::exception_ptr failure;
  try {
    ra.emplace(detail::call(a, worker, injected));
  } catch (...) {
    failure = std::current_exception();
  }
  // b runs to completion even when a failed: other pieces never stop early.
  if (worker.deque.pop_back_if(&fork)) {
    fork.run(worker, injected);
  } else {
    wait_until(worker, fork.done);
  }
  if (failure) std::rethrow_exception(failure);
  if (fork.error) std::rethrow_exception(fork.error);
  return {std::move(*ra), std::move(*fork.result)};
}

template <class A, class B>
auto WorkerPool::join(A&& a, B&& b) -> std::pair<detail::result_of_t<A&>, detail::result_of_t<B&>> {
  auto run_a = [&a](detail::Worker&, bool) { return detail::call(a); };
  auto run_b = [&b](detail::Worker&, bool) { return detail::call(b); };
  if (detail::Worker* worker = detail::current_worker(); is_own_worker(worker)) {
    return join_context(*worker, false, run_a, run_b);
  }
  auto op = [&](detail::Worker& worker, bool injected) {
    return join_context(worker, injected, run_a, run_b);
  };
  return run_outside(op);
}

template <class F>
auto WorkerPool::run_in_pool(F&& f) -> detail::result_of_t<F&> {
  if (is_own_worker(detail::current_worker())) return detail::call(f);
  auto op = [&f](detail::Worker&, bool) { return detail::call(f); };
  return run_outside(op);
}

template <class Leaf, class Reduce>
auto WorkerPool::divide(detail::Worker& worker, std::size_t begin, std::size_t end,
                        detail::Splitter splitter, bool moved, Leaf& leaf, Reduce& reduce)
    -> decltype(leaf(begin, end)) {
  if (!splitter.try_split(end - begin, moved, num_threads_)) return leaf(begin, end);
  const std::size_t mid = begin + (end - begin) / 2;
  auto left = [&](detail::Worker& w, bool m) {
    return divide(w, begin, mid, splitter, m, leaf, reduce);
  };
  auto right = [&](detail::Worker& w, bool m) {
    return divide(w, mid, end, splitter, m, leaf, reduce);
  };
  auto halves = join_context(worker, false, left, right);
  return reduce(std::move(halves.first), std::move(halves.second));
}

template <class Leaf, class Reduce>
auto WorkerPool::run_loop(std::size_t begin, std::size_t end, Leaf& leaf, Reduce& reduce)
    -> decltype(leaf(begin, end)) {
  detail::Splitter splitter{num_threads_};
  if (detail::Worker* worker = detail::current_worker(); is_own_worker(worker)) {
    return divide(*worker, begin, end, splitter, false, leaf, reduce);
  }
  // Outside the pool: the first division happens here and both halves count
  // as moved, whichever thread runs them. Loops of 0 or 1 element never
  // enter the pool.
  if (!splitter.try_split(end - begin, false, num_threads_)) return leaf(begin, end);
  const std::size_t mid = begin + (end - begin) / 2;
  auto left = [&](detail::Worker& w, bool m) {
    return divide(w, begin, mid, splitter, m, leaf, reduce);
  };
  auto right = [&](detail::Worker& w, bool m) {
    return divide(w, mid, end, splitter, m, leaf, reduce);
  };
  auto op = [&](detail::Worker& worker, bool injected) {
    return join_context(worker, injected, left, right);
  };
  auto halves = run_outside(op);
  return reduce(std::move(halves.first), std::move(halves.second));
}

template <class Body>
void WorkerPool::parallel_for(std::size_t begin, std::size_t end, Body&& body) {
  auto leaf = [&body](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) std::invoke(body, i);
    return detail::Unit{};
  };
  auto reduce = [](detail::Unit, detail::Unit) { return detail::Unit{}; };
  run_loop(begin, end > begin ? end : begin, leaf, reduce);
}

// fill(run, b, e) constructs the results of positions [b, e) into `run`.
template <class R, class Fill>
std::vector<R> WorkerPool::collect(std::size_t len, Fill& fill) {
  // The slots first: they fail cleanly when len is beyond any memory, and
  // the vector's storage is the same size.
  detail::Slots<R> slots(len);
  std::vector<R> out;
  out.reserve(len);
  auto leaf = [&](std::size_t b, std::size_t e) {
    detail::CollectRun<R> run(slots.data() + b, e - b);
    fill(run, b, e);
    return run;
  };
  auto reduce = [](detail::CollectRun<R>&& left, detail::CollectRun<R>&& right) {
    return std::move(left).merge(std::move(right));
  };
  detail::CollectRun<R> all = run_loop(0, len, leaf, reduce);
  if (all.written() != len) {
    throw Panic("expected " + std::to_string(len) + " total writes, but got " +
                std::to_string(all.written()));
  }
  // The slots cannot become the vector's own storage; moving the values over
  // once keeps results that are move-only or not default-constructible.
  R* const values = slots.data();
  for (std::size_t k = 0; k < len; ++k) out.push_back(std::move(values[k]));
  return out;
}

template <class F>
auto WorkerPool::parallel_map_collect(std::size_t begin, std::size_t end, F&& f)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  using R = std::invoke_result_t<F&, std::size_t>;
  auto fill = [&](detail::CollectRun<R>& run, std::size_t b, std::size_t e) {
    for (std::size_t k = b; k < e; ++k) run.push([&] { return std::invoke(f, begin + k); });
  };
  return collect<R>(end > begin ? end - begin : 0, fill);
}

template <class T, class F>
auto WorkerPool::parallel_map_collect(std::vector<T>&& items, F&& f)
    -> std::vector<std::invoke_result_t<F&, T&&>> {
  using R = std::invoke_result_t<F&, T&&>;
  // Owning the items here leaves the caller's vector empty and releases its
  // storage when this returns; items a failure left unprocessed go with it.
  std::vector<T> owned = std::move(items);
  auto fill = [&](detail::CollectRun<R>& run, std::size_t b, std::size_t e) {
    for (std::size_t k = b; k < e; ++k)
      run.push([&] { return std::invoke(f, std::move(owned[k])); });
  };
  return collect<R>(owned.size(), fill);
}

}  // namespace corvane::parallel
