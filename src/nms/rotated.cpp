#include "nms/rotated.hpp"

#include "core/simd.hpp"

#include <cfloat>
#include <cmath>

namespace corvane::nms {
namespace {

constexpr float kEps = kProbiouEpsilon;
constexpr float kMaxDistance = 100.0f;  // the clamp of bd from above

// NaN-propagating clamp of bd into [eps, 100].
inline float clamp_distance(float bd) {
  if (bd < kEps) return kEps;
  if (bd > kMaxDistance) return kMaxDistance;
  return bd;
}

inline float overlap_at(float bd) { return 1.0f - std::sqrt((1.0f - std::exp(-bd)) + kEps); }

// The overlap of every pair whose distance reaches the clamp at 100.
float far_overlap() {
  static const float value = overlap_at(kMaxDistance);
  return value;
}

// A pair is settled without its logarithm when it is certain that bd
// reaches the clamp: with D >= 0 and finite and both determinants numbers,
// the logarithm's argument is at least eps, so t3 >= 0.5 * log(1e-7) > -8.1,
// and (t1 + t2) >= 109 leaves (t1 + t2) + t3 above 100. Those pairs overlap
// by exactly far_overlap(). This is what makes far-apart boxes of a class
// cost a few vector operations instead of a logarithm and an exponential.
constexpr float kFarSum = 109.0f;

// t1 + t2 and D of a pair, lane by lane: the same operations as probiou.
template <class V>
CORVANE_INLINE void distance_terms(const V& x1, const V& y1, const V& a1, const V& b1, const V& c1,
                                   const V& x2, const V& y2, const V& a2, const V& b2, const V& c2,
                                   V& sum, V& d) {
  const V sa = a1 + a2;
  const V sb = b1 + b2;
  const V sc = c1 + c2;
  const V dx = x1 - x2;
  const V dy = y1 - y2;
  d = sa * sb - sc * sc;
  const V den = d + kEps;
  const V t1 = ((sa * (dy * dy) + sb * (dx * dx)) / den) * 0.25f;
  const V t2 = (((sc * (x2 - x1)) * dy) / den) * 0.5f;
  sum = t1 + t2;
}

inline Gaussian at(const detail::GaussianColumns& g, std::size_t k) {
  return {g.x[k], g.y[k], g.a[k], g.b[k], g.c[k], g.det[k]};
}

// Whether box `higher` suppresses box `tested` (a NaN overlap does).
inline bool suppresses(const Gaussian& higher, const Gaussian& tested, float threshold) {
  return !(probiou(higher, tested) <= threshold);
}

}  // namespace

Gaussian gaussian(float cx, float cy, float w, float h, float angle) {
  const float a = (w * w) / 12.0f;
  const float b = (h * h) / 12.0f;
  // One call for both, named so that no build can pick sinf and cosf
  // instead: glibc does not promise that they agree with sincosf to the bit.
  float s, c;
  ::sincosf(angle, &s, &c);
  const float cc = c * c;
  const float ss = s * s;
  const float ca = a * cc + b * ss;
  const float cb = a * ss + b * cc;
  const float cab = ((a - b) * c) * s;
  const float det = ca * cb - cab * cab;
  return {cx, cy, ca, cb, cab, det < 0.0f ? 0.0f : det};
}

float probiou(const Gaussian& p, const Gaussian& q) {
  float sum, d;
  distance_terms(p.x, p.y, p.a, p.b, p.c, q.x, q.y, q.a, q.b, q.c, sum, d);
  const float t3 = 0.5f * std::log(d / (4.0f * std::sqrt(p.det * q.det) + kEps) + kEps);
  return overlap_at(clamp_distance(sum + t3));
}

namespace detail {

using simd::kCompareLanes;

// Fast-NMS: a box is kept when no box before it in its class suppresses
// it, kept or not; any suppressor ends the test of a box, so the order in
// which the boxes before it are tried does not change the result.
CORVANE_CLONES
void fast_select(const OrientedColumns& boxes, std::size_t begin, std::size_t end,
                 float threshold, GaussianColumns& g, std::vector<std::size_t>& selected) {
  const std::size_t n = end - begin;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = begin + k;
    const Gaussian one = gaussian(boxes.x[i], boxes.y[i], boxes.w[i], boxes.h[i], boxes.angle[i]);
    g.x[k] = one.x;
    g.y[k] = one.y;
    g.a[k] = one.a;
    g.b[k] = one.b;
    g.c[k] = one.c;
    g.det[k] = one.det;
  }
  const bool far_suppresses = !(far_overlap() <= threshold);
  using Bits = simd::Vec<std::uint32_t, kCompareLanes>;
  using Half = simd::Vec<std::uint32_t, kCompareLanes / 2>;
  const Bits lane_bit = {1u << 0, 1u << 1, 1u << 2, 1u << 3, 1u << 4, 1u << 5, 1u << 6, 1u << 7};
  for (std::size_t j = 0; j < n; ++j) {
    const Gaussian tested = at(g, j);
    // With a NaN determinant no pair of this box is settled early.
    const bool may_settle = tested.det == tested.det;
    bool suppressed = false;
    std::size_t i = 0;
    if (may_settle) {
      using V = simd::CompareFloats;
      const V x2 = V{} + tested.x, y2 = V{} + tested.y, a2 = V{} + tested.a;
      const V b2 = V{} + tested.b, c2 = V{} + tested.c;
      for (; i + kCompareLanes <= j && !suppressed; i += kCompareLanes) {
        V x1, y1, a1, b1, c1, det1, sum, d;
        simd::load(x1, g.x.data() + i);
        simd::load(y1, g.y.data() + i);
        simd::load(a1, g.a.data() + i);
        simd::load(b1, g.b.data() + i);
        simd::load(c1, g.c.data() + i);
        simd::load(det1, g.det.data() + i);
        distance_terms(x1, y1, a1, b1, c1, x2, y2, a2, b2, c2, sum, d);
        const auto far = (d >= 0.0f) & (d <= FLT_MAX) & (sum >= kFarSum) & (det1 == det1);
        const Bits far_bits = reinterpret_cast<Bits>(far) & lane_bit;
        const Half h = __builtin_shufflevector(far_bits, far_bits, 0, 1, 2, 3) |
                       __builtin_shufflevector(far_bits, far_bits, 4, 5, 6, 7);
        const std::uint32_t far_mask = (h[0] | h[1]) | (h[2] | h[3]);
        if (far_suppresses && far_mask != 0) {
          suppressed = true;
          break;
        }
        std::uint32_t near = ~far_mask & 0xFFu;
        while (near != 0) {
          const auto lane = static_cast<std::uint32_t>(__builtin_ctz(near));
          if (suppresses(at(g, i + lane), tested, threshold)) {
            suppressed = true;
            break;
          }
          near &= near - 1;
        }
      }
    }
    for (; i < j && !suppressed; ++i) suppressed = suppresses(at(g, i), tested, threshold);
    if (!suppressed) selected.push_back(begin + j);
  }
}

std::vector<std::size_t> fast_select(const OrientedColumns& boxes, std::size_t begin,
                                     std::size_t end, float threshold) {
  std::vector<std::size_t> selected;
  if (begin >= end) return selected;
  GaussianColumns scratch(end - begin);
  fast_select(boxes, begin, end, threshold, scratch, selected);
  return selected;
}

}  // namespace detail
}  // namespace corvane::nms
