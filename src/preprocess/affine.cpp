#include "preprocess/affine.hpp"

#include "core/panic.hpp"
#include "core/simd.hpp"
#include "parallel/pool.hpp"
#include "preprocess/values.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace corvane::preprocess {
namespace {

constexpr double kBoxPadding = 1.25;

constexpr std::size_t kLanes = simd::kLanes;
// Columns staged per pass: a multiple of the lanes, small enough for the
// stack.
constexpr std::size_t kChunk = 64;
static_assert(kChunk % kLanes == 0);

using Words = simd::Vec<std::uint32_t, kLanes>;
using Ints = simd::Vec<std::int32_t, kLanes>;
using Floats = simd::Vec<float, kLanes>;

// Which of a sample's two taps along x lie in the frame.
enum class Taps : std::uint8_t { kNone, kLeft, kRight, kBoth };

// Per crop, per input column: the byte offset in a frame row of the left tap
// (of pixel 0 when only the right tap is in the frame), which taps are in the
// frame and the fraction. The fractions run on to a whole chunk with zeros,
// so the last group computes lanes it does not store. Positions grow with the
// column, so the columns with both taps in the frame are one run, [both,
// both_end); of those, [both, wide_end) may also read the two bytes after
// their right tap in the frame's last row.
struct Columns {
  std::vector<std::size_t> offset;
  std::vector<Taps> taps;
  std::vector<float> fraction;
  std::uint64_t both = 0;
  std::uint64_t both_end = 0;
  std::uint64_t wide_end = 0;
};

// The tap position along one axis: floor(s) and float32(s - floor(s)), both
// exact; `inside` when at least one of the taps floor(s), floor(s) + 1 lies
// in [0, extent). A position outside (-1, extent), NaN included, has no tap in
// the frame and samples 0.
struct Tap {
  bool inside;
  std::int64_t first;
  float fraction;
};

Tap tap(double s, std::uint64_t extent) noexcept {
  if (!(s > -1.0 && s < static_cast<double>(extent))) return {false, 0, 0.0f};
  const double first = std::floor(s);
  return {true, static_cast<std::int64_t>(first), static_cast<float>(s - first)};
}

Columns plan_columns(const FrameMap& map, std::uint64_t width, std::uint64_t frame_w) {
  Columns c;
  c.offset.resize(width);
  c.taps.resize(width);
  c.fraction.assign((width + kChunk - 1) / kChunk * kChunk, 0.0f);
  const auto w = static_cast<std::int64_t>(frame_w);
  for (std::uint64_t x = 0; x < width; ++x) {
    const Tap t = tap(map.a * static_cast<double>(x) + map.bx, frame_w);
    if (!t.inside) {
      c.taps[x] = Taps::kNone;
      c.offset[x] = 0;
      continue;
    }
    const bool left = t.first >= 0;
    const bool right = t.first + 1 < w;
    c.taps[x] = left && right ? Taps::kBoth : left ? Taps::kLeft : right ? Taps::kRight : Taps::kNone;
    c.offset[x] = left ? static_cast<std::size_t>(t.first) * 3 : 0;
    c.fraction[x] = t.fraction;
  }
  while (c.both < width && c.taps[c.both] != Taps::kBoth) ++c.both;
  c.both_end = c.both;
  while (c.both_end < width && c.taps[c.both_end] == Taps::kBoth) ++c.both_end;
  c.wide_end = c.both;
  while (c.wide_end < c.both_end && c.offset[c.wide_end] + 8 <= frame_w * 3) ++c.wide_end;
  return c;
}

// `n` bytes from p into the low bytes of a word, byte k at bits 8k.
CORVANE_INLINE std::uint64_t low_bytes(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, n);
  } else {
    for (std::size_t k = 0; k < n; ++k) v |= std::uint64_t{p[k]} << (8 * k);
  }
  return v;
}

// The six bytes of a sample's two taps in one frame row: the left pixel's
// blue, green, red at bits 0..23, the right pixel's at bits 24..47, zeros for
// a tap outside the frame; bits 48..63 are never read.
CORVANE_INLINE std::uint64_t tap_bytes(const std::uint8_t* row, std::size_t offset,
                                       Taps taps) noexcept {
  switch (taps) {
    case Taps::kBoth:
      return low_bytes(row + offset, 6);
    case Taps::kLeft:
      return low_bytes(row + offset, 3);
    case Taps::kRight:
      return low_bytes(row + offset, 3) << 24;
    case Taps::kNone:
      break;
  }
  return 0;
}

struct Row {
  const std::uint8_t* pixels;  // null: the row lies outside the frame
  bool last;                   // the frame's last row: no bytes after it
};

// The tap words of columns [begin, begin + kChunk) of one frame row, split
// into their low and high 32 bits; columns from `end` on get zeros. The run
// of columns with both taps in the frame reads 8 bytes at once where the
// buffer allows.
CORVANE_INLINE void stage(const Columns& c, Row row, std::uint64_t begin, std::uint64_t end,
                          std::uint32_t* __restrict lo, std::uint32_t* __restrict hi) noexcept {
  if (!row.pixels) {
    std::fill_n(lo, kChunk, 0u);
    std::fill_n(hi, kChunk, 0u);
    return;
  }
  const std::size_t* const offset = c.offset.data();
  const Taps* const taps = c.taps.data();
  const std::uint8_t* const p = row.pixels;
  const std::uint64_t a = std::clamp(c.both, begin, end);
  const std::uint64_t b = std::clamp(row.last ? c.wide_end : c.both_end, a, end);
  const auto put = [&](std::uint64_t x, std::uint64_t v) {
    lo[x - begin] = static_cast<std::uint32_t>(v);
    hi[x - begin] = static_cast<std::uint32_t>(v >> 32);
  };
  std::uint64_t x = begin;
  for (; x < a; ++x) put(x, tap_bytes(p, offset[x], taps[x]));
  for (; x < b; ++x) put(x, low_bytes(p + offset[x], 8));
  for (; x < end; ++x) put(x, tap_bytes(p, offset[x], taps[x]));
  for (; x < begin + kChunk; ++x) put(x, 0);
}

// One input row of a crop: the three planes' values of every column. The
// taps are staged a chunk at a time, each pixel pair split into two 32-bit
// words, so the arithmetic runs on whole vectors; lane by lane it is the
// documented float32 sequence.
CORVANE_FMA_CLONES void write_row(const Columns& columns, std::uint64_t width, Row top,
                                  Row bottom, float fy, const PlaneValues& values,
                                  float* __restrict p0, float* __restrict p1,
                                  float* __restrict p2) {
  alignas(64) std::uint32_t tl[kChunk], th[kChunk], bl[kChunk], bh[kChunk];
  alignas(64) float staged[3][kLanes];
  float* const planes[3] = {p0, p1, p2};
  const Floats vy = Floats{} + fy;
  // Adding and subtracting 2^23 rounds a value in [0, 2^23) to an integer,
  // half to even, in the round-to-nearest mode every call runs in.
  const Floats two23 = Floats{} + 0x1p23f;

  for (std::uint64_t begin = 0; begin < width; begin += kChunk) {
    const std::uint64_t end = std::min<std::uint64_t>(width, begin + kChunk);
    stage(columns, top, begin, end, tl, th);
    stage(columns, bottom, begin, end, bl, bh);
    for (std::uint64_t g = begin; g < end; g += kLanes) {
      const std::size_t s = g - begin;
      Words tlo, thi, blo, bhi;
      Floats fx;
      simd::load(tlo, tl + s);
      simd::load(thi, th + s);
      simd::load(blo, bl + s);
      simd::load(bhi, bh + s);
      simd::load(fx, columns.fraction.data() + g);
      // Byte c of the left pixel is at bits 8c of the low word; of the right
      // pixel, blue is the low word's top byte, green and red the high
      // word's two lowest.
      const Words left[3] = {tlo & 255, (tlo >> 8) & 255, (tlo >> 16) & 255};
      const Words right[3] = {tlo >> 24, thi & 255, (thi >> 8) & 255};
      const Words left_b[3] = {blo & 255, (blo >> 8) & 255, (blo >> 16) & 255};
      const Words right_b[3] = {blo >> 24, bhi & 255, (bhi >> 8) & 255};
      for (std::size_t c = 0; c < 3; ++c) {
        const auto p00 = __builtin_convertvector(Ints(left[c]), Floats);
        const auto p01 = __builtin_convertvector(Ints(right[c]), Floats);
        const auto p10 = __builtin_convertvector(Ints(left_b[c]), Floats);
        const auto p11 = __builtin_convertvector(Ints(right_b[c]), Floats);
        Floats r0, r1, v;
        simd::fma(r0, fx, Floats{p01 - p00}, p00);
        simd::fma(r1, fx, Floats{p11 - p10}, p10);
        simd::fma(v, vy, Floats{r1 - r0}, r0);
        v = (v + two23) - two23;
        // Byte c (blue, green, red) feeds plane 2 - c.
        const std::size_t plane = 2 - c;
        const Floats out = (v - values.mean[plane]) / values.stddev[plane];
        if (g + kLanes <= end) {
          simd::store(planes[plane] + g, out);
        } else {
          simd::store(staged[plane], out);
          std::memcpy(planes[plane] + g, staged[plane], (end - g) * sizeof(float));
        }
      }
    }
  }
}

Row frame_row(const Image& frame, std::int64_t y) noexcept {
  if (y < 0 || static_cast<std::uint64_t>(y) >= frame.height) return {nullptr, false};
  const auto row = static_cast<std::uint64_t>(y);
  return {frame.pixels.data() + row * frame.width * 3, row + 1 == frame.height};
}

// a * b * c, or UINT64_MAX when that does not fit (no buffer is that long).
std::uint64_t product(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
  std::uint64_t ab, abc;
  if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) return UINT64_MAX;
  return abc;
}

}  // namespace

AffineCrop affine_crop(const CropBox& box, std::uint64_t width, std::uint64_t height) noexcept {
  const double aspect = static_cast<double>(width) / static_cast<double>(height);
  AffineCrop crop{(box.x1 + box.x2) * 0.5, (box.y1 + box.y2) * 0.5, (box.x2 - box.x1) * kBoxPadding,
                  (box.y2 - box.y1) * kBoxPadding};
  if (crop.sw > crop.sh * aspect)
    crop.sh = crop.sw / aspect;
  else
    crop.sw = crop.sh * aspect;
  return crop;
}

FrameMap frame_map(const AffineCrop& crop, std::uint64_t width, std::uint64_t height) noexcept {
  const double k = static_cast<double>(width) / crop.sw;
  const double tx = static_cast<double>(width) * 0.5 - crop.cx * k;
  const double ty = static_cast<double>(height) * 0.5 - crop.cy * k;
  const double d = 1.0 / (k * k);
  const double a = k * d;
  return {a, -(a * tx), -(a * ty)};
}

bool usable(const FrameMap& map) noexcept {
  return std::isfinite(map.a) && map.a > 0.0 && std::isfinite(map.bx) && std::isfinite(map.by);
}

void affine_crops(const Image& frame, std::span<const AffineCrop> crops, const CropPlanes& dst) {
  if (product(frame.height, frame.width, 3) > frame.pixels.size())
    throw Panic("frame of " + std::to_string(frame.pixels.size()) + " bytes is too short for a " +
                std::to_string(frame.height) + "x" + std::to_string(frame.width) + "x3 image");
  const std::uint64_t plane = dst.height * dst.width;
  if (product(crops.size(), 3, plane) > dst.values.size())
    throw Panic("destination of " + std::to_string(dst.values.size()) + " values is too short for " +
                std::to_string(crops.size()) + " crops of 3x" + std::to_string(dst.height) + "x" +
                std::to_string(dst.width));
  std::vector<FrameMap> maps;
  std::vector<Columns> columns;
  maps.reserve(crops.size());
  columns.reserve(crops.size());
  for (const AffineCrop& crop : crops) {
    maps.push_back(frame_map(crop, dst.width, dst.height));
    if (!usable(maps.back())) throw Panic("an affine crop has no usable map to the frame");
    columns.push_back(plan_columns(maps.back(), dst.width, frame.width));
  }

  const PlaneValues& values = imagenet_values();
  const std::uint64_t rows = dst.height;
  corvane::parallel::parallel_for(0, crops.size() * rows, [&](std::size_t r) {
    const std::size_t i = r / rows;
    const std::uint64_t y = r % rows;
    float* const p0 = dst.values.data() + (i * 3 * plane) + y * dst.width;
    const Tap t = tap(maps[i].a * static_cast<double>(y) + maps[i].by, frame.height);
    const Row top = t.inside ? frame_row(frame, t.first) : Row{nullptr, false};
    const Row bottom = t.inside ? frame_row(frame, t.first + 1) : Row{nullptr, false};
    if (!top.pixels && !bottom.pixels) {
      // Every tap is outside: the value of byte 0.
      for (std::size_t k = 0; k < 3; ++k)
        std::fill_n(p0 + k * plane, dst.width, values(k, 0));
      return;
    }
    write_row(columns[i], dst.width, top, bottom, t.fraction, values, p0, p0 + plane,
              p0 + 2 * plane);
  });
}

}  // namespace corvane::preprocess
