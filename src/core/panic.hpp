// The one failure type of the pure C++ side: kernels, the pool and the NMS
// throw `Panic` when the computation cannot continue. The Python boundary turns
// it into `PanicException`; nothing below src/ knows about Python.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace corvane {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message, std::source_location where = std::source_location::current());

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  // Name of the thread that failed ("main", a worker's name or "<unnamed>"),
  // captured when the failure is raised so a report made later on another
  // thread still names the right one.
  const std::string& thread_name() const noexcept { return thread_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::string thread_;
  std::source_location where_;
};

// The fixed message forms the module reports.
[[noreturn]] void panic_index_out_of_bounds(
    std::uint64_t len, std::uint64_t index,
    std::source_location where = std::source_location::current());
[[noreturn]] void panic_range_end(std::uint64_t end, std::uint64_t len,
                                  std::source_location where = std::source_location::current());
[[noreturn]] void panic_capacity_overflow(
    std::source_location where = std::source_location::current());

// Which panic a product too large for 64 bits reports: an allocation size
// ("capacity overflow") or an offset computed from the input's extents
// ("attempt to multiply with overflow").
enum class Overflow { kCapacity, kArithmetic };

[[noreturn]] void panic_mul_overflow(Overflow report,
                                     std::source_location where = std::source_location::current());

// a * b, or the `report` panic when it does not fit 64 bits: never wrapped
// into a small, valid-looking offset.
inline std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b,
                                 Overflow report = Overflow::kCapacity,
                                 std::source_location where = std::source_location::current()) {
  std::uint64_t out;
  if (__builtin_mul_overflow(a, b, &out)) panic_mul_overflow(report, where);
  return out;
}

// Bounds-checked element access: `index < len` or the bounds panic.
inline void check_index(std::uint64_t len, std::uint64_t index,
                        std::source_location where = std::source_location::current()) {
  if (index >= len) panic_index_out_of_bounds(len, index, where);
}

// Bounds-checked slice end: `end <= len` or the range panic.
inline void check_range_end(std::uint64_t end, std::uint64_t len,
                            std::source_location where = std::source_location::current()) {
  if (end > len) panic_range_end(end, len, where);
}

}  // namespace corvane
