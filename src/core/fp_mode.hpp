// The floating-point environment every computation runs in: round to nearest,
// subnormals kept (no flush-to-zero, no denormals-are-zero), exceptions
// masked. A library loaded into the process may have set another mode on the
// calling thread (fast-math builds do, at load time), and threads inherit it
// from their creator; the documented float32 results need IEEE behaviour.
#pragma once

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <xmmintrin.h>
#define CORVANE_HAS_MXCSR 1
#endif

namespace corvane {

#ifdef CORVANE_HAS_MXCSR
// Round to nearest, all exceptions masked, FTZ and DAZ clear; the sticky
// status flags are left as they were.
inline constexpr unsigned kIeeeControl = 0x1F80;
inline constexpr unsigned kControlMask = 0xFFC0;  // everything but the status flags
#endif

// Puts this thread into the IEEE mode for its lifetime (a worker thread).
inline void set_ieee_mode() noexcept {
#ifdef CORVANE_HAS_MXCSR
  _mm_setcsr((_mm_getcsr() & ~kControlMask) | kIeeeControl);
#endif
}

// The IEEE mode for one module call on the calling thread; the caller's mode
// comes back on every way out of the scope.
class IeeeModeScope {
 public:
  IeeeModeScope() noexcept {
#ifdef CORVANE_HAS_MXCSR
    saved_ = _mm_getcsr();
    if ((saved_ & kControlMask) != kIeeeControl)
      _mm_setcsr((saved_ & ~kControlMask) | kIeeeControl);
#endif
  }
  ~IeeeModeScope() {
#ifdef CORVANE_HAS_MXCSR
    // The status flags raised during the call are kept, as any arithmetic
    // of the caller's own would have raised them.
    _mm_setcsr((_mm_getcsr() & ~kControlMask) | (saved_ & kControlMask));
#endif
  }
  IeeeModeScope(const IeeeModeScope&) = delete;
  IeeeModeScope& operator=(const IeeeModeScope&) = delete;

 private:
  unsigned saved_ = 0;
};

}  // namespace corvane
