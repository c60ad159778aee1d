// Which processor a woken worker runs on.
//
// A worker is woken by a thread that is busy computing (the caller in the
// seat, or another worker), and the scheduler does not always send it to an
// idle processor: measured on a 2-vCPU virtual machine, a worker woken after
// a pause mostly started on the waker's own processor and waited there until
// the waker's loop was done, which made a second worker slower than none.
// So the waker takes its own processor out of the sleeping worker's allowed
// set before the wake (when the set has another one), and
// the worker restores its own set once it runs (the set it had at the wake:
// an affinity change made for the whole process while it sleeps steered is
// undone for this thread). Threads outside the pool are never touched, and
// where the platform has no such control this does nothing.
#pragma once

#if defined(__linux__)
#include <sched.h>
#endif

namespace corvane::parallel::detail {

class Placement {
 public:
  // On the worker's own thread, once, before its first sleep.
  void adopt_current_thread() noexcept;
  // On the worker's thread, after a wake: gives back the set it had.
  void after_wake() noexcept;
  // On the waking thread, before the wake is signalled, under the lock the
  // worker checks its wake flag with (so after_wake cannot run meanwhile).
  void steer_away_from_caller() noexcept;

 private:
#if defined(__linux__)
  int tid_ = 0;  // the worker's kernel thread id; 0 for the seat
  bool steered_ = false;  // guarded by the worker's sleep lock
  cpu_set_t saved_{};
#endif
};

}  // namespace corvane::parallel::detail
