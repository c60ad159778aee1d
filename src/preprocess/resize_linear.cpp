#include "preprocess/resize_linear.hpp"

#include "preprocess/windows.hpp"

#include "core/messages.hpp"
#include "core/panic.hpp"
#include "core/simd.hpp"
#include "parallel/pool.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace corvane::preprocess {
namespace {

constexpr std::size_t kLanes = simd::kLanes;
using Ints = simd::Vec<std::int32_t, kLanes>;
using Words = simd::Vec<std::uint32_t, kLanes>;
using Floats = simd::Floats;

// Weights are fixed point with 11 fractional bits.
constexpr float kWeightScale = 2048.0f;

// Every module call runs in round-to-nearest, where nearbyint rounds halves
// to even, as Python's round and OpenCV's weight rounding do.
double round_half_even(double v) noexcept { return std::nearbyint(v); }

std::uint64_t round_size(double v) noexcept {
  const double r = round_half_even(v);
  return r > 0.0 ? static_cast<std::uint64_t>(r) : 0;
}

// Destination index d of an axis: the unclamped first source tap and the two
// weights. The position is computed in double and only then rounded to
// float32, and the fraction is taken in float32: that order decides the
// weights of some pixels.
struct Tap {
  std::int64_t first;
  std::int32_t w0;
  std::int32_t w1;
};

Tap tap(double scale, std::uint64_t d) noexcept {
  float f = static_cast<float>((static_cast<double>(d) + 0.5) * scale - 0.5);
  const float s = std::floor(f);
  f -= s;
  return {static_cast<std::int64_t>(s),
          static_cast<std::int32_t>(std::nearbyint((1.0f - f) * kWeightScale)),
          static_cast<std::int32_t>(std::nearbyint(f * kWeightScale))};
}

double axis_scale(std::uint64_t src_len, std::uint64_t dst_len) noexcept {
  return 1.0 / (static_cast<double>(dst_len) / static_cast<double>(src_len));
}

std::uint64_t clamp_index(std::int64_t i, std::uint64_t len) noexcept {
  if (i < 0) return 0;
  return std::min(static_cast<std::uint64_t>(i), len - 1);
}

// Rows: both taps clamped, both weights kept, since the vertical sum rounds
// each product on its own and a repeated edge row must count twice.
struct Rows {
  std::vector<std::uint64_t> tap0, tap1;
  std::vector<std::int32_t> w0, w1;
};

Rows plan_rows(std::uint64_t src_h, std::uint64_t new_h) {
  Rows r;
  const double scale = axis_scale(src_h, new_h);
  for (std::uint64_t d = 0; d < new_h; ++d) {
    const Tap t = tap(scale, d);
    r.tap0.push_back(clamp_index(t.first, src_h));
    r.tap1.push_back(clamp_index(t.first + 1, src_h));
    r.w0.push_back(t.w0);
    r.w1.push_back(t.w1);
  }
  return r;
}

// The L1 data cache's size, or 32 KiB where the system does not say. Kept
// sums that fill half of it or more are evicted by the stores of the values
// before the next destination row reads them: measured, a 1024-column row
// pair's sums (24 KiB of a 48 KiB cache) made a 1096x847 frame into 1024x1024
// 8 to 10 % slower than making them anew, a 928-column one (22 KiB) as fast.
std::size_t l1_data_bytes() noexcept {
  static const std::size_t bytes = [] {
    const long v = ::sysconf(_SC_LEVEL1_DCACHE_SIZE);
    return v > 0 ? static_cast<std::size_t>(v) : std::size_t{32768};
  }();
  return bytes;
}

// Columns: each reads the two adjacent pixels at byte `offset` of its row,
// which never lie past the row. The horizontal sum is exact, so a tap
// clamped onto an edge pixel is the same as that pixel taking both weights;
// the pair is then chosen to lie inside the row. Padded with weightless
// columns up to whole vectors.
// How the weights of a call's columns fall: an exact downscale by an even
// factor gives every column two halves, by an odd factor one whole weight,
// and the sum is then a shift of one pixel or of a pair's sum.
enum class Weights { kAny, kHalves, kWhole };

// How the first n weight pairs (w0[k], w1[k]) fall.
template <class W0, class W1>
Weights weights_of(const W0& w0, const W1& w1, std::size_t n) {
  const auto all = [&](std::int32_t a, std::int32_t b) {
    for (std::size_t k = 0; k < n; ++k)
      if (w0[k] != a || w1[k] != b) return false;
    return true;
  };
  return all(1024, 1024) ? Weights::kHalves : all(2048, 0) ? Weights::kWhole : Weights::kAny;
}

// The groups of `group` columns from the first on whose bytes, `reach` of
// them from each column's offset, lie in the simd::kPermuteWindow bytes from
// the group's first offset.
std::size_t permute_groups(const std::vector<std::size_t>& offset, std::size_t groups,
                           std::size_t group, std::size_t reach) {
  std::size_t g = 0;
  while (g < groups && windows::span(offset, g * group, group, reach) <= simd::kPermuteWindow) ++g;
  return g;
}

// Where a pair's two bytes b lie, `at` bytes into a permute window: at bits
// 0..7 and 16..23, as simd::pick_pairs reads them.
constexpr std::uint32_t pair_pick(std::uint32_t at, std::uint32_t b) noexcept {
  return (at + b) | (at + 3 + b) << 16;
}

// Where the vector units shuffle well, sixteen columns at a time take their
// pixels from one window of source bytes, two vectors of sixteen 32-bit
// words (128 bytes), or three (192 bytes) when the pairs lie farther apart
// (a ratio from about 2.5 to 4): a shuffle picks the word holding a
// pixel's first byte and the one after it, and a funnel shift puts the
// pixel's three bytes at the bottom of a word. Groups past `fitting`, or
// whose window would reach past the source buffer, are read column by
// column.
constexpr std::size_t kVectorBytes = kLanes * 4;

struct Columns {
  std::vector<std::size_t> offset;
  simd::LineVector<std::int32_t> w0, w1;
  std::size_t padded;
  Weights weights;
  std::vector<std::size_t> base;  // per group: its window's first byte in the row
  // Per column and pixel of its pair: the window word holding the pixel's
  // first byte, the right shift of that word and the left shift of the next.
  simd::LineVector<std::uint32_t> word[2], right[2], left[2];
  std::size_t fitting;
  std::size_t window;
  // Where the processor has byte permutes: the groups from the first on
  // whose pairs lie in the simd::kPermuteWindow bytes from the group's first pair (its
  // base); per group, per channel byte b, per column, where the pair's two
  // bytes b lie in that window (bits 0..7 and 16..23); per column, its two
  // weights as a pair (w0 at bits 0..15, w1 at bits 16..31).
  std::size_t permuted = 0;
  simd::LineVector<std::uint32_t> pick;
  simd::LineVector<std::uint32_t> pairs;
};

void plan_permutes(Columns& c, std::size_t groups) {
  c.permuted = permute_groups(c.offset, groups, kLanes, 6);
  c.pick.resize(c.permuted * 3 * kLanes);
  for (std::size_t g = 0; g < c.permuted; ++g)
    for (std::uint32_t b = 0; b < 3; ++b)
      for (std::size_t k = 0; k < kLanes; ++k) {
        const auto at = static_cast<std::uint32_t>(c.offset[g * kLanes + k] - c.offset[g * kLanes]);
        c.pick[(g * 3 + b) * kLanes + k] = pair_pick(at, b);
      }
  c.pairs.resize(c.padded);
  for (std::size_t k = 0; k < c.padded; ++k)
    c.pairs[k] = static_cast<std::uint32_t>(c.w0[k]) | static_cast<std::uint32_t>(c.w1[k]) << 16;
}

void plan_windows(Columns& c, std::size_t groups) {
  // Each column reads its pixel pair: 3 bytes past its first pixel's offset.
  const windows::Fit fit = windows::fit(c.offset, groups, kLanes, 3, kVectorBytes);
  c.window = fit.window;
  c.fitting = fit.fitting;
  c.base.resize(c.fitting);
  for (std::size_t i = 0; i < 2; ++i) {
    c.word[i].resize(c.fitting * kLanes);
    c.right[i].resize(c.fitting * kLanes);
    c.left[i].resize(c.fitting * kLanes);
  }
  for (std::size_t g = 0; g < c.fitting; ++g) {
    const std::size_t first = g * kLanes;
    c.base[g] = windows::group_base(c.offset, first);
    for (std::size_t k = first; k < first + kLanes; ++k)
      for (std::size_t i = 0; i < 2; ++i) {
        const windows::Shifts at = windows::shifts(c.offset[k] + 3 * i - c.base[g]);
        c.word[i][k] = at.word;
        c.right[i][k] = at.right;
        c.left[i][k] = at.left;
      }
  }
}

// The columns' pixel pairs and weights; their windows are planned apart
// (plan_passes), as the exact downscales do not use them.
Columns plan_columns(std::uint64_t src_w, std::uint64_t new_w) {
  Columns c;
  c.padded = (new_w + kLanes - 1) / kLanes * kLanes;
  c.offset.assign(c.padded, 0);
  c.w0.assign(c.padded, 0);
  c.w1.assign(c.padded, 0);
  const double scale = axis_scale(src_w, new_w);
  for (std::uint64_t d = 0; d < new_w; ++d) {
    const Tap t = tap(scale, d);
    const std::uint64_t a = clamp_index(t.first, src_w), b = clamp_index(t.first + 1, src_w);
    if (b == a + 1) {
      c.offset[d] = a * 3;
      c.w0[d] = t.w0;
      c.w1[d] = t.w1;
    } else if (a == 0) {
      c.w0[d] = t.w0 + t.w1;
    } else {
      c.offset[d] = (a - 1) * 3;
      c.w1[d] = t.w0 + t.w1;
    }
  }
  c.weights = weights_of(c.w0, c.w1, new_w);
  // Offsets never decrease: the padding columns read the last pair.
  std::fill(c.offset.begin() + static_cast<std::ptrdiff_t>(new_w), c.offset.end(),
            c.offset[new_w - 1]);
  return c;
}

// The windows of the horizontal pass.
void plan_passes(Columns& c, std::uint64_t src_w, bool permutes) {
  plan_windows(c, src_w < 2 ? 0 : c.padded / kLanes);
  if (permutes) plan_permutes(c, src_w < 2 ? 0 : c.padded / kLanes);
}

// The pixel at pair position `i` of the sixteen columns from `k` on, in the
// low three bytes of its word.
template <bool Wide>
CORVANE_INLINE void pixels(const Columns& c, std::size_t i, std::size_t k, const Words& lo,
                           const Words& hi, const Words& far, Words& into) {
  Words word, right, left;
  simd::load(word, c.word[i].data() + k);
  simd::load(right, c.right[i].data() + k);
  simd::load(left, c.left[i].data() + k);
  windows::funnel<Wide>(lo, hi, far, word, right, left, into);
}

// The sums of the sixteen columns from `k` on, from their pixel words.
template <Weights Kind>
CORVANE_INLINE void column_sums(const Columns& c, std::size_t k, const Words& p0, const Words& p1,
                                std::int32_t* out) {
  const std::size_t n = c.padded;
  Ints red, green, blue;
  if constexpr (Kind == Weights::kWhole) {
    // p0 * 2048 >> 4.
    red = Ints((p0 >> 16) & 255) << 7;
    green = Ints((p0 >> 8) & 255) << 7;
    blue = Ints(p0 & 255) << 7;
  } else if constexpr (Kind == Weights::kHalves) {
    // (p0 * 1024 + p1 * 1024) >> 4.
    red = Ints(((p0 >> 16) & 255) + ((p1 >> 16) & 255)) << 6;
    green = Ints(((p0 >> 8) & 255) + ((p1 >> 8) & 255)) << 6;
    blue = Ints((p0 & 255) + (p1 & 255)) << 6;
  } else {
    Ints w0, w1;
    simd::load(w0, c.w0.data() + k);
    simd::load(w1, c.w1.data() + k);
    red = (Ints((p0 >> 16) & 255) * w0 + Ints((p1 >> 16) & 255) * w1) >> 4;
    green = (Ints((p0 >> 8) & 255) * w0 + Ints((p1 >> 8) & 255) * w1) >> 4;
    blue = (Ints(p0 & 255) * w0 + Ints(p1 & 255) * w1) >> 4;
  }
  simd::store(out + k, red);
  simd::store(out + n + k, green);
  simd::store(out + 2 * n + k, blue);
}

// The word (4 or 8 bytes, as W) at each column's offset in `row`, columns
// [begin, c.padded), into[k] for column k, bytes in little-endian order.
template <class W>
CORVANE_INLINE void gather(const Columns& c, const std::uint8_t* row, std::size_t begin,
                           W* into) noexcept {
#pragma GCC unroll 8
  for (std::size_t k = begin; k < c.padded; ++k) {
    W v;
    std::memcpy(&v, row + c.offset[k], sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
      if constexpr (sizeof v == 4)
        v = __builtin_bswap32(v);
      else
        v = __builtin_bswap64(v);
    }
    into[k] = v;
  }
}

// One source row through the horizontal pass: per column and channel
// (p0 * w0 + p1 * w1) >> 4, stored as planes R, G, B of `c.padded` values.
// `limit` is how many bytes of the source buffer there are from the row's
// start on. Columns outside the shuffled windows read their pixel pair as
// one 8-byte word (two bytes past the pair, which the row's caller
// guarantees are readable), or only the first pixel's 4-byte word when the
// second has no weight; those words are gathered first, so that the vector
// loads never wait on the scalar stores just before them.
template <Weights Kind, bool Wide>
CORVANE_CLONES void horizontal(const Columns& c, const std::uint8_t* row, std::size_t limit,
                               bool shuffles, std::size_t begin, std::uint64_t* words,
                               std::int32_t* out) {
  const std::size_t n = c.padded;
  if (shuffles) {
    // The fitting groups whose window lies inside the buffer (windows only
    // move right).
    std::size_t groups = c.fitting;
    while (groups > 0 && c.base[groups - 1] + c.window > limit) --groups;
    for (; begin < groups * kLanes; begin += kLanes) {
      const std::uint8_t* const window = row + c.base[begin / kLanes];
      Words lo, hi, far{}, p0, p1;
      simd::load(lo, window);
      simd::load(hi, window + kVectorBytes);
      if constexpr (Wide) simd::load(far, window + 2 * kVectorBytes);
      pixels<Wide>(c, 0, begin, lo, hi, far, p0);
      if constexpr (Kind == Weights::kWhole) {
        p1 = p0;
      } else {
        pixels<Wide>(c, 1, begin, lo, hi, far, p1);
      }
      column_sums<Kind>(c, begin, p0, p1, out);
    }
  }
  if constexpr (Kind == Weights::kWhole) {
    auto* const pixel = reinterpret_cast<std::uint32_t*>(words);
    gather(c, row, begin, pixel);
    for (std::size_t k = begin; k < n; k += kLanes) {
      Words v;
      simd::load(v, pixel + k);
      column_sums<Kind>(c, k, v, v, out);
    }
    return;
  }
  gather(c, row, begin, words);
  using Pairs = simd::Vec<std::uint64_t, kLanes>;
  for (std::size_t k = begin; k < n; k += kLanes) {
    Pairs pair;
    simd::load(pair, words + k);
    const Words lo = __builtin_convertvector(pair, Words);
    const Words hi = __builtin_convertvector(pair >> 24, Words);
    column_sums<Kind>(c, k, lo, hi, out);
  }
}

// The groups from the first on that have a permute window inside the
// `limit` bytes readable from the row's start (windows only move right).
std::size_t readable_groups(const Columns& c, std::size_t limit) noexcept {
  std::size_t g = 0;
  while (g < c.permuted && c.offset[g * kLanes] + simd::kPermuteWindow <= limit) ++g;
  return g;
}

// The sums of group g's columns in one source row per channel byte b (0:
// blue), as horizontal() makes them: one permute puts each column's two
// bytes into the two 16-bit halves of its lane, and one multiply-add of
// halves gives p0 * w0 + p1 * w1.
CORVANE_BYTE_PERMUTES CORVANE_INLINE void group_sums(const Columns& c, std::size_t g,
                                                     const std::uint8_t* row,
                                                     Ints (&sums)[3]) noexcept {
  const std::size_t first = g * kLanes;
  simd::Bytes lo, hi;
  simd::load(lo, row + c.offset[first]);
  simd::load(hi, row + c.offset[first] + sizeof lo);
  Words weights;
  simd::load(weights, c.pairs.data() + first);
  for (std::size_t b = 0; b < 3; ++b) {
    Words pick;
    simd::load(pick, c.pick.data() + (g * 3 + b) * kLanes);
    sums[b] = simd::pair_products(simd::pick_pairs(lo, hi, pick), weights) >> 4;
  }
}

// The columns of the groups that readable_groups gives, as horizontal()
// makes them. Returns how many columns it made.
CORVANE_BYTE_PERMUTES std::size_t horizontal_permuted(const Columns& c, const std::uint8_t* row,
                                                      std::size_t limit, std::int32_t* out) {
  const std::size_t groups = readable_groups(c, limit);
  for (std::size_t g = 0; g < groups; ++g) {
    Ints sums[3];
    group_sums(c, g, row, sums);
    // Byte 0 is blue, the last plane.
    for (std::size_t b = 0; b < 3; ++b) simd::store(out + (2 - b) * c.padded + g * kLanes, sums[b]);
  }
  return groups * kLanes;
}

template <Weights Kind>
void horizontal_of(const Columns& c, const std::uint8_t* row, std::size_t limit, bool shuffles,
                   bool permutes, std::uint64_t* words, std::int32_t* out) {
  const std::size_t begin = permutes ? horizontal_permuted(c, row, limit, out) : 0;
  if (c.window > 2 * kVectorBytes) {
    horizontal<Kind, true>(c, row, limit, shuffles, begin, words, out);
  } else {
    horizontal<Kind, false>(c, row, limit, shuffles, begin, words, out);
  }
}

// One destination row of the three planes: the margins `pad`, the image
// area from the horizontal sums of its two source rows, each product
// shifted down on its own before the sum and the rounding (the fixed-point
// order that decides the bytes), then byte / 255.0f. That quotient is
// byte / 256 + byte / 65280: the first term is exact, and the one rounding
// of the second and of the sum land on the correctly rounded quotient for
// every byte, at the cost of two products instead of a division.
struct RowPlace {
  std::size_t width, pad_x, new_w, padded;
  float pad;
};

// byte / 255.0f as byte * kLowScale + byte * kHighScale (see above), with
// the products added (portable) or the first fused into the sum (exact
// either way, as the first product is).
constexpr float kLowScale = 0x1p-8f;
constexpr float kHighScale = 1.0f / 65280.0f;

CORVANE_BYTE_PERMUTES CORVANE_INLINE Floats byte_values(const Floats& bytes) noexcept {
  return simd::fma_lanes(bytes, Floats{} + kLowScale, bytes * kHighScale);
}

// Fills the margins of one plane's row and returns where its image part
// starts.
CORVANE_INLINE float* image_part(const RowPlace& at, float* row) noexcept {
  std::fill_n(row, at.pad_x, at.pad);
  std::fill(row + at.pad_x + at.new_w, row + at.width, at.pad);
  return row + at.pad_x;
}

// The sixteen values of an image row from column k on, of which only those
// before column n are stored.
CORVANE_INLINE void store_values(float* out, std::size_t k, std::size_t n,
                                 const Floats& values) noexcept {
  if (k + kLanes <= n) {
    simd::store(out + k, values);
  } else {
    float last[kLanes];
    simd::store(last, values);
    std::memcpy(out + k, last, (n - k) * sizeof(float));
  }
}

CORVANE_INLINE Ints clamp_byte(Ints v) noexcept {
  v = v < 0 ? 0 : v;
  return v > 255 ? 255 : v;
}

// The image part of a destination row from column `from` on (a multiple of
// the lanes), into `outs`, each plane's image part.
CORVANE_CLONES void image_row(const RowPlace& at, const std::int32_t* h0, const std::int32_t* h1,
                              std::int32_t w0, std::int32_t w1, float* const outs[3],
                              std::size_t from) {
  for (std::size_t p = 0; p < 3; ++p) {
    const std::int32_t* a = h0 + p * at.padded;
    const std::int32_t* b = h1 + p * at.padded;
    for (std::size_t k = from; k < at.new_w; k += kLanes) {
      Ints x, y;
      simd::load(x, a + k);
      simd::load(y, b + k);
      const Floats bytes = __builtin_convertvector(
          clamp_byte((((x * w0) >> 16) + ((y * w1) >> 16) + 2) >> 2), Floats);
      store_values(outs[p], k, at.new_w, bytes * kLowScale + bytes * kHighScale);
    }
  }
}

// The sixteen values from the sums x, y (below 2^15) of a destination row's
// two source rows and its weights as 16-bit halves (high halves 0): each
// product is one multiply-add of halves, and as byte / 256 is exact, the sum
// of the two terms of byte / 255 one FMA.
CORVANE_BYTE_PERMUTES CORVANE_INLINE Floats vertical_values(const Words& x, const Words& y,
                                                            const Words& w0,
                                                            const Words& w1) noexcept {
  const Ints sum = (simd::pair_products(x, w0) >> 16) + (simd::pair_products(y, w1) >> 16);
  return byte_values(__builtin_convertvector(clamp_byte((sum + 2) >> 2), Floats));
}

// image_row where the processor has byte permutes.
CORVANE_BYTE_PERMUTES void image_row_permuted(const RowPlace& at, const std::int32_t* h0,
                                              const std::int32_t* h1, std::int32_t w0,
                                              std::int32_t w1, float* const outs[3],
                                              std::size_t from) {
  const Words weight0 = Words{} + static_cast<std::uint32_t>(w0);
  const Words weight1 = Words{} + static_cast<std::uint32_t>(w1);
  for (std::size_t p = 0; p < 3; ++p) {
    const std::int32_t* a = h0 + p * at.padded;
    const std::int32_t* b = h1 + p * at.padded;
    for (std::size_t k = from; k < at.new_w; k += kLanes) {
      Words x, y;
      simd::load(x, a + k);
      simd::load(y, b + k);
      store_values(outs[p], k, at.new_w, vertical_values(x, y, weight0, weight1));
    }
  }
}

// A destination row made in one pass from its source rows r0 and r1, where
// the processor has byte permutes: each group of sixteen columns makes the
// sums of both rows in registers, as horizontal_permuted does, and then its
// values. A source row's sums are made once per destination row that reads
// it, up to twice as often as when they are kept, but only the values are
// stored: where two kept rows of sums no longer stay in the L1 cache, that
// is faster (see l1_data_bytes). Returns how many groups it made: those with
// permute windows inside both rows' readable bytes (`limit`).
CORVANE_BYTE_PERMUTES std::size_t direct_row(const Columns& c, const RowPlace& at,
                                             const std::uint8_t* r0, const std::uint8_t* r1,
                                             std::size_t limit, std::int32_t w0, std::int32_t w1,
                                             float* const outs[3]) {
  const Words weight0 = Words{} + static_cast<std::uint32_t>(w0);
  const Words weight1 = Words{} + static_cast<std::uint32_t>(w1);
  const std::size_t groups = readable_groups(c, limit);
  for (std::size_t g = 0; g < groups; ++g) {
    Ints x[3], y[3];
    group_sums(c, g, r0, x);
    group_sums(c, g, r1, y);
    // Byte 0 is blue, the last plane.
    for (std::size_t b = 0; b < 3; ++b)
      store_values(outs[2 - b], g * kLanes, at.new_w,
                   vertical_values(Words(x[b]), Words(y[b]), weight0, weight1));
  }
  return groups;
}

// Exact downscales by a whole factor on both axes, as the common video
// sizes into 640 are (1280x720 by 2, 1920x1080 by 3), and copies at the same
// size: every column and row then has the same weights, and the two passes
// come down to one source pixel (odd factors: weights 2048 and 0) or to the
// rounded mean of a 2x2 block (even factors: 1024 each):
//   odd:  (((p << 7) * 2048 >> 16) + 2) >> 2 = p
//   even: (((p00 + p01) << 6) * 1024 >> 16) + (((p10 + p11) << 6) * 1024 >> 16)
//         = p00 + p01 + p10 + p11, then (sum + 2) >> 2.
// Where the processor has byte permutes, such a row is made in one pass from
// its source rows: per channel, a group of sixteen columns takes its bytes
// out of a window of each source row with one permute, or with one per
// eight columns where the group's bytes spread wider than a window (split).
struct Exact {
  Weights kind = Weights::kAny;
  bool split = false;
  // The groups from the first on that have windows; per group, where each
  // half's window starts in the row (the same twice when not split); per
  // group, per channel byte b, per column, where its byte (odd) or its
  // pair's two bytes (even, at bits 0..7 and 16..23) lie in its window.
  std::size_t groups = 0;
  std::vector<std::size_t> base;
  simd::LineVector<std::uint32_t> pick;
};

Exact plan_exact(const Columns& c, const Rows& r) {
  Exact e;
  if (c.weights == Weights::kAny || weights_of(r.w0, r.w1, r.w0.size()) != c.weights) return e;
  const std::size_t reach = c.weights == Weights::kHalves ? 6 : 3;
  const std::size_t groups = c.padded / kLanes, half = kLanes / 2;
  // Split, a group has a window per half: it fits when both halves do.
  const std::size_t whole = permute_groups(c.offset, groups, kLanes, reach);
  const std::size_t halves =
      whole < groups ? permute_groups(c.offset, 2 * groups, half, reach) / 2 : 0;
  e.split = halves > whole;
  e.groups = std::max(whole, halves);
  if (e.groups == 0) return e;
  e.kind = c.weights;
  e.base.resize(2 * e.groups);
  e.pick.resize(e.groups * 3 * kLanes);
  for (std::size_t g = 0; g < e.groups; ++g) {
    const std::size_t first = g * kLanes;
    e.base[2 * g] = c.offset[first];
    e.base[2 * g + 1] = c.offset[e.split ? first + half : first];
    for (std::uint32_t b = 0; b < 3; ++b)
      for (std::size_t k = 0; k < kLanes; ++k) {
        const std::size_t from = e.base[2 * g + (k < half ? 0 : 1)];
        const auto at = static_cast<std::uint32_t>(c.offset[first + k] - from);
        e.pick[(g * 3 + b) * kLanes + k] = e.kind == Weights::kHalves ? pair_pick(at, b) : at + b;
      }
  }
  return e;
}

// The bytes of a group's columns (Mask: pick_bytes' mask, for all lanes)
// out of its windows as load_windows loads them: window[0] then window[1]
// for its first eight columns, window[2] then window[3] for the others when
// split, else the first two for all sixteen.
template <bool Split, std::uint64_t Mask>
CORVANE_BYTE_PERMUTES CORVANE_INLINE Words take(const simd::Bytes* window,
                                                const Words& pick) noexcept {
  if constexpr (Split) {
    return simd::pick_bytes<Mask & simd::kLowLanes>(window[0], window[1], pick) |
           simd::pick_bytes<Mask & simd::kHighLanes>(window[2], window[3], pick);
  } else {
    return simd::pick_bytes<Mask>(window[0], window[1], pick);
  }
}

// The windows of group g in a source row.
template <bool Split>
CORVANE_BYTE_PERMUTES CORVANE_INLINE void load_windows(const Exact& e, std::size_t g,
                                                       const std::uint8_t* row,
                                                       simd::Bytes* window) noexcept {
  simd::load(window[0], row + e.base[2 * g]);
  simd::load(window[1], row + e.base[2 * g] + sizeof(simd::Bytes));
  if constexpr (Split) {
    simd::load(window[2], row + e.base[2 * g + 1]);
    simd::load(window[3], row + e.base[2 * g + 1] + sizeof(simd::Bytes));
  }
}

// The image part of one destination row of an exact downscale, into
// `outs`, each plane's image part, from its source rows r0 and r1 (odd
// factors read r0 only); `limit`: the bytes readable from the start of each
// row on. The columns past the groups whose windows are readable are made
// one by one.
template <Weights Kind, bool Split>
CORVANE_BYTE_PERMUTES void exact_row(const Exact& e, const Columns& c, const RowPlace& at,
                                     const std::uint8_t* r0, const std::uint8_t* r1,
                                     std::size_t limit, float* const outs[3]) {
  const Words ones = Words{} + 0x10001u;
  std::size_t g = 0;
  for (; g < e.groups && e.base[2 * g + 1] + simd::kPermuteWindow <= limit; ++g) {
    simd::Bytes top[4], bottom[4];
    load_windows<Split>(e, g, r0, top);
    if constexpr (Kind == Weights::kHalves) load_windows<Split>(e, g, r1, bottom);
    for (std::size_t b = 0; b < 3; ++b) {
      Words pick;
      simd::load(pick, e.pick.data() + (g * 3 + b) * kLanes);
      Ints bytes;
      if constexpr (Kind == Weights::kWhole) {
        bytes = Ints(take<Split, simd::kLaneLowBytes>(top, pick));
      } else {
        // Sums of two bytes fill no 16-bit half.
        const Words pairs = take<Split, simd::kHalfLowBytes>(top, pick) +
                            take<Split, simd::kHalfLowBytes>(bottom, pick);
        bytes = (simd::pair_products(pairs, ones) + 2) >> 2;
      }
      const Floats f = __builtin_convertvector(bytes, Floats);
      // Byte 0 is blue, the last plane.
      store_values(outs[2 - b], g * kLanes, at.new_w, byte_values(f));
    }
  }
  for (std::size_t k = g * kLanes; k < at.new_w; ++k) {
    const std::size_t o = c.offset[k];
    for (std::size_t b = 0; b < 3; ++b) {
      const auto byte = [&](const std::uint8_t* row, std::size_t i) -> std::uint32_t {
        return row[o + i + b];
      };
      const std::uint32_t v =
          Kind == Weights::kWhole
              ? byte(r0, 0)
              : (byte(r0, 0) + byte(r0, 3) + byte(r1, 0) + byte(r1, 3) + 2) >> 2;
      const auto f = static_cast<float>(v);
      outs[2 - b][k] = std::fma(f, kLowScale, f * kHighScale);
    }
  }
}

void exact_row_of(const Exact& e, const Columns& c, const RowPlace& at, const std::uint8_t* r0,
                  const std::uint8_t* r1, std::size_t limit, float* const outs[3]) {
  using enum Weights;
  if (e.kind == kWhole) {
    if (e.split)
      exact_row<kWhole, true>(e, c, at, r0, r1, limit, outs);
    else
      exact_row<kWhole, false>(e, c, at, r0, r1, limit, outs);
  } else if (e.split) {
    exact_row<kHalves, true>(e, c, at, r0, r1, limit, outs);
  } else {
    exact_row<kHalves, false>(e, c, at, r0, r1, limit, outs);
  }
}

CORVANE_CLONES void margin_row(std::size_t width, float pad, float* const planes[3]) {
  for (std::size_t p = 0; p < 3; ++p) std::fill_n(planes[p], width, pad);
}

}  // namespace

Letterbox linear_fit(std::uint64_t src_w, std::uint64_t src_h, std::uint64_t dst_w,
                     std::uint64_t dst_h) noexcept {
  const auto d = [](std::uint64_t v) { return static_cast<double>(v); };
  const double r = std::min(d(dst_h) / d(src_h), d(dst_w) / d(src_w));
  Letterbox box{};
  box.ratio = static_cast<float>(1.0 / r);
  box.new_w = std::min(round_size(d(src_w) * r), dst_w);
  box.new_h = std::min(round_size(d(src_h) * r), dst_h);
  box.pad_x = round_size((d(dst_w) - d(box.new_w)) / 2.0 - 0.1);
  box.pad_y = round_size((d(dst_h) - d(box.new_h)) / 2.0 - 0.1);
  return box;
}

void letterbox_linear(const Image& src, const Planes& dst, const Letterbox& box, std::uint8_t pad,
                      bool permutes, RowSums sums_way) {
  const std::uint64_t src_len = check_buffers(src, dst);
  const bool placed = box.new_w >= 1 && box.new_h >= 1 && box.new_w <= dst.width &&
                      box.new_h <= dst.height && box.pad_x <= dst.width - box.new_w &&
                      box.pad_y <= dst.height - box.new_h;
  if (!placed || src.width == 0 || src.height == 0) throw Panic(messages::kLetterboxDoesNotFit);

  Columns columns = plan_columns(src.width, box.new_w);
  const Rows rows = plan_rows(src.height, box.new_h);
  const Exact exact = permutes ? plan_exact(columns, rows) : Exact{};
  if (exact.kind == Weights::kAny) plan_passes(columns, src.width, permutes);

  // A column reads 8 bytes from its pair's start, at most 2 past the end of
  // a row of two pixels or more: every row but the last is followed by
  // another, the last is read from a copy with room to spare. A one-pixel
  // row gets 8 bytes of its own.
  const std::uint8_t* in = src.pixels.data();
  std::size_t stride = src.width * 3;
  std::vector<std::uint8_t> copy;
  if (src.width == 1) {
    stride = 8;
    copy.assign(src.height * stride, 0);
    for (std::uint64_t y = 0; y < src.height; ++y) std::memcpy(&copy[y * stride], in + y * 3, 3);
    in = copy.data();
  } else {
    copy.assign(stride + 8, 0);
    std::memcpy(copy.data(), in + (src.height - 1) * stride, stride);
  }
  const std::uint8_t* const last = src.width == 1 ? in + (src.height - 1) * stride : copy.data();
  // Bytes readable from a row's start on, for the windows.
  const auto readable = [&](std::uint64_t y) -> std::size_t {
    if (src.width == 1) return (src.height - y) * stride;
    return y + 1 == src.height ? copy.size() : src_len - y * stride;
  };
  const auto row_of = [&](std::uint64_t y) { return y + 1 == src.height ? last : in + y * stride; };
  const bool shuffles = simd::wide_shuffles();

  const float pad_value = static_cast<float>(pad) / 255.0f;
  const std::size_t width = dst.width;
  const std::size_t plane = dst.height * dst.width;
  float* const out = dst.values.data();
  const std::size_t padded = columns.padded;
  const bool direct = permutes && exact.kind == Weights::kAny &&
                      (sums_way == RowSums::kDirect ||
                       (sums_way == RowSums::kAuto && box.new_h <= src.height &&
                        2 * 3 * padded * sizeof(std::int32_t) >= l1_data_bytes() / 2));
  const RowPlace place{width, box.pad_x, box.new_w, padded, pad_value};

  // Bands of destination rows; within a band the sums of the two most recent
  // source rows are kept (unless rows are made directly), so consecutive rows
  // sharing a source row make its sums once. Every value depends only on its
  // own row's taps, whatever the split and the way.
  const std::size_t threads = parallel::num_threads();
  const std::size_t bands = std::min<std::size_t>(dst.height, threads == 1 ? 1 : 4 * threads);
  parallel::parallel_for(0, bands, [&](std::size_t band) {
    const std::size_t begin = dst.height * band / bands, end = dst.height * (band + 1) / bands;
    // Uninitialised: a row's sums, all padded columns of them, are written
    // before they are read, and so are the staged words. The exact
    // downscales use neither.
    const std::size_t kept = exact.kind == Weights::kAny ? padded : 0;
    simd::LineVector<std::int32_t> sums(2 * 3 * kept);
    simd::LineVector<std::uint64_t> words(kept);
    std::int64_t held[2] = {-1, -1};
    // Source row y's sums, computed unless held, never evicting `keep`.
    const auto sums_of = [&](std::uint64_t y, std::uint64_t keep) -> const std::int32_t* {
      for (std::size_t s = 0; s < 2; ++s)
        if (held[s] == static_cast<std::int64_t>(y)) return &sums[s * 3 * padded];
      const std::size_t s = held[0] == static_cast<std::int64_t>(keep) ? 1 : 0;
      const std::uint8_t* row = row_of(y);
      std::int32_t* const into = &sums[s * 3 * padded];
      const std::size_t limit = readable(y);
      std::uint64_t* const staged = words.data();
      using enum Weights;
      switch (columns.weights) {
        case kHalves:
          horizontal_of<kHalves>(columns, row, limit, shuffles, permutes, staged, into);
          break;
        case kWhole:
          horizontal_of<kWhole>(columns, row, limit, shuffles, permutes, staged, into);
          break;
        case kAny:
          horizontal_of<kAny>(columns, row, limit, shuffles, permutes, staged, into);
          break;
      }
      held[s] = static_cast<std::int64_t>(y);
      return &sums[s * 3 * padded];
    };
    for (std::size_t y = begin; y < end; ++y) {
      float* const planes[3] = {out + y * width, out + plane + y * width,
                                out + 2 * plane + y * width};
      if (y < box.pad_y || y >= box.pad_y + box.new_h) {
        margin_row(width, pad_value, planes);
        continue;
      }
      const std::size_t a = y - box.pad_y;
      const std::uint64_t t0 = rows.tap0[a], t1 = rows.tap1[a];
      // The bytes readable from the start of both source rows on.
      const std::size_t limit = std::min(readable(t0), readable(t1));
      float* const outs[3] = {image_part(place, planes[0]), image_part(place, planes[1]),
                              image_part(place, planes[2])};
      if (exact.kind != Weights::kAny) {
        exact_row_of(exact, columns, place, row_of(t0), row_of(t1), limit, outs);
        continue;
      }
      const std::int32_t w0 = rows.w0[a], w1 = rows.w1[a];
      std::size_t from = 0;
      if (direct) {
        from = direct_row(columns, place, row_of(t0), row_of(t1), limit, w0, w1, outs) * kLanes;
        if (from >= box.new_w) continue;
      }
      // A row of weight 0 adds exactly 0 to the sum: it is not computed.
      const std::int32_t* h0 = w0 == 0 ? nullptr : sums_of(t0, t1);
      const std::int32_t* h1 = w1 == 0 ? h0 : sums_of(t1, t0);
      if (h0 == nullptr) h0 = h1;
      if (permutes)
        image_row_permuted(place, h0, h1, w0, w1, outs, from);
      else
        image_row(place, h0, h1, w0, w1, outs, from);
    }
  });
}

}  // namespace corvane::preprocess
