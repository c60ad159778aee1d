#include "core/panic.hpp"

#include "core/messages.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace corvane {
namespace {

std::string current_thread_name() {
  // The process's first thread is the interpreter's main thread; every other
  // thread (Python threads, pool workers) is started without a name of ours.
  if (::getpid() == static_cast<pid_t>(::syscall(SYS_gettid))) return "main";
  return "<unnamed>";
}

}  // namespace

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), thread_(current_thread_name()), where_(where) {}

void panic_index_out_of_bounds(std::uint64_t len, std::uint64_t index, std::source_location where) {
  throw Panic(messages::kIndexOutOfBounds + std::to_string(len) + messages::kButTheIndexIs +
                  std::to_string(index),
              where);
}

void panic_range_end(std::uint64_t end, std::uint64_t len, std::source_location where) {
  throw Panic(messages::kRangeEndIndex + std::to_string(end) + messages::kOutOfRangeForSlice +
                  std::to_string(len),
              where);
}

void panic_capacity_overflow(std::source_location where) {
  throw Panic(messages::kCapacityOverflow, where);
}

void panic_mul_overflow(Overflow report, std::source_location where) {
  if (report == Overflow::kCapacity) panic_capacity_overflow(where);
  throw Panic(messages::kMultiplyOverflow, where);
}

}  // namespace corvane
