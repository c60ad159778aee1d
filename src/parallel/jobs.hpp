// Building blocks of the worker pool: queued jobs, the per-worker record, the
// two ways of waiting for a job, the split budget and the ordered output runs.
// Only worker_pool.hpp and pool.cpp use these.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/messages.hpp"
#include "core/panic.hpp"

namespace corvane::parallel {

class WorkerPool;

namespace detail {

// What a task yields when its body returns nothing, so that void and
// value-returning callables go through the same join.
using Unit = std::monostate;

template <class F, class... Args>
using result_of_t = std::conditional_t<std::is_void_v<std::invoke_result_t<F, Args...>>, Unit,
                                       std::invoke_result_t<F, Args...>>;

template <class F, class... Args>
result_of_t<F&, Args...> call(F& f, Args&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, Args...>>) {
    std::invoke(f, std::forward<Args>(args)...);
    return Unit{};
  } else {
    return std::invoke(f, std::forward<Args>(args)...);
  }
}

// Writes a one-line diagnostic and aborts: the scheduler itself cannot fail
// half-way without leaving waiters that would never wake.
[[noreturn]] void fatal(const char* what) noexcept;

struct Worker;

// A queued job: it lives on the stack of the thread that waits for it, which
// stays blocked until the job has run, so a queue never owns anything.
struct JobRef {
  void* data = nullptr;
  void (*execute)(void* data, Worker& worker) noexcept = nullptr;
};

// Double-ended job queue. The owning worker pushes and pops at the back
// (newest first, which keeps its stack of joins in order); other workers
// steal from the front, where the largest pieces sit. A mutex is plenty: a
// queue sees a handful of operations per loop, not per element.
class JobQueue {
 public:
  JobQueue();
  void push_back(JobRef job) noexcept;
  JobRef pop_back() noexcept;
  JobRef pop_front() noexcept;
  // Takes back the newest job when it is still `data`; false once another
  // worker has stolen it.
  bool pop_back_if(const void* data) noexcept;
  // Lock-free emptiness hint. Sequentially consistent so that a worker going
  // to sleep and a thread queueing work cannot both miss each other.
  bool maybe_nonempty() const noexcept { return size_.load(std::memory_order_seq_cst) != 0; }

 private:
  void publish_size() noexcept { size_.store(count_, std::memory_order_seq_cst); }

  std::mutex mu_;
  std::vector<JobRef> ring_;  // power-of-two capacity
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::atomic<std::size_t> size_{0};
};

struct alignas(64) Worker {
  WorkerPool* pool = nullptr;
  std::size_t index = 0;
  std::uint64_t random = 0;  // victim choice when stealing
  JobQueue deque;
  std::mutex sleep_mu;
  std::condition_variable sleep_cv;
  std::atomic<bool> sleeping{false};
  bool wake = false;  // guarded by sleep_mu
};

// The worker record of the calling thread, null outside every pool.
Worker* current_worker() noexcept;

// Makes `worker` the calling thread's record for the scope's lifetime.
class CurrentWorker {
 public:
  explicit CurrentWorker(Worker* worker) noexcept;
  ~CurrentWorker();
  CurrentWorker(const CurrentWorker&) = delete;
  CurrentWorker& operator=(const CurrentWorker&) = delete;

 private:
  Worker* saved_;
};

// Wakes `worker` if it is asleep, so that it re-checks what it waits for.
// With `only_idle`, not when someone else is already waking it. True when
// this call woke it. The notification comes after the lock is released, so
// the woken thread does not block on it at once; the flag set under the lock
// is what it checks, so a late notification only wakes it for nothing.
inline bool wake_worker(Worker& worker, bool only_idle = false) noexcept {
  if (!worker.sleeping.load(std::memory_order_seq_cst)) return false;
  {
    std::lock_guard lock(worker.sleep_mu);
    if (!worker.sleeping.load(std::memory_order_relaxed) || (only_idle && worker.wake))
      return false;
    worker.wake = true;
  }
  worker.sleep_cv.notify_one();
  return true;
}

// The second half of a join, offered to other workers while the first half
// runs. `done` is the flag the owner polls while helping with other work.
template <class F, class R>
struct ForkJob {
  ForkJob(F& body, Worker& waiter) noexcept : f(body), owner(waiter) {}

  JobRef ref() noexcept { return {this, &execute}; }

  void run(Worker& worker, bool moved) noexcept {
    try {
      result.emplace(call(f, worker, moved));
    } catch (...) {
      error = std::current_exception();
    }
  }

  static void execute(void* data, Worker& worker) noexcept {
    auto* job = static_cast<ForkJob*>(data);
    Worker& owner = job->owner;
    job->run(worker, &worker != &owner);
    // The owner may return and drop the job as soon as it sees `done`.
    job->done.store(true, std::memory_order_seq_cst);
    if (&worker != &owner) wake_worker(owner);
  }

  F& f;
  Worker& owner;
  std::optional<R> result;
  std::exception_ptr error;
  std::atomic<bool> done{false};
};

// Blocking signal for a thread outside the pool: it sleeps until set.
class LockLatch {
 public:
  void set() noexcept {
    std::lock_guard lock(mu_);
    set_ = true;
    // Notified under the lock, so the waiter cannot return and destroy the
    // latch before this call has finished with it.
    cv_.notify_all();
  }
  void wait() noexcept {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return set_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

// Work handed to the pool by a thread that is not one of its workers.
template <class Op, class R>
struct InjectedJob {
  explicit InjectedJob(Op& body) noexcept : op(body) {}

  JobRef ref() noexcept { return {this, &execute}; }

  static void execute(void* data, Worker& worker) noexcept {
    auto* job = static_cast<InjectedJob*>(data);
    try {
      job->result.emplace(call(job->op, worker, true));
    } catch (...) {
      job->error = std::current_exception();
    }
    job->latch.set();
  }

  Op& op;
  std::optional<R> result;
  std::exception_ptr error;
  LockLatch latch;
};

// Split budget of a piece of a loop. A long loop ends up in a few pieces per
// worker; a piece that moved to another thread found that thread idle, so it
// gets a fresh budget and is divided again.
struct Splitter {
  std::size_t splits;

  bool try_split(std::size_t len, bool moved, std::size_t num_threads) noexcept {
    if (len < 2) return false;
    if (moved) {
      splits = std::max(num_threads, splits / 2);
      return true;
    }
    if (splits > 0) {
      splits /= 2;
      return true;
    }
    return false;
  }
};

// Uninitialised storage for the results of an ordered collection, allocated
// once before any task runs; the runs below own the values constructed in it.
// A length no memory can hold is std::bad_alloc, taken from the operator new
// that reports failure by returning null: the throwing one ends the process
// instead under AddressSanitizer, and a batch of 2^40 empty images asks for
// terabytes here.
template <class R>
class Slots {
 public:
  static_assert(alignof(R) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  explicit Slots(std::size_t len) : data_(len > 0 ? allocate(len) : nullptr) {}
  ~Slots() { ::operator delete(data_); }
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  R* data() const noexcept { return data_; }

 private:
  static R* allocate(std::size_t len) {
    if (len > SIZE_MAX / sizeof(R)) throw std::bad_alloc();
    void* const memory = ::operator new(len * sizeof(R), std::nothrow);
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<R*>(memory);
  }

  R* data_;
};

// A filled run [start, start + written) of the output, owned until handed on:
// dropping a run (a failure, or a run that does not continue its left
// neighbour) destroys exactly the values it wrote.
template <class R>
class CollectRun {
 public:
  CollectRun(R* start, std::size_t capacity) noexcept : start_(start), capacity_(capacity) {}
  CollectRun(CollectRun&& other) noexcept
      : start_(other.start_),
        capacity_(other.capacity_),
        written_(std::exchange(other.written_, 0)) {}
  CollectRun& operator=(CollectRun&&) = delete;
  ~CollectRun() { std::destroy_n(start_, written_); }

  template <class Make>
  void push(Make&& make) {
    if (written_ == capacity_) throw Panic(messages::kTooManyValues);
    ::new (static_cast<void*>(start_ + written_)) R(make());
    ++written_;
  }

  // Adjacent runs become one; a run that does not continue this one is
  // dropped with its values, and the final count check reports the gap.
  CollectRun merge(CollectRun&& right) && noexcept {
    if (start_ + written_ == right.start_) {
      capacity_ += right.capacity_;
      written_ += std::exchange(right.written_, 0);
    }
    return std::move(*this);
  }

  std::size_t written() const noexcept { return written_; }

 private:
  R* start_;
  std::size_t capacity_;
  std::size_t written_ = 0;
};

}  // namespace detail
}  // namespace corvane::parallel
