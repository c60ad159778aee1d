#include "nms/rotated.hpp"

#include "core/simd.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

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

// The same ops as probiou up to the logarithm, lane by lane: the sum
// t1 + t2 and the logarithm's argument r.
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

// Most pairs are settled without the logarithm and the exponential, from
// bounds on t3 = 0.5 * log(r) that hold for logf as well as for log:
//   r >= 0.5  gives t3 >= r - 1 when r < 1, and t3 >= 0 (logf(1) = 0);
//   r > 0     gives t3 <= 0.5 * (r - 1).
// The overlap falls as bd grows, so with B the bd at which it equals the
// threshold, (t1 + t2) + min(r - 1, 0) at or above B with a 1% margin keeps
// the pair (r finite), and (t1 + t2) + 0.5 * (r - 1) below B with a 1%
// margin suppresses it (bd's clamp at eps gives 0.9995, above every
// threshold these bounds are used for). Between 1e-3 and 0.99 the margin is
// at least ten times the largest error that logf, expf (within an ulp,
// then 1 - expf(-bd) is a multiple of 2^-24) and the float32 sums can make
// in bd, so a settled pair gets the decision its full overlap would give.
// From 0.9997 on, no bd of eps or more overlaps by more (expf(-bd) < 1
// leaves 1 - sqrt(...) below 0.9996), so every pair whose bd cannot be NaN
// (r in [0.5, FLT_MAX] and t1 + t2 a number) is kept. Other thresholds
// (below 1e-3 or between 0.99 and 0.9997, where the margins would thin, and
// NaN) settle only the pairs whose bd reaches the clamp at 100, whose
// overlap is exactly far_overlap().
struct Settle {
  float keep_sum;        // lanes reaching it are settled
  bool keep_suppresses;  // ... with this decision
  bool near;             // whether the suppressing bound is used
  float near_sum;        // lanes below it are suppressed

  explicit Settle(float threshold) {
    const double t = threshold;
    if (t >= 0.9997) {
      keep_sum = -std::numeric_limits<float>::infinity();
      keep_suppresses = false;
      near = false;
      near_sum = 0.0f;
    } else if (t >= 1e-3 && t <= 0.99) {
      const double b = -std::log(1.0 + static_cast<double>(kEps) - (1.0 - t) * (1.0 - t));
      keep_sum = static_cast<float>(b * 1.01);
      keep_suppresses = false;
      near = true;
      near_sum = static_cast<float>(b * 0.99);
    } else {
      // t3 >= -0.5 here, so the sum reaches 100.
      keep_sum = kMaxDistance + 1.0f;
      keep_suppresses = !(far_overlap() <= threshold);
      near = false;
      near_sum = 0.0f;
    }
  }
};

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
// which the boxes before it are tried does not change the result. The
// boxes before it are tried eight at a time (the columns have room for
// whole groups of eight), and only the pairs the bounds leave open get
// their full overlap.
CORVANE_CLONES
void fast_select(const OrientedColumns& boxes, std::size_t begin, std::size_t end, float threshold,
                 GaussianColumns& g, std::vector<std::size_t>& selected) {
  using V = simd::CompareFloats;
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
  const Settle settle(threshold);
  const V keep_sum = V{} + settle.keep_sum;
  const V near_sum = V{} + (settle.near ? settle.near_sum : -FLT_MAX);
  for (std::size_t j = 0; j < n; ++j) {
    const Gaussian tested = at(g, j);
    const V x2 = V{} + tested.x, y2 = V{} + tested.y, a2 = V{} + tested.a;
    const V b2 = V{} + tested.b, c2 = V{} + tested.c, det2 = V{} + tested.det;
    bool suppressed = false;
    for (std::size_t i = 0; i < j && !suppressed; i += kCompareLanes) {
      const std::uint32_t valid = j - i >= kCompareLanes ? 0xFFu : (1u << (j - i)) - 1u;
      V x1, y1, a1, b1, c1, det1, sum, d;
      simd::load(x1, g.x.data() + i);
      simd::load(y1, g.y.data() + i);
      simd::load(a1, g.a.data() + i);
      simd::load(b1, g.b.data() + i);
      simd::load(c1, g.c.data() + i);
      simd::load(det1, g.det.data() + i);
      distance_terms(x1, y1, a1, b1, c1, x2, y2, a2, b2, c2, sum, d);
      V root = det1 * det2;
      simd::sqrt_lanes(root);
      const V r = d / (4.0f * root + kEps) + kEps;
      const V below_one = r - 1.0f;
      const std::uint32_t keep =
          valid & simd::lane_bits((r >= 0.5f) & (r <= FLT_MAX) &
                                  (sum + (below_one < 0.0f ? below_one : 0.0f) >= keep_sum));
      const std::uint32_t near = valid & simd::lane_bits((sum >= 0.0f) & (r > 0.0f) & (r <= 4.0f) &
                                                         (sum + 0.5f * below_one < near_sum));
      if (near != 0 || (settle.keep_suppresses && keep != 0)) {
        suppressed = true;
        break;
      }
      for (std::uint32_t open = valid & ~keep; open != 0; open &= open - 1) {
        const auto lane = static_cast<std::uint32_t>(__builtin_ctz(open));
        if (suppresses(at(g, i + lane), tested, threshold)) {
          suppressed = true;
          break;
        }
      }
    }
    if (!suppressed) selected.push_back(begin + j);
  }
}

}  // namespace detail
}  // namespace corvane::nms
