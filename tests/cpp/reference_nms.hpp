// The textbook forms of suppression, kept for the tests: one class's
// candidates at a time, and one bucket per class. The production path
// (suppress_candidates) must give exactly what these give.
#pragma once

#include "core/concatenate.hpp"
#include "core/records.hpp"
#include "nms/suppress.hpp"
#include "parallel/pool.hpp"

#include <utility>
#include <vector>

namespace corvane::nms {

template <class Box>
float iou(const Box& a, const Box& b) {
  return iou_with_areas(a.x1, a.y1, a.x2, a.y2, box_area(a.x1, a.y1, a.x2, a.y2), b.x1, b.y1,
                        b.x2, b.y2, box_area(b.x1, b.y1, b.x2, b.y2));
}

// Greedy suppression of one class's candidates: survivors in selection order.
template <class R>
std::vector<R> non_max_suppression(std::vector<R> candidates, float iou_threshold) {
  if (candidates.empty()) return {};
  const auto order = detail::suppression_order(candidates, false);
  const auto boxes = detail::sorted_boxes(candidates, order);
  const auto kept = detail::greedy_select(boxes, 0, order.size(), iou_threshold);
  std::vector<R> out;
  out.reserve(kept.size());
  for (const std::size_t k : kept) out.push_back(std::move(candidates[order[k].position]));
  return out;
}

// One image's buckets, bucket k holding the candidates of class k in ascending
// index: survivors of bucket 0, then of bucket 1, and so on.
template <class R>
std::vector<R> suppress_by_class(std::vector<std::vector<R>> buckets, float iou_threshold) {
  auto per_class = parallel::parallel_map_collect(
      std::move(buckets), [iou_threshold](std::vector<R>&& bucket) {
        return non_max_suppression(std::move(bucket), iou_threshold);
      });
  return concatenate(std::move(per_class));
}

}  // namespace corvane::nms
