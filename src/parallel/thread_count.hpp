// How many workers the process-wide pool gets. Kept apart from the pool so the
// environment rules can be checked without starting any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::parallel {

// More workers than this is never useful and keeps every worker index in 16 bits.
inline constexpr std::size_t kMaxWorkers = 65535;

// An unsigned decimal count: ASCII digits with one optional leading '+', no
// spaces, no sign, nothing after the digits, no overflow of 64 bits.
std::optional<std::uint64_t> parse_worker_count(std::string_view text) noexcept;

// The worker count from the two environment values (null when unset) and the
// number of processors the process may run on. RAYON_NUM_THREADS decides when
// it parses: 1 or more is the count, 0 asks for the default without looking at
// RAYON_RS_NUM_CPUS. Then RAYON_RS_NUM_CPUS, then the processor count (1 when
// none is reported). The result is capped at kMaxWorkers.
std::size_t choose_worker_count(const char* rayon_num_threads, const char* rs_num_cpus,
                                std::size_t logical_cpus) noexcept;

// Logical processors in this process's affinity mask (what a container or
// `taskset` leaves us), or 0 when the system will not say.
std::size_t logical_cpu_count() noexcept;

// choose_worker_count over the live environment and affinity mask.
std::size_t worker_count_from_environment() noexcept;

}  // namespace corvane::parallel
