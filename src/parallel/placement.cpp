#include "parallel/placement.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#include <cstddef>
#include <unistd.h>
#endif

namespace corvane::parallel::detail {

#if defined(__linux__)

void Placement::adopt_current_thread() noexcept {
  tid_ = static_cast<int>(::syscall(SYS_gettid));
}

void Placement::after_wake() noexcept {
  if (!steered_) return;
  steered_ = false;
  ::sched_setaffinity(0, sizeof saved_, &saved_);
}

void Placement::steer_away_from_caller() noexcept {
  if (tid_ == 0 || steered_) return;
  const int here = ::sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE) return;
  if (::sched_getaffinity(tid_, sizeof saved_, &saved_) != 0) return;
  if (!CPU_ISSET(static_cast<std::size_t>(here), &saved_)) return;
  cpu_set_t elsewhere = saved_;
  CPU_CLR(static_cast<std::size_t>(here), &elsewhere);
  // A worker allowed only here stays here; a failed call leaves it as it was.
  if (CPU_COUNT(&elsewhere) == 0) return;
  steered_ = ::sched_setaffinity(tid_, sizeof elsewhere, &elsewhere) == 0;
}

#else

void Placement::adopt_current_thread() noexcept {}
void Placement::after_wake() noexcept {}
void Placement::steer_away_from_caller() noexcept {}

#endif

}  // namespace corvane::parallel::detail
