// Class-wise Fast-NMS of oriented boxes, their overlap being the
// probabilistic IoU of the boxes' Gaussians (probiou).
//
// Fast-NMS is not greedy: a candidate is dropped when any higher-scored
// candidate of its class overlaps it by more than the threshold, even one
// that was dropped itself. So a chain of overlapping boxes keeps only its
// head, where greedy suppression would keep every other box.
//
// Float32 operation order, written left to right as evaluated (eps is the
// float32 nearest 1e-7; cos and sin come from one glibc sincosf call, log
// and exp are glibc's logf and expf: not correctly rounded in every case,
// but one fixed function per process, so the same on every thread; sqrt is
// IEEE and exact):
//   box (x, y, w, h, t):  a = (w * w) / 12, b = (h * h) / 12,
//     (s, c) = sincos(t),
//     A = a * (c * c) + b * (s * s), B = a * (s * s) + b * (c * c),
//     C = ((a - b) * c) * s, det = max(A * B - C * C, 0) (NaN stays NaN).
//   pair (box 1, the higher-scored; box 2, the one tested):
//     sA = A1 + A2, sB = B1 + B2, sC = C1 + C2, dx = x1 - x2, dy = y1 - y2,
//     D = sA * sB - sC * sC,
//     t1 = ((sA * (dy * dy) + sB * (dx * dx)) / (D + eps)) * 0.25,
//     t2 = (((sC * (x2 - x1)) * dy) / (D + eps)) * 0.5,
//     t3 = 0.5 * log(D / (4 * sqrt(det1 * det2) + eps) + eps),
//     bd = clamp((t1 + t2) + t3, eps, 100) (NaN stays NaN),
//     iou = 1 - sqrt((1 - exp(-bd)) + eps).
// A candidate is kept when every such iou is <= the threshold; a NaN
// overlap suppresses, as in the greedy suppression.
#pragma once

#include "nms/suppress.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace corvane::nms {

inline constexpr float kProbiouEpsilon = 1e-7f;

// A box's Gaussian: its centre and covariance entries A, B, C, and the
// clamped determinant A * B - C * C.
struct Gaussian {
  float x, y, a, b, c, det;
};

Gaussian gaussian(float cx, float cy, float w, float h, float angle);

// Overlap of `tested` with `higher`, the higher-scored box.
float probiou(const Gaussian& higher, const Gaussian& tested);

namespace detail {

// Oriented boxes in suppression order, one column per field.
struct OrientedColumns {
  std::vector<float> x, y, w, h, angle;

  explicit OrientedColumns(std::size_t n) : x(n), y(n), w(n), h(n), angle(n) {}
  template <class R>
  void set(std::size_t k, const R& r) {
    x[k] = r.cx;
    y[k] = r.cy;
    w[k] = r.w;
    h[k] = r.h;
    angle[k] = r.angle;
  }
};

// The Gaussians of one class's boxes, in columns so that the test of a box
// against the boxes before it runs in vector lanes: room for `capacity`
// boxes rounded up to whole groups of eight lanes.
struct GaussianColumns {
  std::vector<float> x, y, a, b, c, det;

  explicit GaussianColumns(std::size_t capacity)
      : x(padded(capacity)), y(x.size()), a(x.size()), b(x.size()), c(x.size()), det(x.size()) {}

 private:
  static std::size_t padded(std::size_t n) { return (n + 7) / 8 * 8; }
};

// Fast-NMS of boxes[begin, end), one class in descending score order:
// appends the kept positions to `selected`, in order. `scratch` has room
// for end - begin boxes.
void fast_select(const OrientedColumns& boxes, std::size_t begin, std::size_t end, float threshold,
                 GaussianColumns& scratch, std::vector<std::size_t>& selected);

}  // namespace detail

// One image's candidates (in ascending index) suppressed class by class with
// Fast-NMS: the survivors of class 0 in descending score (equal scores in
// input order), then of class 1, and so on. Each class's Gaussians are
// computed once, by the task that suppresses the class.
template <class R>
std::vector<R> fast_suppress_candidates(std::vector<R> candidates, float iou_threshold) {
  return detail::suppress_classes<detail::OrientedColumns, detail::GaussianColumns>(
      std::move(candidates),
      [iou_threshold](const detail::OrientedColumns& boxes, std::size_t begin, std::size_t end,
                      detail::GaussianColumns& scratch, std::vector<std::size_t>& selected) {
        detail::fast_select(boxes, begin, end, iou_threshold, scratch, selected);
      });
}

}  // namespace corvane::nms
