#include "postprocess/mask_rows.hpp"

#include "core/simd.hpp"

#include <algorithm>
#include <cstring>

namespace corvane::postprocess::masks {
namespace {

using RunFloats = simd::Vec<float, kRun>;
using RunIndices = simd::Vec<std::int32_t, kRun>;

// Logits of `Blocks` runs of eight staged pixels of a row, the first at
// column k and each next one 8 further but none past `cols`, into `row`,
// each summed over m in order from 0.0. The sums stay in registers while
// the planes stream past.
template <std::size_t Blocks>
CORVANE_INLINE void logit_blocks(const float* coefficient, std::size_t masks, const float* src,
                                 std::size_t plane, std::size_t k, std::size_t cols, float* row) {
  std::size_t at[Blocks];
  RunFloats acc[Blocks];
  for (std::size_t j = 0; j < Blocks; ++j) {
    at[j] = std::min(k + j * kRun, cols - kRun);
    acc[j] = RunFloats{};
  }
  for (std::size_t m = 0; m < masks; ++m) {
    const float c = coefficient[m];
    const float* p = src + m * plane;
    for (std::size_t j = 0; j < Blocks; ++j) {
      RunFloats v;
      simd::load(v, p + at[j]);
      acc[j] = acc[j] + c * v;
    }
  }
  for (std::size_t j = 0; j < Blocks; ++j) simd::store(row + at[j], acc[j]);
}

// L(y, x) = sum over m of c[m] * protos[m, y, x] for the `cols` staged
// pixels at `src` (plane m at src + m * plane), into `row`.
CORVANE_INLINE void logit_row(const float* coefficient, std::size_t masks, const float* src,
                              std::size_t plane, std::size_t cols, float* row) {
  if (cols < kRun) {  // narrower than a run: the planes one at a time
    std::fill(row, row + cols, 0.0f);
    for (std::size_t m = 0; m < masks; ++m) {
      const float c = coefficient[m];
      const float* p = src + m * plane;
      for (std::size_t k = 0; k < cols; ++k) row[k] = row[k] + c * p[k];
    }
    return;
  }
  // The last run overlaps the one before it rather than leaving a tail,
  // giving its pixels the same sums again.
  for (std::size_t k = 0; k < cols; k += 4 * kRun) {
    switch (std::min<std::size_t>(4, (cols - k + kRun - 1) / kRun)) {
      case 4:
        logit_blocks<4>(coefficient, masks, src, plane, k, cols, row);
        break;
      case 3:
        logit_blocks<3>(coefficient, masks, src, plane, k, cols, row);
        break;
      case 2:
        logit_blocks<2>(coefficient, masks, src, plane, k, cols, row);
        break;
      default:
        logit_blocks<1>(coefficient, masks, src, plane, k, cols, row);
        break;
    }
  }
}

// Along x for one row of logits: a = hx * L(y, x0) + lx * L(y, x1') for
// the columns of runs [r0, r1) of the box, into `out`. `logit` has room for
// a run's load past its last value.
CORVANE_INLINE void along_x(const Axis& x, const Region& region, const Run* runs, std::size_t r0,
                            std::size_t r1, const float* logit, float* out) {
  const std::size_t first = region.proto_columns.begin;
  const std::size_t* i0 = x.i0.data() + region.columns.begin;
  const std::size_t* i1 = x.i1.data() + region.columns.begin;
  const float* high = x.high.data() + region.columns.begin;
  const float* low = x.low.data() + region.columns.begin;
  for (std::size_t r = r0; r < r1; ++r) {
    const Run& run = runs[r];
    if (!run.picked) {
      for (std::size_t k = run.k; k < run.k + run.count; ++k)
        out[k] = high[k] * logit[i0[k] - first] + low[k] * logit[i1[k] - first];
      continue;
    }
    RunIndices pick0, pick1;
    RunFloats l, hx, lx;
    simd::load(pick0, run.pick0);
    simd::load(pick1, run.pick1);
    simd::load(l, logit + run.base);
    simd::load(hx, high + run.k);
    simd::load(lx, low + run.k);
    const RunFloats a = hx * simd::permute(l, pick0) + lx * simd::permute(l, pick1);
    simd::store(out + run.k, a);
  }
}

// What every pixel of a chunk of a row pair gets, when one value fits all:
// whether the four taps of each of its pixels are all plainly positive or all
// at most zero. With all taps <= 0 (-inf included), every product and sum of
// the interpolation is <= 0 or NaN, so every pixel gets 0. With all taps in
// [2^-100, 2^100], each pass along an axis has a weight >= 0.5 (the two sum
// to 1), so its result lies in [2^-102, 2^102]: no underflow to zero, no
// infinity to meet a zero weight, and every pixel gets 1. A chunk's class is
// the AND of the classes of its two tap rows: kPositive or kNotPositive when
// both rows agree, 0 (compute each pixel) otherwise.
constexpr std::uint8_t kPositive = 1;
constexpr std::uint8_t kNotPositive = 2;

// The classes of one tap row's chunks of a box from its row of logits: the
// class of each logit into `flags` (room for 8 past the row's last), then
// the AND of those each chunk's window holds, eight at a time.
CORVANE_INLINE void classify_row(const Region& region, const Window* windows, const float* logit,
                                 std::uint8_t* flags, std::uint8_t* out) {
  const std::size_t cols = region.proto_columns.size();
  for (std::size_t t = 0; t < cols; ++t) {
    const float l = logit[t];
    flags[t] =
        static_cast<std::uint8_t>(static_cast<std::uint8_t>((l >= 0x1p-100f) & (l <= 0x1p100f)) |
                                  static_cast<std::uint8_t>(l <= 0.0f) << 1);
  }
  const auto settled = [flags](std::size_t at, std::uint64_t lanes) {
    std::uint64_t word;  // eight flags: a scalar word, not a vector
    std::memcpy(&word, flags + at, sizeof word);
    return static_cast<std::uint8_t>(((word & lanes) == lanes) | (((word >> 1) & lanes) == lanes)
                                                                     << 1);
  };
  constexpr std::uint64_t kBytes = 0x0101010101010101u;
  for (std::size_t c = 0; c < chunks(region); ++c) {
    const Window& window = windows[c];
    if (window.lanes != 0) {
      out[c] = settled(window.begin, window.lanes);
      continue;
    }
    std::uint8_t all = kPositive | kNotPositive;
    for (std::size_t t = window.begin; t < window.end; t += 8)
      all &= settled(t, kBytes >> 8 * (8 - std::min<std::size_t>(8, window.end - t)));
    out[c] = all;
  }
}

// The segments of a row pair from its tap rows' chunk classes: runs of
// chunks of one class. The last chunk overlaps the one before it, so two
// segments may share columns; both give those columns their exact values.
CORVANE_INLINE std::size_t segments_of(const std::uint8_t* class_a, const std::uint8_t* class_b,
                                       std::size_t width, Segment* out) {
  std::size_t n = 0;
  for (std::size_t c = 0, s = 0; s < width; s += kLanes, ++c) {
    const std::size_t k = std::min(s, width - kLanes);
    const std::uint8_t both = class_a[c] & class_b[c];
    if (n > 0 && out[n - 1].both == both) {
      out[n - 1].end = k + kLanes;
    } else {
      out[n++] = {k, k + kLanes, both};
    }
  }
  return n;
}

// Bytes [0, n) of `out` set to `value`, n >= 16. Stores that straddle two
// cache lines cost twice, so past the first one they start on 32-byte
// boundaries.
CORVANE_INLINE void fill(std::uint8_t* out, std::size_t n, std::uint8_t value) {
  using Bytes = simd::Vec<std::uint8_t, 32>;
  using Half = simd::Vec<std::uint8_t, 16>;
  if (n < sizeof(Bytes)) {
    const Half half = Half{} + value;
    simd::store(out, half);
    simd::store(out + n - sizeof half, half);
    return;
  }
  const Bytes bytes = Bytes{} + value;
  simd::store(out, bytes);
  std::uint8_t* const last = out + n - sizeof bytes;
  const std::size_t skew = reinterpret_cast<std::uintptr_t>(out) % sizeof bytes;
  for (std::uint8_t* at = out + (sizeof bytes - skew); at < last; at += sizeof bytes)
    simd::store(at, bytes);
  simd::store(last, bytes);
}

// 1 where hy * a > -(ly * b), else 0, for n >= 16 pixels: sixteen at a
// time in a loop of fixed length, which the compiler turns into vectors for
// each instruction set; the last sixteen overlap rather than leave a tail.
CORVANE_INLINE void threshold(float hy, const float* __restrict a, float ly,
                              const float* __restrict b, std::size_t n,
                              std::uint8_t* __restrict out) {
  for (std::size_t s = 0; s < n; s += kLanes) {
    const std::size_t k = std::min(s, n - kLanes);
    for (std::size_t j = k; j < k + kLanes; ++j) out[j] = hy * a[j] > -(ly * b[j]) ? 1 : 0;
  }
}

// Output rows [v0, v1) of a box, whose lower taps are its prototype row held
// in `logits` (row t at (t % 2) * stride, with its chunk classes at
// `classes` + (t % 2) * chunks): value = hy * a + ly * b, with a and b the
// two tap rows interpolated along x, then 1 where value > 0 (false for NaN),
// else 0. Rows with the same taps share their segments, and a and b are
// interpolated (into `kept`, two rows of the box's width) only for the
// segments that the classes do not settle. The sum itself is never formed:
// under the IEEE mode every call runs in (round to nearest, no flush to
// zero), the rounded sum of two floats is > 0 exactly when the exact sum is,
// that is when hy * a > -(ly * b); with infinities and NaN both tests are
// false or true together too. Sixteen pixels at a time; as along x, the last
// sixteen of a segment overlap rather than leaving a tail.
CORVANE_CLONES
void along_y(const Work& work, const Region& region, const float* __restrict logits,
             std::size_t stride, const std::uint8_t* __restrict classes, float* __restrict kept,
             Segment* __restrict segments, std::size_t v0, std::size_t v1,
             std::uint8_t* __restrict out) {
  const std::size_t width = region.columns.size();
  const std::size_t count = chunks(region);
  const Run* runs = work.runs.data() + region.first_run;
  const std::size_t* i0 = work.y.i0.data();
  const std::size_t* i1 = work.y.i1.data();
  const std::size_t row_stride = static_cast<std::size_t>(work.dst.width);
  float* const a = kept;
  float* const b = kept + width;
  std::size_t pair = SIZE_MAX, n = 0;
  for (std::size_t v = v0; v < v1; ++v, out += row_stride) {
    const float hy = work.y.high[v], ly = work.y.low[v];
    if (i0[v] != pair) {  // rows with one lower tap share their upper tap too
      pair = i0[v];
      const float* la = logits + (i0[v] % 2) * stride;
      const float* lb = logits + (i1[v] % 2) * stride;
      if (width < kLanes) {
        n = 0;
        along_x(work.x, region, runs, 0, region.runs, la, a);
        along_x(work.x, region, runs, 0, region.runs, lb, b);
      } else {
        n = segments_of(classes + (i0[v] % 2) * count, classes + (i1[v] % 2) * count, width,
                        segments);
        for (std::size_t g = 0; g < n; ++g) {
          if (segments[g].both) continue;
          const std::size_t r0 = segments[g].begin / kRun;
          const std::size_t r1 = std::min(region.runs, (segments[g].end + kRun - 1) / kRun);
          along_x(work.x, region, runs, r0, r1, la, a);
          along_x(work.x, region, runs, r0, r1, lb, b);
        }
      }
    }
    if (width < kLanes) {
      for (std::size_t k = 0; k < width; ++k) out[k] = hy * a[k] > -(ly * b[k]) ? 1 : 0;
      continue;
    }
    for (std::size_t g = 0; g < n; ++g) {
      const Segment& segment = segments[g];
      if (segment.both) {
        fill(out + segment.begin, segment.end - segment.begin, segment.both & kPositive);
        continue;
      }
      threshold(hy, a + segment.begin, ly, b + segment.begin, segment.end - segment.begin,
                out + segment.begin);
    }
  }
}

}  // namespace

// Prototype row y of the strip starting at row `strip`: the row's tapped
// pixels of every plane are first copied together, since in place, planes a
// multiple of 4 KiB apart would share cache sets and evict each other. Then
// each box that taps the row and has output rows in the strip takes its
// logits there; all of them first, so that their stores have landed before
// the pass along x loads them across store boundaries. Then each classifies
// its row and writes its output rows whose lower tap is y (from `next[i]`
// on, for box i) once y is in the strip.
CORVANE_CLONES
void proto_row(const Work& work, std::size_t strip, std::size_t y, const Scratch& scratch,
               std::size_t* __restrict next) {
  const Prototypes& protos = work.protos;
  const std::size_t plane = static_cast<std::size_t>(protos.height * protos.width);
  const std::size_t masks = static_cast<std::size_t>(protos.masks);
  const std::size_t staged = work.tapped.size() + kLanes;
  const std::size_t plane_width = static_cast<std::size_t>(work.dst.width);
  auto taps_row = [&](const Region& region) {
    return region.proto_rows.contains(y) && region.proto_rows.end > strip;
  };
  // Only the columns that the boxes tapping this row need.
  Range used{SIZE_MAX, 0};
  for (const Region& region : work.regions)
    if (taps_row(region))
      used = {std::min(used.begin, region.proto_columns.begin),
              std::max(used.end, region.proto_columns.end)};
  if (used.end == 0) return;
  const float* src = protos.data.data() + y * static_cast<std::size_t>(protos.width) + used.begin;
  for (std::size_t m = 0; m < masks; ++m)
    std::memcpy(scratch.stage + m * staged, src + m * plane, used.size() * sizeof(float));
  for (const Region& region : work.regions) {
    if (!taps_row(region)) continue;
    const std::size_t cols = region.proto_columns.size();
    float* const logit = scratch.logit + region.logit + (y % 2) * logit_stride(region);
    logit_row(work.coefficients + region.detection * masks, masks,
              scratch.stage + (region.proto_columns.begin - used.begin), staged, cols, logit);
    std::fill(logit + cols, logit + cols + kRun - 1, 0.0f);
  }
  for (std::size_t i = 0; i < work.regions.size(); ++i) {
    const Region& region = work.regions[i];
    if (!taps_row(region)) continue;
    const std::size_t stride = logit_stride(region);
    float* const logits = scratch.logit + region.logit;
    std::uint8_t* const classes = scratch.classes + region.classes;
    classify_row(region, work.windows.data() + region.first_window, logits + (y % 2) * stride,
                 scratch.flags, classes + (y % 2) * chunks(region));
    if (y < strip) continue;
    const std::size_t v0 = next[i];
    std::size_t v1 = v0;
    while (v1 < region.rows.end && work.y.i1[v1] == y) ++v1;
    next[i] = v1;
    if (v1 == v0) continue;
    along_y(work, region, logits, stride, classes, scratch.kept, scratch.segments, v0, v1,
            work.dst.data.data() + region.detection * work.dst.height * plane_width +
                v0 * plane_width + region.columns.begin);
  }
}

}  // namespace corvane::postprocess::masks
