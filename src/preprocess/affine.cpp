#include "preprocess/affine.hpp"

#include "core/panic.hpp"
#include "core/simd.hpp"
#include "parallel/pool.hpp"
#include "preprocess/values.hpp"
#include "preprocess/windows.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace corvane::preprocess {
namespace {

constexpr double kBoxPadding = 1.25;

// Columns staged per pass, small enough for the stack.
constexpr std::size_t kColumnChunk = 64;
// Input rows per task: consecutive rows share frame rows, which a task
// interpolates once, and each task starts with two rows of its own. A crop
// of 256 rows makes four tasks: enough for the workers to share the crops.
constexpr std::uint64_t kBand = 64;

// Which of a sample's two taps along x lie in the frame.
enum class Taps : std::uint8_t { kNone, kLeft, kRight, kBoth };

// Per crop, per input column: the byte offset in a frame row of the left tap
// (of pixel 0 when only the right tap is in the frame), which taps are in the
// frame and the fraction, run on to a whole chunk with zeros. Positions grow
// with the column, so the columns with any tap in the frame are one run, and
// those with both taps one run inside it, [both, both_end); of these,
// [both, wide_end) may also read the two bytes after their right tap in the
// frame's last row.
struct Columns {
  std::vector<std::size_t> offset;
  std::vector<Taps> taps;
  simd::LineVector<float> fraction;
  std::uint64_t both = 0;
  std::uint64_t both_end = 0;
  std::uint64_t wide_end = 0;
  // The bytes of a frame row that the columns read.
  std::size_t span_begin = 0;
  std::size_t span_end = 0;
  // Per group of kWindowColumns columns from 0: where all of them have both
  // taps in the frame and their bytes lie in the simd::kPermuteWindow bytes from the
  // group's first left tap, that offset, else kNoWindow; and per group, per
  // tap byte b (0..5: blue, green, red of the left pixel, then of the right
  // one), per column, where that byte lies in the window, in the low byte of
  // the float 2^23 (so that the byte put there makes 2^23 + byte).
  std::vector<std::size_t> window;
  simd::LineVector<std::uint32_t> pick;
};

// A group of columns staged by byte permutes out of one window of a frame row.
constexpr std::size_t kWindowColumns = simd::kLanes;
constexpr std::size_t kNoWindow = SIZE_MAX;
static_assert(kColumnChunk % kWindowColumns == 0);

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
  c.fraction.assign((width + kColumnChunk - 1) / kColumnChunk * kColumnChunk, 0.0f);
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
    c.taps[x] = left && right ? Taps::kBoth
                : left        ? Taps::kLeft
                : right       ? Taps::kRight
                              : Taps::kNone;
    c.offset[x] = left ? static_cast<std::size_t>(t.first) * 3 : 0;
    c.fraction[x] = t.fraction;
  }
  while (c.both < width && c.taps[c.both] != Taps::kBoth) ++c.both;
  c.both_end = c.both;
  while (c.both_end < width && c.taps[c.both_end] == Taps::kBoth) ++c.both_end;
  std::uint64_t any = 0, any_end = width;
  while (any < width && c.taps[any] == Taps::kNone) ++any;
  while (any_end > any && c.taps[any_end - 1] == Taps::kNone) --any_end;
  if (any < any_end) {
    c.span_begin = c.offset[any];
    c.span_end = c.offset[any_end - 1] + 6;
  }
  c.wide_end = c.both;
  while (c.wide_end < c.both_end && c.offset[c.wide_end] + 8 <= frame_w * 3) ++c.wide_end;
  const std::size_t groups = c.fraction.size() / kWindowColumns;
  c.window.assign(groups, kNoWindow);
  c.pick.assign(groups * 6 * kWindowColumns, 0);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint64_t x0 = g * kWindowColumns, x1 = x0 + kWindowColumns;
    if (x0 < c.both || x1 > c.both_end ||
        windows::span(c.offset, x0, kWindowColumns, 6) > simd::kPermuteWindow)
      continue;
    c.window[g] = c.offset[x0];
    for (std::uint32_t b = 0; b < 6; ++b)
      for (std::uint64_t x = x0; x < x1; ++x)
        c.pick[(g * 6 + b) * kWindowColumns + (x - x0)] =
            std::bit_cast<std::uint32_t>(0x1p23f) +
            static_cast<std::uint32_t>(c.offset[x] - c.offset[x0]) + b;
  }
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
  std::size_t readable;        // bytes from `pixels` to the end of the frame
};

// The tap words of columns [from, to) of one frame row, at [x - begin] of lo
// and hi (split into their low and high 32 bits); columns from `end` on get
// zeros. The run of columns with both taps in the frame reads 8 bytes at once
// where the buffer allows.
CORVANE_INLINE void stage_columns(const Columns& c, const Row& row, std::uint64_t from,
                                  std::uint64_t to, std::uint64_t begin, std::uint64_t end,
                                  std::uint32_t* __restrict lo,
                                  std::uint32_t* __restrict hi) noexcept {
  const std::size_t* const offset = c.offset.data();
  const Taps* const taps = c.taps.data();
  const std::uint8_t* const p = row.pixels;
  const std::uint64_t stop = std::min(to, end);
  const std::uint64_t a = std::clamp(c.both, from, stop);
  const std::uint64_t b = std::clamp(row.last ? c.wide_end : c.both_end, a, stop);
  const auto put = [&](std::uint64_t x, std::uint64_t v) {
    lo[x - begin] = static_cast<std::uint32_t>(v);
    hi[x - begin] = static_cast<std::uint32_t>(v >> 32);
  };
  std::uint64_t x = from;
  for (; x < a; ++x) put(x, tap_bytes(p, offset[x], taps[x]));
  for (; x < b; ++x) put(x, low_bytes(p + offset[x], 8));
  for (; x < stop; ++x) put(x, tap_bytes(p, offset[x], taps[x]));
  for (; x < to; ++x) put(x, 0);
}

// The frame row at `ahead` (none when null) fetched into the cache a part at
// a time, `per` lines a part, while another row is interpolated: all at
// once, the fetches would wait for each other.
struct Fetch {
  const std::uint8_t* ahead;
  std::size_t lines, per;

  Fetch(const Columns& c, const std::uint8_t* row, std::size_t parts) noexcept
      : ahead(row ? row + c.span_begin : nullptr),
        lines((c.span_end - c.span_begin + 63) / 64),
        per((lines + parts - 1) / parts) {}

  CORVANE_INLINE void part(std::size_t k) const noexcept {
    if (!ahead) return;
    for (std::size_t line = k * per; line < std::min(lines, (k + 1) * per); ++line)
      __builtin_prefetch(ahead + line * 64);
  }
};

// The arithmetic of interpolate_row for N staged columns: r = fma(fx,
// p_right - p_left, p_left) per byte.
template <std::size_t N>
CORVANE_INLINE void interpolate_words(const std::uint32_t* __restrict lo,
                                      const std::uint32_t* __restrict hi,
                                      const float* __restrict fraction, float* __restrict out0,
                                      float* __restrict out1, float* __restrict out2) noexcept {
  for (std::size_t k = 0; k < N; ++k) {
    // Byte c of the left pixel is at bits 8c of the low word; of the right
    // pixel, blue is the low word's top byte, green and red the high word's
    // two lowest.
    const std::uint32_t l = lo[k], h = hi[k];
    const float fx = fraction[k];
    const auto byte = [](std::uint32_t word, unsigned shift) {
      return static_cast<float>(static_cast<std::int32_t>((word >> shift) & 255));
    };
    const float b0 = byte(l, 0), g0 = byte(l, 8), r0 = byte(l, 16);
    const float b1 = byte(l, 24), g1 = byte(h, 0), r1 = byte(h, 8);
    out0[k] = std::fma(fx, b1 - b0, b0);
    out1[k] = std::fma(fx, g1 - g0, g0);
    out2[k] = std::fma(fx, r1 - r0, r0);
  }
}

// One frame row interpolated along x at every input column of a crop:
// r = fma(fx, p_right - p_left, p_left) per byte c, into out[c * padded + x]
// (padded: the columns rounded up to a whole chunk; the columns past the
// crop's get 0). The taps are staged a chunk at a time, each pixel pair split
// into two 32-bit words, so that the arithmetic is a plain loop over arrays,
// which the compiler turns into vectors (fmaf into fused multiply-adds).
CORVANE_FMA_CLONES void interpolate_row(const Columns& columns, const Row& row,
                                        const std::uint8_t* ahead, float* __restrict out) {
  alignas(64) std::uint32_t lo[kColumnChunk], hi[kColumnChunk];
  const std::uint64_t width = columns.offset.size();
  const std::uint64_t padded = columns.fraction.size();
  const float* const fraction = columns.fraction.data();
  float* const out0 = out;
  float* const out1 = out + padded;
  float* const out2 = out + 2 * padded;
  const Fetch fetch(columns, ahead, padded / kColumnChunk);
  for (std::uint64_t begin = 0; begin < padded; begin += kColumnChunk) {
    fetch.part(begin / kColumnChunk);
    stage_columns(columns, row, begin, begin + kColumnChunk, begin, width, lo, hi);
    interpolate_words<kColumnChunk>(lo, hi, fraction + begin, out0 + begin, out1 + begin,
                                    out2 + begin);
  }
}

// interpolate_row where the processor has byte permutes: each group of
// columns that has a window, and whose window lies in the frame, takes its
// six tap bytes straight out of the window into lanes. Runs of such groups
// go through a loop of their own, which keeps its pointers in registers.
CORVANE_BYTE_PERMUTES void interpolate_row_windows(const Columns& columns, const Row& row,
                                                   const std::uint8_t* ahead,
                                                   float* __restrict out) {
  const std::uint64_t width = columns.offset.size();
  const std::uint64_t padded = columns.fraction.size();
  const std::size_t groups = padded / kWindowColumns;
  const float* const fraction = columns.fraction.data();
  const std::size_t* const window = columns.window.data();
  float* __restrict const out0 = out;
  float* __restrict const out1 = out + padded;
  float* __restrict const out2 = out + 2 * padded;
  const Fetch fetch(columns, ahead, groups);
  const auto permuted = [&](std::size_t g) {
    return window[g] != kNoWindow && window[g] + simd::kPermuteWindow <= row.readable;
  };
  for (std::size_t g = 0; g < groups;) {
    if (!permuted(g)) {
      fetch.part(g);
      const std::uint64_t x = g * kWindowColumns;
      alignas(64) std::uint32_t lo[kWindowColumns], hi[kWindowColumns];
      stage_columns(columns, row, x, x + kWindowColumns, x, width, lo, hi);
      interpolate_words<kWindowColumns>(lo, hi, fraction + x, out0 + x, out1 + x, out2 + x);
      ++g;
      continue;
    }
    std::size_t end = g + 1;
    while (end < groups && permuted(end)) ++end;
    for (; g < end; ++g) {
      fetch.part(g);
      const std::uint64_t x = g * kWindowColumns;
      simd::Bytes first, second;
      simd::load(first, row.pixels + window[g]);
      simd::load(second, row.pixels + window[g] + sizeof first);
      simd::Floats fx;
      simd::load(fx, fraction + x);
      const std::uint32_t* const pick = columns.pick.data() + g * 6 * kWindowColumns;
      float* __restrict const outs[3] = {out0, out1, out2};
      for (std::size_t c = 0; c < 3; ++c) {
        // 2^23 + byte for both taps: their difference and the left byte
        // are exact, as converted bytes would be.
        simd::Words at;
        simd::load(at, pick + c * kWindowColumns);
        const auto left = reinterpret_cast<simd::Floats>(simd::place_bytes(first, second, at));
        simd::load(at, pick + (c + 3) * kWindowColumns);
        const auto right = reinterpret_cast<simd::Floats>(simd::place_bytes(first, second, at));
        simd::store(outs[c] + x, simd::fma_lanes(fx, right - left, left - 0x1p23f));
      }
    }
  }
}

// One input row of a crop from its two interpolated frame rows:
// v = fma(fy, r_bottom - r_top, r_top), rounded to a byte, normalised into
// plane 2 - c for byte c.
CORVANE_FMA_CLONES void write_row(const float* __restrict top, const float* __restrict bottom,
                                  std::uint64_t padded, std::uint64_t width, float fy,
                                  const PlaneValues& values, float* __restrict p0,
                                  float* __restrict p1, float* __restrict p2) {
  float* const planes[3] = {p0, p1, p2};
  for (std::size_t c = 0; c < 3; ++c) {
    const std::size_t plane = 2 - c;
    const float mean = values.mean[plane], stddev = values.stddev[plane];
    const float rcp = 1.0f / stddev;
    const float* __restrict const r0 = top + c * padded;
    const float* __restrict const r1 = bottom + c * padded;
    float* __restrict const out = planes[plane];
    for (std::uint64_t x = 0; x < width; ++x) {
      // Adding and subtracting 2^23 rounds a value in [0, 2^23) to an
      // integer, half to even, in the round-to-nearest mode every call runs
      // in.
      const float v = (std::fma(fy, r1[x] - r0[x], r0[x]) + 0x1p23f) - 0x1p23f;
      out[x] = detail::normalised(v, mean, stddev, rcp);
    }
  }
}

Row frame_row(const Image& frame, std::int64_t y) noexcept {
  if (y < 0 || static_cast<std::uint64_t>(y) >= frame.height) return {nullptr, false, 0};
  const auto row = static_cast<std::uint64_t>(y);
  return {frame.pixels.data() + row * frame.width * 3, row + 1 == frame.height,
          (frame.height - row) * frame.width * 3};
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

void affine_crops(const Image& frame, std::span<const AffineCrop> crops, const CropPlanes& dst,
                  bool byte_permutes) {
  if (product(frame.height, frame.width, 3) > frame.pixels.size())
    throw Panic("frame of " + std::to_string(frame.pixels.size()) + " bytes is too short for a " +
                std::to_string(frame.height) + "x" + std::to_string(frame.width) + "x3 image");
  const std::uint64_t plane = dst.height * dst.width;
  if (product(crops.size(), 3, plane) > dst.values.size())
    throw Panic("destination of " + std::to_string(dst.values.size()) +
                " values is too short for " + std::to_string(crops.size()) + " crops of 3x" +
                std::to_string(dst.height) + "x" + std::to_string(dst.width));
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
  const std::uint64_t bands = (rows + kBand - 1) / kBand;
  corvane::parallel::parallel_for(0, crops.size() * bands, [&](std::size_t task) {
    const std::size_t i = task / bands;
    const std::uint64_t first = task % bands * kBand;
    const std::uint64_t last = std::min(rows, first + kBand);
    const Columns& c = columns[i];
    const std::uint64_t padded = c.fraction.size();
    // The two frame rows interpolated last, each kept while the next input
    // row still samples it (rows outside the frame are zeros), on cache
    // lines as the columns' fractions and picks are: a vector that straddles
    // two lines costs two. Left uninitialised: a slot is written whole before
    // it is first read.
    simd::LineVector<float> cache(2 * 3 * padded);
    std::int64_t held[2] = {-2, -2};
    const auto across = [&](std::int64_t y, std::int64_t keep) -> const float* {
      for (std::size_t s = 0; s < 2; ++s)
        if (held[s] == y) return cache.data() + s * 3 * padded;
      const std::size_t s = held[0] == keep ? 1 : 0;
      float* const out = cache.data() + s * 3 * padded;
      const Row row = frame_row(frame, y);
      // The frame rows the next input rows sample are far apart in memory:
      // fetch the one after the next while this one is interpolated (the
      // next one was fetched the same way, one row ago).
      const std::uint8_t* const ahead = frame_row(frame, y + 2).pixels;
      if (row.pixels && byte_permutes)
        interpolate_row_windows(c, row, ahead, out);
      else if (row.pixels)
        interpolate_row(c, row, ahead, out);
      else
        std::fill_n(out, 3 * padded, 0.0f);
      held[s] = y;
      return out;
    };
    for (std::uint64_t y = first; y < last; ++y) {
      float* const p0 = dst.values.data() + (i * 3 * plane) + y * dst.width;
      const Tap t = tap(maps[i].a * static_cast<double>(y) + maps[i].by, frame.height);
      if (!t.inside) {
        // Every tap is outside: the value of byte 0.
        for (std::size_t k = 0; k < 3; ++k) std::fill_n(p0 + k * plane, dst.width, values(k, 0));
        continue;
      }
      const float* const top = across(t.first, t.first + 1);
      const float* const bottom = across(t.first + 1, t.first);
      write_row(top, bottom, padded, dst.width, t.fraction, values, p0, p0 + plane, p0 + 2 * plane);
    }
  });
}

}  // namespace corvane::preprocess
