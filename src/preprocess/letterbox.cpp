#include "preprocess/letterbox.hpp"

#include "preprocess/windows.hpp"

#include "core/messages.hpp"
#include "core/panic.hpp"
#include "core/simd.hpp"
#include "parallel/pool.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace corvane::preprocess {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? kMax : sum;
}

// a * b * c, or kMax when that does not fit (no buffer is that long).
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
  std::uint64_t ab, abc;
  if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) return kMax;
  return abc;
}

float to_f32(std::uint64_t v) noexcept { return static_cast<float>(v); }

// Eight sampled pixels come from one window of source bytes, loaded as two
// vectors of eight 32-bit words (64 bytes), or three (96 bytes) when a call's
// pixels lie farther apart (a ratio from about 2.6 to 4.3): a shuffle picks
// the word holding each pixel's first byte and the one after it, and a
// funnel shift puts the pixel's three bytes at the bottom of a word. A group
// whose pixels span more than the window, or whose window would reach past
// the source buffer, takes its words one by one instead.
constexpr std::size_t kPixelGroup = 8;
constexpr std::size_t kVectorBytes = kPixelGroup * 4;
// Words staged per pass before their values are computed: the gathering
// and the arithmetic each run as one loop, so neither waits on the other.
constexpr std::size_t kStagedWords = 256;

using GroupWords = simd::Vec<std::uint32_t, kPixelGroup>;

// Per call: where every sampled pixel of a row is, in the forms the row
// writer reads.
struct Columns {
  std::vector<std::size_t> offset;   // byte offset of each sampled pixel in its row
  std::vector<std::size_t> base;     // per group: its window's first byte in the row
  std::vector<std::uint32_t> word;   // per pixel: window word holding its first byte
  std::vector<std::uint32_t> right;  // per pixel: right shift of that word, in bits
  std::vector<std::uint32_t> left;   // per pixel: left shift of the next word
  // Groups from the first on whose pixels all lie inside their window.
  std::size_t fitting;
  std::size_t window;  // bytes: two or three vectors
  // Columns [0, word_safe) may read their pixel as a 4-byte word in every
  // row, the rest only byte by byte in the last source row.
  std::uint64_t word_safe;
};

Columns plan_columns(float ratio, std::uint64_t new_w, std::uint64_t src_w) {
  Columns c;
  c.offset.resize(new_w);
  for (std::uint64_t i = 0; i < new_w; ++i) c.offset[i] = sample_index(ratio, i, src_w) * 3;
  // A pixel's three bytes are read as one 4-byte word, whose last byte
  // belongs to the next pixel. Only the very last pixel of the buffer has no
  // next one.
  const std::uint64_t src_row = src_w * 3;
  c.word_safe = 0;
  while (c.word_safe < new_w && c.offset[c.word_safe] + 3 < src_row) ++c.word_safe;

  const std::size_t groups = new_w / kPixelGroup;
  const windows::Fit fit = windows::fit(c.offset, groups, kPixelGroup, 0, kVectorBytes);
  c.window = fit.window;
  c.fitting = fit.fitting;
  c.base.resize(c.fitting);
  c.word.resize(c.fitting * kPixelGroup);
  c.right.resize(c.fitting * kPixelGroup);
  c.left.resize(c.fitting * kPixelGroup);
  for (std::size_t g = 0; g < c.fitting; ++g) {
    const std::size_t first = g * kPixelGroup;
    c.base[g] = windows::group_base(c.offset, first);
    for (std::size_t k = first; k < first + kPixelGroup; ++k) {
      const windows::Shifts at = windows::shifts(c.offset[k] - c.base[g]);
      c.word[k] = at.word;
      c.right[k] = at.right;
      c.left[k] = at.left;
    }
  }
  return c;
}

struct RowJob {
  const Columns& columns;
  const PlaneValues& values;
  std::uint64_t n;  // sampled pixels per row
};

// One destination row of the three planes from one source row. `limit` is
// how many bytes of the source buffer there are from the row's start on;
// `last` tells that the row is the buffer's last.
//
// Eight pixels at a time (one AVX2 register, which AVX-512 divides as fast
// per lane): the leading groups that take the shuffle get their words
// straight from it; the words of the others are
// first staged a chunk at a time, one by one, so that the vector loads that
// take them do not wait on the scalar stores just before.
template <bool Wide>
CORVANE_CLONES void write_row(const RowJob& job, const std::uint8_t* row, std::uint64_t limit,
                              bool last, float* __restrict r0, float* __restrict r1,
                              float* __restrict r2) {
  const Columns& c = job.columns;
  const std::uint64_t n = job.n;
  const std::uint64_t words = last ? c.word_safe : n;
  // The fitting groups whose window lies inside the buffer (windows only
  // move right).
  std::size_t shuffled = c.fitting;
  while (shuffled > 0 && c.base[shuffled - 1] + c.window > limit) --shuffled;
  const std::uint64_t direct = shuffled * kPixelGroup;

  const float m0 = job.values.mean[0], m1 = job.values.mean[1], m2 = job.values.mean[2];
  const float s0 = job.values.stddev[0], s1 = job.values.stddev[1], s2 = job.values.stddev[2];
  alignas(64) std::uint32_t staged[kStagedWords];

  for (std::uint64_t begin = 0; begin < n; begin += kStagedWords) {
    const std::uint64_t end = std::min<std::uint64_t>(n, begin + kStagedWords);
    // Bytes 0..2 of a pixel's word are its bytes; byte 3 is never read.
    for (std::uint64_t k = std::max(begin, direct); k < end; ++k) {
      const std::uint8_t* const p = row + c.offset[k];
      std::uint32_t v;
      if (k < words) {
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
      } else {
        v = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
      }
      staged[k - begin] = v;
    }
    // The values, lane by lane the same float32 operations as the scalar
    // tail: an exact conversion, a subtraction, a division.
    std::uint64_t i = begin;
    for (; i + kPixelGroup <= end; i += kPixelGroup) {
      GroupWords v;
      if (i < direct) {
        const std::size_t g = i / kPixelGroup;
        GroupWords lo, hi, far{}, word, right, left;
        simd::load(lo, row + c.base[g]);
        simd::load(hi, row + c.base[g] + kVectorBytes);
        if constexpr (Wide) simd::load(far, row + c.base[g] + 2 * kVectorBytes);
        simd::load(word, c.word.data() + i);
        simd::load(right, c.right.data() + i);
        simd::load(left, c.left.data() + i);
        windows::funnel<Wide>(lo, hi, far, word, right, left, v);
      } else {
        simd::load(v, staged + (i - begin));
      }
      using Ints = simd::Vec<std::int32_t, kPixelGroup>;
      using Floats = simd::Vec<float, kPixelGroup>;
      const auto red = __builtin_convertvector(Ints((v >> 16) & 255), Floats);
      const auto green = __builtin_convertvector(Ints((v >> 8) & 255), Floats);
      const auto blue = __builtin_convertvector(Ints(v & 255), Floats);
      simd::store(r0 + i, Floats{(red - m0) / s0});
      simd::store(r1 + i, Floats{(green - m1) / s1});
      simd::store(r2 + i, Floats{(blue - m2) / s2});
    }
    for (; i < end; ++i) {
      const std::uint32_t v = staged[i - begin];
      r0[i] = job.values(0, static_cast<std::uint8_t>(v >> 16));
      r1[i] = job.values(1, static_cast<std::uint8_t>(v >> 8));
      r2[i] = job.values(2, static_cast<std::uint8_t>(v));
    }
  }
}

}  // namespace

std::uint64_t saturating_u64(float v) noexcept {
  if (!(v > 0.0f)) return 0;  // negatives, zeros and NaN
  if (v >= 0x1p64f) return kMax;
  return static_cast<std::uint64_t>(v);
}

std::uint64_t margin(float padding_rate, std::uint64_t extent) noexcept {
  // std::round rounds halves away from zero.
  return saturating_u64(std::round(padding_rate * to_f32(extent)));
}

Letterbox fit(std::uint64_t src_w, std::uint64_t src_h, std::uint64_t dst_w, std::uint64_t dst_h,
              std::uint64_t margin_w, std::uint64_t margin_h) noexcept {
  const std::uint64_t wide = saturating_add(src_w, saturating_add(margin_w, margin_w));
  const std::uint64_t tall = saturating_add(src_h, saturating_add(margin_h, margin_h));
  const float rw = to_f32(wide) / to_f32(dst_w);
  const float rh = to_f32(tall) / to_f32(dst_h);
  const float ratio = std::fmax(rw, rh);  // a NaN quotient gives way to the other
  Letterbox box{};
  box.ratio = ratio;
  box.new_w = std::min(saturating_u64(to_f32(src_w) / ratio), dst_w);
  box.new_h = std::min(saturating_u64(to_f32(src_h) / ratio), dst_h);
  box.pad_x = (dst_w - box.new_w) >> 1;
  box.pad_y = (dst_h - box.new_h) >> 1;
  return box;
}

std::uint64_t sample_index(float ratio, std::uint64_t i, std::uint64_t extent) noexcept {
  return std::min(saturating_u64(ratio * to_f32(i)), extent - 1);
}

std::uint64_t check_buffers(const Image& src, const Planes& dst) {
  const std::uint64_t src_len = saturating_product(src.height, src.width, 3);
  if (src_len > src.pixels.size())
    throw Panic("source of " + std::to_string(src.pixels.size()) + " bytes is too short for a " +
                std::to_string(src.height) + "x" + std::to_string(src.width) + "x3 image");
  const std::uint64_t dst_len = saturating_product(3, dst.height, dst.width);
  if (dst_len > dst.values.size())
    throw Panic("destination of " + std::to_string(dst.values.size()) +
                " values is too short for 3 planes of " + std::to_string(dst.height) + "x" +
                std::to_string(dst.width));
  return src_len;
}

void letterbox(const Image& src, const Planes& dst, const Letterbox& box,
               const PlaneValues& values) {
  const std::uint64_t src_len = check_buffers(src, dst);
  const bool placed = box.new_w <= dst.width && box.new_h <= dst.height &&
                      box.pad_x <= dst.width - box.new_w && box.pad_y <= dst.height - box.new_h;
  const bool sampled = (box.new_w == 0 || src.width > 0) && (box.new_h == 0 || src.height > 0);
  if (!placed || !sampled) throw Panic(messages::kLetterboxDoesNotFit);

  if (box.new_w == 0 || box.new_h == 0) return;

  const float ratio = box.ratio;
  const std::uint64_t new_w = box.new_w;
  const std::uint64_t new_h = box.new_h;
  const std::uint64_t plane = dst.height * dst.width;
  const std::uint64_t src_row = src.width * 3;

  const Columns columns = plan_columns(ratio, new_w, src.width);
  const std::uint8_t* const in = src.pixels.data();
  float* const out = dst.values.data();
  const std::uint64_t last_row = src.height - 1;
  const RowJob job{columns, values, new_w};

  // Sampled source rows never decrease, so the rows sampling one source row
  // form a run. The first row of a run computes it and copies it into the
  // rest of the run; the others return at once. Every row is thus written by
  // exactly one body call, whatever the split, and a copy only ever reads a
  // row its own call has just finished.
  corvane::parallel::parallel_for(0, new_h, [&](std::size_t a) {
    const std::uint64_t sy = sample_index(ratio, a, src.height);
    if (a > 0 && sample_index(ratio, a - 1, src.height) == sy) return;

    float* const r0 = out + (a + box.pad_y) * dst.width + box.pad_x;
    float* const r1 = r0 + plane;
    float* const r2 = r1 + plane;
    const std::uint8_t* const row = in + sy * src_row;
    if (columns.window > 2 * kVectorBytes) {
      write_row<true>(job, row, src_len - sy * src_row, sy == last_row, r0, r1, r2);
    } else {
      write_row<false>(job, row, src_len - sy * src_row, sy == last_row, r0, r1, r2);
    }

    const std::size_t bytes = new_w * sizeof(float);
    for (std::uint64_t b = a + 1; b < new_h && sample_index(ratio, b, src.height) == sy; ++b) {
      float* const c0 = r0 + (b - a) * dst.width;
      std::memcpy(c0, r0, bytes);
      std::memcpy(c0 + plane, r1, bytes);
      std::memcpy(c0 + 2 * plane, r2, bytes);
    }
  });
}

}  // namespace corvane::preprocess
