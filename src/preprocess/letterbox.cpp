#include "preprocess/letterbox.hpp"

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

using Quad = simd::Vec<float, 4>;

// One destination row of the three planes from one source row.
struct RowWriter {
  const std::size_t* column;  // byte offset of each sampled pixel in its row
  const float* t0;            // plane 0, from byte 2
  const float* t1;            // plane 1, from byte 1
  const float* t2;            // plane 2, from byte 0

  // Columns [0, words) may read their pixel as a 4-byte word, the rest
  // [words, n) only byte by byte.
  void write(const std::uint8_t* row, std::uint64_t words, std::uint64_t n, float* r0, float* r1,
             float* r2) const noexcept {
    std::uint64_t i = 0;
    // Four table values gathered into one vector and stored at once: with
    // one 4-byte store per value, the store port limits this loop. Only
    // moves: the table's bits reach the destination unchanged.
    for (; i + 4 <= words; i += 4) {
      const std::uint32_t p0 = word(row + column[i]), p1 = word(row + column[i + 1]);
      const std::uint32_t p2 = word(row + column[i + 2]), p3 = word(row + column[i + 3]);
      simd::store(r2 + i, Quad{t2[p0 & 255], t2[p1 & 255], t2[p2 & 255], t2[p3 & 255]});
      simd::store(r1 + i, Quad{t1[(p0 >> 8) & 255], t1[(p1 >> 8) & 255], t1[(p2 >> 8) & 255],
                               t1[(p3 >> 8) & 255]});
      simd::store(r0 + i, Quad{t0[(p0 >> 16) & 255], t0[(p1 >> 16) & 255],
                               t0[(p2 >> 16) & 255], t0[(p3 >> 16) & 255]});
    }
    for (; i < words; ++i) {
      const std::uint32_t p = word(row + column[i]);
      r2[i] = t2[p & 255];
      r1[i] = t1[(p >> 8) & 255];
      r0[i] = t0[(p >> 16) & 255];
    }
    for (; i < n; ++i) {
      const std::uint8_t* const p = row + column[i];
      r2[i] = t2[p[0]];
      r1[i] = t1[p[1]];
      r0[i] = t0[p[2]];
    }
  }

  static std::uint32_t word(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
  }
};

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

void letterbox(const Image& src, const Planes& dst, const Letterbox& box,
               const PlaneValues& values) {
  const std::uint64_t src_len = saturating_product(src.height, src.width, 3);
  if (src_len > src.pixels.size())
    throw Panic("source of " + std::to_string(src.pixels.size()) + " bytes is too short for a " +
                std::to_string(src.height) + "x" + std::to_string(src.width) + "x3 image");
  const std::uint64_t dst_len = saturating_product(3, dst.height, dst.width);
  if (dst_len > dst.values.size())
    throw Panic("destination of " + std::to_string(dst.values.size()) +
                " values is too short for 3 planes of " + std::to_string(dst.height) + "x" +
                std::to_string(dst.width));
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

  // The byte offset of every sampled column, computed once instead of per
  // pixel and per row: one destination row of offsets, never a tensor.
  std::vector<std::size_t> column(new_w);
  for (std::uint64_t i = 0; i < new_w; ++i) column[i] = sample_index(ratio, i, src.width) * 3;

  // A pixel's three bytes are read as one 4-byte word, whose last byte
  // belongs to the next pixel. Only the very last pixel of the buffer has no
  // next one; rows sampling the last source row read the columns that sample
  // the last source column byte by byte.
  std::uint64_t word_safe = 0;
  while (word_safe < new_w && column[word_safe] + 3 < src_row) ++word_safe;

  const std::uint8_t* const in = src.pixels.data();
  float* const out = dst.values.data();
  const std::uint64_t last_row = src.height - 1;
  const RowWriter writer{column.data(), values[0].data(), values[1].data(), values[2].data()};

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
    writer.write(in + sy * src_row, sy == last_row ? word_safe : new_w, new_w, r0, r1, r2);

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
