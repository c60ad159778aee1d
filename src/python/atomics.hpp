// Atomic read-modify-write on the 32-bit word at the start of a caller's
// buffer, shared with other threads and processes.
#pragma once

#include "python/object.hpp"

#include <atomic>
#include <cstdint>

namespace corvane::python::atomics {

// Holds a view of the buffer `data_ptr` exports, checked to start with a
// writable, 4-byte aligned word of unsigned bytes; the view is given back by
// the destructor. Throws the buffer request's own
// error, or BufferError / ValueError for a buffer the word cannot live in.
class SharedWord {
 public:
  explicit SharedWord(PyObject* data_ptr);
  ~SharedWord();
  SharedWord(const SharedWord&) = delete;
  SharedWord& operator=(const SharedWord&) = delete;

  std::atomic_ref<std::uint32_t> word() const noexcept {
    return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(view_.buf));
  }

 private:
  Py_buffer view_{};
};

// Cooperating processes rely on real hardware atomics on the mapped memory,
// never on a lock that lives in one process.
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint32_t>::required_alignment == 4);

inline bool compare_exchange(std::atomic_ref<std::uint32_t> w, std::uint32_t cur,
                             std::uint32_t desired) noexcept {
  return w.compare_exchange_strong(cur, desired, std::memory_order_seq_cst);
}

// One compare-and-exchange attempt to move the word by `delta` from the value
// just read. Unsigned arithmetic wraps modulo 2^32, as the word does, so a
// subtraction is the addition of 0 - delta.
inline Exchange compare_exchange_by(std::atomic_ref<std::uint32_t> w,
                                    std::uint32_t delta) noexcept {
  const std::uint32_t old = w.load(std::memory_order_seq_cst);
  std::uint32_t found = old;
  const bool ok = w.compare_exchange_strong(found, old + delta, std::memory_order_seq_cst);
  return {ok, found};
}

}  // namespace corvane::python::atomics
