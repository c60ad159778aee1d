#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>

#include "core/fp_mode.hpp"
#include "core/messages.hpp"
#include "parallel/thread_count.hpp"

namespace corvane::parallel {
namespace detail {
namespace {

thread_local Worker* t_worker = nullptr;

// An idle worker first polls briefly, then yields, for kSpinTime in all
// (back to back, the next call's loop follows within tens of microseconds,
// and a sleeping worker costs more to wake than it saves), then sleeps until
// woken. After the last call that costs at most kSpinTime of CPU per worker.
constexpr unsigned kPauseRounds = 16;
constexpr std::chrono::microseconds kSpinTime{300};

// How long the thread in the seat works alone before it wakes a sleeping
// worker. Measured on a 2-vCPU virtual machine: the wake costs the waker about
// 25 us, and a worker sent to the idle processor starts 70 to 180 us later
// (that processor has to be woken first), so an operation shorter than this
// is over, or nearly, before help arrives, and a longer one pays the wake at
// most once.
constexpr std::chrono::microseconds kLoneSeatTime{250};

// Calls that follow each other closer than this are a run of calls (a batch
// loop, or the decode and the masks of one frame): the seat wakes a sleeping
// worker at once, and idle workers keep polling for kSpinTime after the
// seat's last move, so that a run pays for one wake, not one per call.
constexpr std::chrono::microseconds kCallGap{1000};

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

void backoff(unsigned round) noexcept {
  if (round < kPauseRounds) {
    for (unsigned k = 0, n = 1u << std::min(round, 5u); k < n; ++k) cpu_relax();
  } else {
    std::this_thread::yield();
  }
}

}  // namespace

Worker* current_worker() noexcept { return t_worker; }

CurrentWorker::CurrentWorker(Worker* worker) noexcept : saved_(t_worker) { t_worker = worker; }

CurrentWorker::~CurrentWorker() { t_worker = saved_; }

void fatal(const char* what) noexcept {
  std::fprintf(stderr, "corvane worker pool: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

JobQueue::JobQueue() : ring_(64) {}

void JobQueue::push_back(JobRef job) noexcept {
  std::lock_guard lock(mu_);
  const std::size_t capacity = ring_.size();
  if (count_ == capacity) {
    try {
      std::vector<JobRef> grown(capacity * 2);
      for (std::size_t k = 0; k < count_; ++k) grown[k] = ring_[(head_ + k) & (capacity - 1)];
      ring_.swap(grown);
      head_ = 0;
    } catch (...) {
      fatal(messages::kQueueOutOfMemory);
    }
  }
  ring_[(head_ + count_) & (ring_.size() - 1)] = job;
  ++count_;
  publish_size();
}

JobRef JobQueue::pop_back() noexcept {
  if (!maybe_nonempty()) return {};
  std::lock_guard lock(mu_);
  if (count_ == 0) return {};
  --count_;
  const JobRef job = ring_[(head_ + count_) & (ring_.size() - 1)];
  publish_size();
  return job;
}

JobRef JobQueue::pop_front() noexcept {
  if (!maybe_nonempty()) return {};
  std::lock_guard lock(mu_);
  if (count_ == 0) return {};
  const JobRef job = ring_[head_];
  head_ = (head_ + 1) & (ring_.size() - 1);
  --count_;
  publish_size();
  return job;
}

bool JobQueue::pop_back_if(const void* data) noexcept {
  std::lock_guard lock(mu_);
  if (count_ == 0) return false;
  if (ring_[(head_ + count_ - 1) & (ring_.size() - 1)].data != data) return false;
  --count_;
  publish_size();
  return true;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// WorkerPool

namespace {

std::thread start_std_thread(std::function<void()> main) { return std::thread(std::move(main)); }

bool threads_unsupported(const std::error_code& code) {
  return code == std::errc::function_not_supported || code == std::errc::not_supported ||
         code == std::errc::operation_not_supported;
}

std::uint64_t seed_for(std::size_t index) {
  std::uint64_t z = (index + 1) * 0x9E3779B97F4A7C15ull;  // splitmix64
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return (z ^ (z >> 31)) | 1;
}

}  // namespace

WorkerPool::WorkerPool(std::size_t num_threads) : WorkerPool(num_threads, &start_std_thread) {}

WorkerPool::WorkerPool(std::size_t num_threads, const ThreadStarter& start_thread)
    : num_threads_(std::clamp<std::size_t>(num_threads, 1, kMaxWorkers)),
      workers_(new detail::Worker[num_threads_]) {
  for (std::size_t k = 0; k < num_threads_; ++k) {
    workers_[k].pool = this;
    workers_[k].index = k;
    workers_[k].random = seed_for(k);
  }
  start_workers(start_thread);
}

// Record 0 is the seat of the outside caller; the others get threads.
void WorkerPool::start_workers(const ThreadStarter& start_thread) {
  threads_.reserve(num_threads_ - 1);
  try {
    for (std::size_t k = 1; k < num_threads_; ++k) {
      threads_.push_back(start_thread([this, k] { worker_main(workers_[k]); }));
    }
  } catch (const std::system_error& error) {
    stop_workers();
    if (!threads_unsupported(error.code()) || detail::current_worker() != nullptr) throw;
    // No threads on this platform: the creating thread becomes the only
    // worker and runs the pool's jobs inside its own joins.
    threads_.clear();
    terminating_.store(false);
    num_threads_ = 1;
    seat_taken_.store(true);
    adopted_caller_ = &workers_[0];
    detail::t_worker = adopted_caller_;
  } catch (...) {
    stop_workers();
    throw;
  }
  // Each thread has set up its thread-local state before the pool is used:
  // a thread's first access to it allocates it, and a thread that did so
  // only later, after the process had run short of memory, would abort.
  for (std::size_t n = started_.load(); n < threads_.size(); n = started_.load()) started_.wait(n);
}

void WorkerPool::stop_workers() noexcept {
  terminating_.store(true, std::memory_order_seq_cst);
  for (std::size_t k = 0; k < num_threads_; ++k) {
    detail::Worker& worker = workers_[k];
    std::lock_guard lock(worker.sleep_mu);
    worker.wake = true;
    worker.sleep_cv.notify_one();
  }
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

WorkerPool::~WorkerPool() {
  stop_workers();
  if (adopted_caller_ != nullptr && detail::t_worker == adopted_caller_) detail::t_worker = nullptr;
}

void WorkerPool::detach_threads() noexcept {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.detach();
  }
}

void WorkerPool::worker_main(detail::Worker& worker) noexcept {
  set_ieee_mode();  // not the mode of whichever thread created the pool
  detail::t_worker = &worker;
  started_.fetch_add(1);
  started_.notify_all();
  wait_until(worker, terminating_);
  detail::t_worker = nullptr;
}

void WorkerPool::push_local(detail::Worker& worker, detail::JobRef job) noexcept {
  worker.deque.push_back(job);
  // A worker that is awake finds the job by itself; waking a sleeping one
  // costs the caller tens of microseconds and the worker arrives a hundred or
  // more later, so a short operation is better left to the seat alone.
  // The seat takes back every job nobody took, so none is stranded.
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  if (&worker == &workers_[0] && !seat_wants_help()) return;
  notify_work();
}

std::chrono::steady_clock::time_point WorkerPool::seat_moved() const noexcept {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(seat_moved_.load(std::memory_order_relaxed)));
}

void WorkerPool::enter_seat() noexcept {
  const auto now = std::chrono::steady_clock::now();
  seat_help_from_ = now - seat_moved() < detail::kCallGap ? now : now + detail::kLoneSeatTime;
  seat_moved_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
}

void WorkerPool::leave_seat() noexcept {
  seat_moved_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                    std::memory_order_relaxed);
  seat_taken_.store(false, std::memory_order_release);
}

bool WorkerPool::seat_wants_help() const noexcept {
  return std::chrono::steady_clock::now() >= seat_help_from_;
}

void WorkerPool::inject(detail::JobRef job) noexcept {
  injector_.push_back(job);
  notify_work();
}

// The queue's size was published (sequentially consistent) before this load;
// a worker going to sleep counts itself before it re-checks the queues, so
// either it sees the job or we see it.
void WorkerPool::notify_work() noexcept {
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  const std::size_t n = num_threads_;
  const std::size_t first = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % n;
  for (std::size_t k = 0; k < n; ++k) {
    if (detail::wake_worker(workers_[(first + k) % n], true)) return;
  }
}

detail::JobRef WorkerPool::find_work(detail::Worker& worker) noexcept {
  if (detail::JobRef job = worker.deque.pop_back(); job.data != nullptr) return job;
  const std::size_t n = num_threads_;
  if (n > 1) {
    std::uint64_t& x = worker.random;  // xorshift64: only this worker touches it
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const std::size_t first = static_cast<std::size_t>(x % n);
    for (std::size_t k = 0; k < n; ++k) {
      detail::Worker& victim = workers_[(first + k) % n];
      if (&victim == &worker) continue;
      if (detail::JobRef job = victim.deque.pop_front(); job.data != nullptr) return job;
    }
  }
  return injector_.pop_front();
}

bool WorkerPool::has_work() const noexcept {
  if (injector_.maybe_nonempty()) return true;
  for (std::size_t k = 0; k < num_threads_; ++k) {
    if (workers_[k].deque.maybe_nonempty()) return true;
  }
  return false;
}

void WorkerPool::wait_until(detail::Worker& worker, const std::atomic<bool>& done) noexcept {
  unsigned rounds = 0;
  std::chrono::steady_clock::time_point idle_since{};
  while (!done.load(std::memory_order_acquire)) {
    if (detail::JobRef job = find_work(worker); job.data != nullptr) {
      job.execute(job.data, worker);
      rounds = 0;
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (rounds == 0) idle_since = now;
    if (now - std::max(idle_since, seat_moved()) < detail::kSpinTime) {
      detail::backoff(rounds++);
    } else {
      sleep(worker, done);
      rounds = 0;
    }
  }
}

void WorkerPool::sleep(detail::Worker& worker, const std::atomic<bool>& done) noexcept {
  std::unique_lock lock(worker.sleep_mu);
  worker.sleeping.store(true, std::memory_order_seq_cst);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  if (!done.load(std::memory_order_seq_cst) && !has_work()) {
    while (!worker.wake) worker.sleep_cv.wait(lock);
  }
  worker.wake = false;
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
  worker.sleeping.store(false, std::memory_order_seq_cst);
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace detail {
namespace {

std::string describe(const std::system_error& error) {
  return error.code().message() + " (os error " + std::to_string(error.code().value()) + ")";
}

WorkerPool* make_global_pool() {
  auto pool = std::make_unique<WorkerPool>(worker_count_from_environment());
  pool->detach_threads();
  return pool.release();  // never torn down: workers live until the process ends
}

constinit PoolSlot g_pool_slot(&make_global_pool);

// A forked child has only the forking thread: the inherited pool's workers
// are gone and its locks may be held forever. Abandon it (never touch or free
// it) so that the child's first loop builds a fresh pool.
void forget_pool_in_child() noexcept {
  ::new (static_cast<void*>(&g_pool_slot)) PoolSlot(&make_global_pool);
  t_worker = nullptr;
}

[[maybe_unused]] const int g_fork_handler =
    ::pthread_atfork(nullptr, nullptr, &forget_pool_in_child);

}  // namespace

WorkerPool& PoolSlot::get() {
  if (WorkerPool* pool = pool_.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(mu_);
  if (WorkerPool* pool = pool_.load(std::memory_order_relaxed)) return *pool;
  if (attempted_) {
    throw Panic(std::string(messages::kPoolNotInitialized) +
                ": its one creation attempt already failed (" + cause_ + ")");
  }
  attempted_ = true;
  try {
    WorkerPool* pool = make_();
    pool_.store(pool, std::memory_order_release);
    return *pool;
  } catch (const std::system_error& error) {
    cause_ = describe(error);
  } catch (const std::exception& error) {
    cause_ = error.what();
  }
  throw Panic(std::string(messages::kPoolNotInitialized) + ": " + cause_);
}

WorkerPool& global_pool() { return g_pool_slot.get(); }

}  // namespace detail

}  // namespace corvane::parallel
