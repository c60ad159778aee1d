// Greedy class-wise non-maximum suppression.
//
// Suppression is generic in the record type: any record with the box fields
// x1, y1, x2, y2, a `class_id` and a `score` works (Detection and
// PropertyDetection). Records are only moved, never copied.
#pragma once

#include "core/concatenate.hpp"
#include "parallel/pool.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace corvane::nms {

// Added to every union so that two empty boxes give 0 / eps, not 0 / 0.
inline constexpr float kUnionEpsilon = std::bit_cast<float>(std::uint32_t{0x3727C5AC});

// NaN-ignoring minimum and maximum: bit for bit what std::fmin / std::fmax
// return, except that between two zeros or two NaNs (where the library itself
// varies) only the zero or the NaN is fixed,
// written as selects so that the compiler inlines and vectorises them instead
// of calling libm.
inline float min_num(float a, float b) {
  const float m = a < b ? a : b;
  return b != b ? a : m;
}
inline float max_num(float a, float b) {
  const float m = a > b ? a : b;
  return b != b ? a : m;
}

inline float box_area(float x1, float y1, float x2, float y2) { return (x2 - x1) * (y2 - y1); }

// Overlap of `b` (the box tested) with `a` (the box already kept), given both
// areas. The operation order is part of the result: the union adds b's area to
// a's, subtracts the intersection and only then the epsilon.
inline float iou_with_areas(float ax1, float ay1, float ax2, float ay2, float area_a, float bx1,
                            float by1, float bx2, float by2, float area_b) {
  float w = min_num(ax2, bx2) - max_num(ax1, bx1);
  float h = min_num(ay2, by2) - max_num(ay1, by1);
  w = max_num(w, 0.0f);
  h = max_num(h, 0.0f);
  const float inter = w * h;
  const float uni = ((area_b + area_a) - inter) + kUnionEpsilon;
  return inter / uni;
}

namespace detail {

// Boxes in suppression order, one column per coordinate, areas computed once.
struct BoxColumns {
  std::vector<float> x1, y1, x2, y2, area;

  explicit BoxColumns(std::size_t n) : x1(n), y1(n), x2(n), y2(n), area(n) {}
  template <class R>
  void set(std::size_t k, const R& r) {
    x1[k] = r.x1;
    y1[k] = r.y1;
    x2[k] = r.x2;
    y2[k] = r.y2;
    area[k] = box_area(r.x1, r.y1, r.x2, r.y2);
  }
};

// A position's place in suppression order: ascending class, then descending
// score (a before b exactly when a.score > b.score), then input position.
struct SortKey {
  std::uint64_t key;
  std::size_t position;
};

// Maps a score to an unsigned key that sorts descending scores ascending and
// makes 0 and -0 equal, as the `>` ordering does. Decoders never produce NaN;
// a NaN score sorts after every number.
std::uint32_t descending_score_key(float score);

// Sorts the keys into suppression order (the order is total, so the result is
// the one a stable sort by class and descending score gives).
void sort_keys(std::vector<SortKey>& keys);

// The boxes kept so far, in columns so that testing a candidate against a
// group of them compiles to vector code; room for `capacity` boxes.
struct Kept {
  std::vector<float> x1, y1, x2, y2, area;
  std::size_t count = 0;

  explicit Kept(std::size_t capacity)
      : x1(capacity), y1(capacity), x2(capacity), y2(capacity), area(capacity) {}
};

// The greedy loop over boxes[begin, end), which are in descending score
// order: a box is kept unless a box kept before it overlaps it by more than
// `threshold` (or by NaN). Appends the kept positions to `selected` in
// selection order; `kept` is scratch with room for end - begin boxes.
void greedy_select(const BoxColumns& boxes, std::size_t begin, std::size_t end, float threshold,
                   Kept& kept, std::vector<std::size_t>& selected);

// The same with scratch of its own; returns the kept positions.
std::vector<std::size_t> greedy_select(const BoxColumns& boxes, std::size_t begin, std::size_t end,
                                       float threshold);

// Below this many overlap tests at most (n * (n - 1) / 2 for a class of n
// candidates, summed over the classes) an image's classes are suppressed one
// after the other. Measured on 2 cores: a typical image (a few hundred
// candidates over some twenty classes) lost about 6 us by handing its
// classes to a second thread, and twenty classes of 50 candidates each
// (some 25 000 tests) were about even.
inline constexpr std::uint64_t kParallelPairs = std::uint64_t{1} << 14;

// The positions [begin, end) of each class present in keys in suppression
// order, in ascending class; the size of the largest; and whether the
// overlap tests at most (n * (n - 1) / 2 summed over the classes) reach
// kParallelPairs, so that the classes are worth spreading over the pool.
struct ClassRanges {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  std::size_t largest = 0;
  bool parallel = false;
};
ClassRanges class_ranges(const std::vector<SortKey>& order);

template <class R>
std::vector<SortKey> suppression_order(const std::vector<R>& candidates, bool by_class) {
  std::vector<SortKey> keys(candidates.size());
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const std::uint64_t cls = by_class ? candidates[k].class_id : 0;
    keys[k] = {(cls << 32) | descending_score_key(candidates[k].score), k};
  }
  sort_keys(keys);
  return keys;
}

template <class R>
BoxColumns sorted_boxes(const std::vector<R>& candidates, const std::vector<SortKey>& order) {
  BoxColumns boxes(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) boxes.set(k, candidates[order[k].position]);
  return boxes;
}

}  // namespace detail

namespace detail {

// One image's candidates (in ascending index) suppressed class by class by
// `select`, called as select(boxes, begin, end, scratch, selected) for the
// positions [begin, end) of each class in suppression order: it appends the
// kept ones to `selected` in selection order. `Columns(n)` holds n boxes
// (filled by set(k, record)), `Scratch(n)` is room for a class of n. No
// bucket per class is materialised: one sort puts every class's candidates
// in suppression order, and the classes that have candidates are suppressed
// in turn, or as a nested parallel map when there is enough work. Returns
// the survivors of class 0 in selection order, then of class 1, and so on.
template <class Columns, class Scratch, class R, class Select>
std::vector<R> suppress_classes(std::vector<R> candidates, const Select& select) {
  if (candidates.empty()) return {};
  const auto order = suppression_order(candidates, true);
  Columns boxes(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) boxes.set(k, candidates[order[k].position]);

  auto classes = class_ranges(order);
  std::vector<std::size_t> selected;
  if (!classes.parallel) {
    Scratch scratch(classes.largest);
    for (const auto& range : classes.ranges)
      select(boxes, range.first, range.second, scratch, selected);
  } else {
    selected = concatenate(parallel::parallel_map_collect(
        std::move(classes.ranges), [&boxes, &select](std::pair<std::size_t, std::size_t>&& range) {
          std::vector<std::size_t> part;
          Scratch scratch(range.second - range.first);
          select(boxes, range.first, range.second, scratch, part);
          return part;
        }));
  }

  std::vector<R> out;
  out.reserve(selected.size());
  for (const std::size_t k : selected) out.push_back(std::move(candidates[order[k].position]));
  return out;
}

}  // namespace detail

// One image's candidates (in ascending index) suppressed class by class with
// greedy suppression: the survivors of class 0 in selection order, then of
// class 1, and so on.
template <class R>
std::vector<R> suppress_candidates(std::vector<R> candidates, float iou_threshold) {
  return detail::suppress_classes<detail::BoxColumns, detail::Kept>(
      std::move(candidates),
      [iou_threshold](const detail::BoxColumns& boxes, std::size_t begin, std::size_t end,
                      detail::Kept& kept, std::vector<std::size_t>& selected) {
        detail::greedy_select(boxes, begin, end, iou_threshold, kept, selected);
      });
}

}  // namespace corvane::nms
