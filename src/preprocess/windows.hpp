// Gathering a group of pixels out of one window of a row: the window is
// loaded as two or three vectors, and each pixel's bytes are funnel-shifted
// out of the 4-byte words of the window that hold them. Shared by the
// letterboxes' column plans.
#pragma once

#include "core/simd.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::preprocess::windows {

// How wide the window is (bytes) and how many leading groups fit in it.
struct Fit {
  std::size_t window;
  std::size_t fitting;
};

// The window of group g starts at the 4-byte word of its first column's
// byte offset.
inline std::size_t group_base(const std::vector<std::size_t>& offset, std::size_t first) {
  return offset[first] & ~std::size_t{3};
}

// Groups of `group` consecutive columns, each reading `reach` bytes past its
// offset's first word. The wider window costs a third load and a selection,
// so it is taken only when the narrow one leaves groups out.
inline Fit fit(const std::vector<std::size_t>& offset, std::size_t groups, std::size_t group,
               std::size_t reach, std::size_t vector_bytes) {
  const auto fitting = [&](std::size_t window) {
    std::size_t g = 0;
    for (; g < groups; ++g) {
      const std::size_t first = g * group;
      // The word after the last byte's word must be in the window too.
      if ((offset[first + group - 1] + reach - group_base(offset, first)) / 4 + 1 >= window / 4)
        break;
    }
    return g;
  };
  Fit f{2 * vector_bytes, fitting(2 * vector_bytes)};
  if (f.fitting < groups && fitting(3 * vector_bytes) > f.fitting)
    f = {3 * vector_bytes, fitting(3 * vector_bytes)};
  return f;
}

// The bytes from the first column's offset to the end of the last one's
// `reach` bytes, over the `group` columns from `first` on: what a window
// taken from the first column's offset must hold.
inline std::size_t span(const std::vector<std::size_t>& offset, std::size_t first,
                        std::size_t group, std::size_t reach) {
  return offset[first + group - 1] + reach - offset[first];
}

// For a pixel `o` bytes into its window: the window word holding its first
// byte, the right shift of that word and the left shift of the next. With
// no bytes from the next word, its first byte lands in the top byte, which
// is never read, so the shift stays below 32.
struct Shifts {
  std::uint32_t word, right, left;
};

inline Shifts shifts(std::size_t o) {
  const auto bits = static_cast<std::uint32_t>((o % 4) * 8);
  return {static_cast<std::uint32_t>(o / 4), bits, bits == 0 ? 24u : 32u - bits};
}

// Each lane's pixel out of a window loaded as the vectors `lo`, `hi` (and,
// when Wide, `far`): the window word holding the pixel's first byte and the
// one after it, funnel-shifted so that the pixel's bytes are the lane's low
// bytes. `word`, `right` and `left` are the lanes' Shifts.
template <bool Wide, class V>
CORVANE_INLINE void funnel(const V& lo, const V& hi, const V& far, const V& word, const V& right,
                           const V& left, V& into) noexcept {
  constexpr auto kTwoVectors = static_cast<std::uint32_t>(2 * sizeof(V) / sizeof(std::uint32_t));
  const V after = word + 1;
  V first = simd::permute(lo, hi, word);
  V next = simd::permute(lo, hi, after);
  if constexpr (Wide) {
    // Words past two vectors come from the third (a shuffle takes its
    // index modulo the lanes it picks from).
    first = word >= kTwoVectors ? simd::permute(far, word) : first;
    next = after >= kTwoVectors ? simd::permute(far, after) : next;
  }
  into = (first >> right) | (next << left);
}

}  // namespace corvane::preprocess::windows
