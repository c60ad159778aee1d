// The textbook forms of suppression, kept for the tests: one class's
// candidates at a time, and one bucket per class. They share no code with
// the production path (suppress_candidates, which sorts once, keeps boxes in
// columns and may split classes over the pool), so that path must give
// exactly what these give. Their own namespace keeps a kernel function of
// the same name from ever being picked in their place.
#pragma once

#include "core/records.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace corvane::reference {

// Overlap of `b` (tested) with `a` (kept), in the documented float32 order:
// the union adds b's area to a's, subtracts the intersection, then the
// epsilon (the float nearest 1e-5).
template <class Box>
float iou(const Box& a, const Box& b) {
  const float area_a = (a.x2 - a.x1) * (a.y2 - a.y1);
  const float area_b = (b.x2 - b.x1) * (b.y2 - b.y1);
  const float w = std::fmax(std::fmin(a.x2, b.x2) - std::fmax(a.x1, b.x1), 0.0f);
  const float h = std::fmax(std::fmin(a.y2, b.y2) - std::fmax(a.y1, b.y1), 0.0f);
  const float inter = w * h;
  return inter / (((area_b + area_a) - inter) + 1e-5f);
}

// Greedy suppression of one class's candidates: a stable sort by descending
// score, then each candidate in turn is kept unless a kept one overlaps it by
// more than the threshold (a NaN overlap suppresses). Survivors in selection
// order.
template <class R>
std::vector<R> non_max_suppression(std::vector<R> candidates, float iou_threshold) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const R& a, const R& b) { return a.score > b.score; });
  std::vector<R> kept;
  for (R& candidate : candidates) {
    const bool keep = std::all_of(kept.begin(), kept.end(),
                                  [&](const R& k) { return iou(k, candidate) <= iou_threshold; });
    if (keep) kept.push_back(std::move(candidate));
  }
  return kept;
}

// One image's buckets, bucket k holding the candidates of class k in ascending
// index: survivors of bucket 0, then of bucket 1, and so on.
template <class R>
std::vector<R> suppress_by_class(std::vector<std::vector<R>> buckets, float iou_threshold) {
  std::vector<R> out;
  for (auto& bucket : buckets)
    for (R& r : non_max_suppression(std::move(bucket), iou_threshold)) out.push_back(std::move(r));
  return out;
}

}  // namespace corvane::reference
