#include "nms/suppress.hpp"

#include "core/simd.hpp"

#include <algorithm>

namespace corvane::nms::detail {

std::uint32_t descending_score_key(float score) {
  if (score != score) return 0xFFFFFFFFu;
  if (score == 0.0f) score = 0.0f;  // -0 ranks with +0
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score);
  // Ascending in the score for every non-NaN float, then reversed.
  const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  return ~ascending;
}

void sort_keys(std::vector<SortKey>& keys) {
  std::sort(keys.begin(), keys.end(), [](const SortKey& a, const SortKey& b) {
    return a.key != b.key ? a.key < b.key : a.position < b.position;
  });
}

ClassRanges class_ranges(const std::vector<SortKey>& order) {
  ClassRanges classes;
  std::uint64_t pairs = 0;  // up to kParallelPairs
  for (std::size_t k = 0; k < order.size();) {
    const std::uint64_t cls = order[k].key >> 32;
    std::size_t end = k + 1;
    while (end < order.size() && (order[end].key >> 32) == cls) ++end;
    classes.ranges.emplace_back(k, end);
    const std::uint64_t n = end - k;
    classes.largest = std::max(classes.largest, end - k);
    pairs =
        n >= kParallelPairs ? kParallelPairs : std::min(pairs + n * (n - 1) / 2, kParallelPairs);
    k = end;
  }
  classes.parallel = pairs >= kParallelPairs;
  return classes;
}

namespace {

// Kept boxes tested before the scan may stop: four AVX-512 registers of each
// column, whose verdicts are folded into one.
constexpr std::size_t kBoxGroup = 64;

// Whether one of kept boxes m .. m + Lanes - 1 overlaps box b by more than
// the threshold (a NaN overlap counts as more). All of them are tested and
// their verdicts folded into one, so that the loop compiles to vector code.
template <std::size_t Lanes>
inline bool any_over(const Kept& kept, std::size_t m, float bx1, float by1, float bx2, float by2,
                     float area_b, float threshold) {
  int hit = 0;
  for (std::size_t l = 0; l < Lanes; ++l) {
    const std::size_t a = m + l;
    const float overlap = iou_with_areas(kept.x1[a], kept.y1[a], kept.x2[a], kept.y2[a],
                                         kept.area[a], bx1, by1, bx2, by2, area_b);
    hit |= !(overlap <= threshold);
  }
  return hit != 0;
}

// Whether a kept box overlaps box b by more than the threshold. Survivors
// only depend on whether some kept box suppresses b, so the scan stops at the
// first group that does: groups of kBoxGroup, then vectors of eight (most
// classes keep fewer than a group), then one by one. Inlined into the clones
// of the greedy loop, where it is vectorised for their instruction set.
inline bool is_suppressed(const Kept& kept, float bx1, float by1, float bx2, float by2,
                          float area_b, float threshold) {
  std::size_t m = 0;
  for (; m + kBoxGroup <= kept.count; m += kBoxGroup)
    if (any_over<kBoxGroup>(kept, m, bx1, by1, bx2, by2, area_b, threshold)) return true;
  for (; m + simd::kCompareLanes <= kept.count; m += simd::kCompareLanes)
    if (any_over<simd::kCompareLanes>(kept, m, bx1, by1, bx2, by2, area_b, threshold)) return true;
  for (; m < kept.count; ++m)
    if (any_over<1>(kept, m, bx1, by1, bx2, by2, area_b, threshold)) return true;
  return false;
}

}  // namespace

// Equivalent to the textbook loop (keep the first remaining box, drop every
// remaining box it overlaps too much, repeat): a box survives there exactly
// when no box kept before it suppresses it, which is what is tested here.
// Every clone computes the same IEEE operations lane by lane.
CORVANE_CLONES
void greedy_select(const BoxColumns& boxes, std::size_t begin, std::size_t end, float threshold,
                   Kept& kept, std::vector<std::size_t>& selected) {
  kept.count = 0;
  for (std::size_t k = begin; k < end; ++k) {
    const float bx1 = boxes.x1[k], by1 = boxes.y1[k], bx2 = boxes.x2[k], by2 = boxes.y2[k];
    const float area_b = boxes.area[k];
    if (is_suppressed(kept, bx1, by1, bx2, by2, area_b, threshold)) continue;
    const std::size_t slot = kept.count++;
    kept.x1[slot] = bx1;
    kept.y1[slot] = by1;
    kept.x2[slot] = bx2;
    kept.y2[slot] = by2;
    kept.area[slot] = area_b;
    selected.push_back(k);
  }
}

std::vector<std::size_t> greedy_select(const BoxColumns& boxes, std::size_t begin, std::size_t end,
                                       float threshold) {
  std::vector<std::size_t> selected;
  if (begin >= end) return selected;
  Kept kept(end - begin);
  greedy_select(boxes, begin, end, threshold, kept, selected);
  return selected;
}

}  // namespace corvane::nms::detail
