#include "parallel/thread_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace corvane::parallel {

std::optional<std::uint64_t> parse_worker_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t choose_worker_count(const char* rayon_num_threads, const char* rs_num_cpus,
                                std::size_t logical_cpus) noexcept {
  const auto parsed = [](const char* text) -> std::optional<std::uint64_t> {
    if (text == nullptr) return std::nullopt;
    return parse_worker_count(text);
  };
  const std::uint64_t fallback = logical_cpus > 0 ? logical_cpus : 1;
  std::uint64_t count = fallback;
  if (const auto first = parsed(rayon_num_threads)) {
    count = *first > 0 ? *first : fallback;
  } else if (const auto second = parsed(rs_num_cpus); second && *second > 0) {
    count = *second;
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxWorkers));
}

std::size_t logical_cpu_count() noexcept {
  // The mask can be wider than a fixed cpu_set_t on very large machines;
  // grow it until the kernel accepts the size.
  for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 0;
}

std::size_t worker_count_from_environment() noexcept {
  return choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                             logical_cpu_count());
}

}  // namespace corvane::parallel
