#include "postprocess/masks.hpp"

#include "parallel/pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace corvane::postprocess::masks {
namespace {

// Output pixels per task of the pass along y: enough to outweigh starting a
// task, few enough that one large box spreads over every worker. Each byte
// depends on its own box and pixel alone, so the split never changes a result.
constexpr std::size_t kBandPixels = 16384;

// The pass along x takes runs of eight output columns whose taps lie within
// eight consecutive logits of a row: one load and two lane permutations pick
// all sixteen taps. The pass along y and the threshold take sixteen pixels at
// a time. Every lane does the scalar float32 operations in the scalar order,
// so each instruction set gives the same bits.
constexpr std::size_t kRun = 8;
constexpr std::size_t kLanes = 16;
using RunFloats = float __attribute__((vector_size(kRun * sizeof(float))));
using RunIndices = std::int32_t __attribute__((vector_size(kRun * sizeof(std::int32_t))));
using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));
using Bytes = std::uint8_t __attribute__((vector_size(kLanes)));

// The taps of every source pixel along one axis, one array per quantity.
struct Axis {
  std::vector<float> centre;    // X(u) or Y(v)
  std::vector<std::size_t> i0;  // floor of the clamped proto coordinate
  std::vector<std::size_t> i1;  // min(i0 + 1, extent - 1)
  std::vector<float> low;       // weight of i1: coordinate - i0
  std::vector<float> high;      // weight of i0: 1 - low
};

Axis taps(std::size_t pixels, float ratio, std::uint32_t pad, std::uint64_t extent,
          std::uint64_t input) {
  const float scale = static_cast<float>(extent) / static_cast<float>(input);
  const float last = static_cast<float>(extent - 1);
  Axis out{std::vector<float>(pixels), std::vector<std::size_t>(pixels),
           std::vector<std::size_t>(pixels), std::vector<float>(pixels),
           std::vector<float>(pixels)};
  for (std::size_t u = 0; u < pixels; ++u) {
    const float centre = (static_cast<float>(u) + 0.5f) / ratio + static_cast<float>(pad);
    float p = centre * scale - 0.5f;
    p = std::min(std::max(p, 0.0f), last);
    const float whole = std::floor(p);
    const auto i0 = static_cast<std::size_t>(whole);
    out.centre[u] = centre;
    out.i0[u] = i0;
    out.i1[u] = static_cast<std::size_t>(std::min<std::uint64_t>(i0 + 1, extent - 1));
    out.low[u] = p - whole;
    out.high[u] = 1.0f - out.low[u];
  }
  return out;
}

// The pixels whose centres c satisfy lo <= c < hi; contiguous because the
// centres never decrease. A NaN bound gives an empty range.
struct Range {
  std::size_t begin;
  std::size_t end;
  std::size_t size() const { return end - begin; }
};

Range inside(const std::vector<float>& centres, float lo, float hi) {
  const auto first = std::partition_point(centres.begin(), centres.end(),
                                          [lo](float c) { return !(c >= lo); });
  const auto last = std::partition_point(centres.begin(), centres.end(),
                                         [hi](float c) { return c < hi; });
  const auto begin = static_cast<std::size_t>(first - centres.begin());
  const auto end = static_cast<std::size_t>(last - centres.begin());
  return {begin, std::max(begin, end)};
}

// One detection's pixels and the block of prototype pixels their taps touch.
struct Region {
  std::size_t detection;
  Range columns;
  Range rows;
  Range proto_columns;
  Range proto_rows;
  // Logits are stored with room for one run's load past the last column.
  std::size_t stride() const { return proto_columns.size() + kRun - 1; }
};

#if defined(__x86_64__) && defined(__ELF__)
#define CORVANE_MASKS_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define CORVANE_MASKS_CLONES
#endif

// Logits of `Blocks` vectors of a row's prototype pixels, the first at
// column k and each next one 16 further but none past `cols`, into `row`. The
// sums stay in registers while the planes stream past.
template <std::size_t Blocks>
[[gnu::always_inline]] inline void logit_blocks(const float* coefficient, std::size_t step,
                                                std::size_t masks, const float* src,
                                                std::size_t plane, std::size_t k,
                                                std::size_t cols, float* row) {
  std::size_t at[Blocks];
  Floats acc[Blocks];
  for (std::size_t j = 0; j < Blocks; ++j) {
    at[j] = std::min(k + j * kLanes, cols - kLanes);
    acc[j] = Floats{};
  }
  for (std::size_t m = 0; m < masks; ++m) {
    const float c = coefficient[m * step];
    const float* p = src + m * plane;
    for (std::size_t j = 0; j < Blocks; ++j) {
      Floats v;
      std::memcpy(&v, p + at[j], sizeof v);
      acc[j] = acc[j] + c * v;
    }
  }
  for (std::size_t j = 0; j < Blocks; ++j) std::memcpy(row + at[j], &acc[j], sizeof acc[j]);
}

// Logits of the tapped prototype pixels into rows of `region.stride()`,
// L(y, x) = sum over m of c[m] * protos[m, y, x] from 0.0 in order of m, and
// zeros in each row's padding.
CORVANE_MASKS_CLONES
void logits(const Coefficients& pred, const Prototypes& protos, std::uint64_t index,
            const Region& region, float* __restrict out) {
  const std::size_t plane = static_cast<std::size_t>(protos.height * protos.width);
  const std::size_t masks = static_cast<std::size_t>(protos.masks);
  const std::size_t anchors = static_cast<std::size_t>(pred.anchors);
  const float* coefficient =
      pred.data.data() + static_cast<std::size_t>(pred.channels - protos.masks) * anchors + index;
  const std::size_t cols = region.proto_columns.size();
  const std::size_t stride = region.stride();
  for (std::size_t r = 0; r < region.proto_rows.size(); ++r) {
    const float* src = protos.data.data() +
                       (region.proto_rows.begin + r) * static_cast<std::size_t>(protos.width) +
                       region.proto_columns.begin;
    float* row = out + r * stride;
    std::fill(row + cols, row + stride, 0.0f);
    if (cols < kLanes) {  // narrower than a vector: the planes one at a time
      std::fill(row, row + cols, 0.0f);
      for (std::size_t m = 0; m < masks; ++m) {
        const float c = coefficient[m * anchors];
        const float* p = src + m * plane;
        for (std::size_t k = 0; k < cols; ++k) row[k] = row[k] + c * p[k];
      }
      continue;
    }
    // Four vectors at a time; the last vector overlaps the one before it
    // rather than leaving a tail, giving its pixels the same sums again.
    for (std::size_t k = 0; k < cols; k += 4 * kLanes) {
      switch (std::min<std::size_t>(4, (cols - k + kLanes - 1) / kLanes)) {
        case 4:
          logit_blocks<4>(coefficient, anchors, masks, src, plane, k, cols, row);
          break;
        case 3:
          logit_blocks<3>(coefficient, anchors, masks, src, plane, k, cols, row);
          break;
        case 2:
          logit_blocks<2>(coefficient, anchors, masks, src, plane, k, cols, row);
          break;
        default:
          logit_blocks<1>(coefficient, anchors, masks, src, plane, k, cols, row);
          break;
      }
    }
  }
}

// Along x once per tapped prototype row: a = hx * L(y, x0) + lx * L(y, x1'),
// into rows of `region.columns.size()` values. Runs go outermost because a
// run's lane selections serve every row.
CORVANE_MASKS_CLONES
void along_x(const Axis& x, const Region& region, const float* __restrict logit,
             float* __restrict out) {
  const std::size_t width = region.columns.size();
  const std::size_t rows = region.proto_rows.size();
  const std::size_t stride = region.stride();
  const std::size_t first = region.proto_columns.begin;
  const std::size_t* i0 = x.i0.data() + region.columns.begin;
  const std::size_t* i1 = x.i1.data() + region.columns.begin;
  const float* high = x.high.data() + region.columns.begin;
  const float* low = x.low.data() + region.columns.begin;
  auto scalar = [&](std::size_t k) {
    for (std::size_t r = 0; r < rows; ++r) {
      const float* l = logit + r * stride - first;
      out[r * width + k] = high[k] * l[i0[k]] + low[k] * l[i1[k]];
    }
  };
  if (width < kRun) {
    for (std::size_t k = 0; k < width; ++k) scalar(k);
    return;
  }
  // The last run overlaps the one before it rather than leaving a tail; its
  // columns are computed twice with the same result.
  for (std::size_t s = 0; s < width; s += kRun) {
    const std::size_t k0 = std::min(s, width - kRun);
    const std::size_t base = i0[k0];
    if (i1[k0 + kRun - 1] - base >= kRun) {  // taps too far apart for one load
      for (std::size_t k = k0; k < k0 + kRun; ++k) scalar(k);
      continue;
    }
    RunIndices pick0, pick1;
    for (std::size_t j = 0; j < kRun; ++j) {
      pick0[j] = static_cast<std::int32_t>(i0[k0 + j] - base);
      pick1[j] = static_cast<std::int32_t>(i1[k0 + j] - base);
    }
    RunFloats hx, lx;
    std::memcpy(&hx, high + k0, sizeof hx);
    std::memcpy(&lx, low + k0, sizeof lx);
    for (std::size_t r = 0; r < rows; ++r) {
      RunFloats l;
      std::memcpy(&l, logit + r * stride + (base - first), sizeof l);
      const RunFloats a = hx * __builtin_shuffle(l, pick0) + lx * __builtin_shuffle(l, pick1);
      std::memcpy(out + r * width + k0, &a, sizeof a);
    }
  }
}

// Along y once per output row of [v0, v1): value = hy * a + ly * b, then
// 1 where value > 0 (false for NaN), else 0.
CORVANE_MASKS_CLONES
void along_y(const Axis& y, const Region& region, std::size_t v0, std::size_t v1,
             const float* __restrict ax, std::uint8_t* __restrict plane, std::size_t plane_width) {
  const std::size_t width = region.columns.size();
  const std::size_t first = region.proto_rows.begin;
  for (std::size_t v = v0; v < v1; ++v) {
    const float hy = y.high[v], ly = y.low[v];
    const float* __restrict a = ax + (y.i0[v] - first) * width;
    const float* __restrict b = ax + (y.i1[v] - first) * width;
    std::uint8_t* __restrict out = plane + v * plane_width + region.columns.begin;
    if (width < kLanes) {
      for (std::size_t k = 0; k < width; ++k) out[k] = hy * a[k] + ly * b[k] > 0.0f ? 1 : 0;
      continue;
    }
    // As along x, the last vector overlaps rather than leaving a tail.
    for (std::size_t s = 0; s < width; s += kLanes) {
      const std::size_t k = std::min(s, width - kLanes);
      Floats va, vb;
      std::memcpy(&va, a + k, sizeof va);
      std::memcpy(&vb, b + k, sizeof vb);
      const Floats value = hy * va + ly * vb;
      const Bytes bits = __builtin_convertvector(value > 0.0f, Bytes) & 1;
      std::memcpy(out + k, &bits, sizeof bits);
    }
  }
}

void detection(const Coefficients& pred, const Prototypes& protos, const MaskBox& box,
               const Axis& x, const Axis& y, const Region& region, const Planes& dst) {
  const std::size_t width = region.columns.size();
  const std::size_t block = region.proto_rows.size() * region.stride();
  const auto scratch =
      std::make_unique_for_overwrite<float[]>(block + region.proto_rows.size() * width);
  float* const logit = scratch.get();
  float* const ax = logit + block;
  logits(pred, protos, box.index, region, logit);
  along_x(x, region, logit, ax);

  std::uint8_t* const plane = dst.data.data() + region.detection * dst.height * dst.width;
  const std::size_t band = std::max<std::size_t>(1, kBandPixels / width);
  const std::size_t bands = (region.rows.size() + band - 1) / band;
  parallel::parallel_for(0, bands, [&](std::size_t i) {
    const std::size_t v0 = region.rows.begin + i * band;
    along_y(y, region, v0, std::min(v0 + band, region.rows.end), ax, plane,
            static_cast<std::size_t>(dst.width));
  });
}

}  // namespace

void build(const Coefficients& pred, const Prototypes& protos, std::span<const MaskBox> boxes,
           const MaskGeometry& geometry, const Planes& dst) {
  const Axis x = taps(static_cast<std::size_t>(dst.width), geometry.ratio, geometry.pad_x,
                      protos.width, geometry.in_w);
  const Axis y = taps(static_cast<std::size_t>(dst.height), geometry.ratio, geometry.pad_y,
                      protos.height, geometry.in_h);
  std::vector<Region> regions;
  for (std::size_t d = 0; d < boxes.size(); ++d) {
    const Range columns = inside(x.centre, boxes[d].x1, boxes[d].x2);
    const Range rows = inside(y.centre, boxes[d].y1, boxes[d].y2);
    if (columns.size() == 0 || rows.size() == 0) continue;
    regions.push_back({d, columns, rows, {x.i0[columns.begin], x.i1[columns.end - 1] + 1},
                       {y.i0[rows.begin], y.i1[rows.end - 1] + 1}});
  }
  parallel::parallel_for(0, regions.size(), [&](std::size_t i) {
    const Region& region = regions[i];
    detection(pred, protos, boxes[region.detection], x, y, region, dst);
  });
}

}  // namespace corvane::postprocess::masks
