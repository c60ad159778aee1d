#include "postprocess/rtmpose.hpp"

#include "core/panic.hpp"
#include "parallel/pool.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace corvane::postprocess::rtmpose {
namespace {

// The plain search in two passes, for processors without the packed
// versions below.
float row_max_portable(const float* p, std::size_t n) {
  float m = kPeakStart;
  for (std::size_t k = 0; k < n; ++k) m = p[k] > m ? p[k] : m;
  return m;
}

// First position holding a value equal to m, or n when none does (the row
// changed since its maximum was taken).
std::size_t first_equal_portable(const float* p, std::size_t n, float m) {
  std::size_t k = 0;
  while (k < n && !(p[k] == m)) ++k;
  return k;
}

#if defined(__x86_64__) || defined(__i386__)

// Four vectors of independent running maxima, so the loop is not one long
// dependency chain. MAX(v, acc) (the packed max instruction, either width) is
// exactly `v > acc ? v : acc`: it keeps acc when v is NaN or when both are
// zeros, so the accumulators never hold NaN and the row maximum does not
// depend on how the row is split. A maximum of zero may come back with either
// sign; the caller only compares it with `==`.
float row_max_sse2(const float* p, std::size_t n) {
  __m128 a0 = _mm_set1_ps(kPeakStart), a1 = a0, a2 = a0, a3 = a0;
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    a0 = _mm_max_ps(_mm_loadu_ps(p + k), a0);
    a1 = _mm_max_ps(_mm_loadu_ps(p + k + 4), a1);
    a2 = _mm_max_ps(_mm_loadu_ps(p + k + 8), a2);
    a3 = _mm_max_ps(_mm_loadu_ps(p + k + 12), a3);
  }
  for (; k + 4 <= n; k += 4) a0 = _mm_max_ps(_mm_loadu_ps(p + k), a0);
  a0 = _mm_max_ps(_mm_max_ps(a0, a1), _mm_max_ps(a2, a3));
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, a0);
  float m = kPeakStart;
  for (float v : lanes) m = v > m ? v : m;
  for (; k < n; ++k) m = p[k] > m ? p[k] : m;
  return m;
}

std::size_t first_equal_sse2(const float* p, std::size_t n, float m) {
  const __m128 mv = _mm_set1_ps(m);
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const unsigned hits = static_cast<unsigned>(
        _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(p + k), mv)) |
        _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(p + k + 4), mv)) << 4 |
        _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(p + k + 8), mv)) << 8 |
        _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(p + k + 12), mv)) << 12);
    if (hits) return k + static_cast<std::size_t>(__builtin_ctz(hits));
  }
  return k + first_equal_portable(p + k, n - k, m);
}

__attribute__((target("avx"))) float row_max_avx(const float* p, std::size_t n) {
  __m256 a0 = _mm256_set1_ps(kPeakStart), a1 = a0, a2 = a0, a3 = a0;
  std::size_t k = 0;
  for (; k + 32 <= n; k += 32) {
    a0 = _mm256_max_ps(_mm256_loadu_ps(p + k), a0);
    a1 = _mm256_max_ps(_mm256_loadu_ps(p + k + 8), a1);
    a2 = _mm256_max_ps(_mm256_loadu_ps(p + k + 16), a2);
    a3 = _mm256_max_ps(_mm256_loadu_ps(p + k + 24), a3);
  }
  for (; k + 8 <= n; k += 8) a0 = _mm256_max_ps(_mm256_loadu_ps(p + k), a0);
  a0 = _mm256_max_ps(_mm256_max_ps(a0, a1), _mm256_max_ps(a2, a3));
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, a0);
  float m = kPeakStart;
  for (float v : lanes) m = v > m ? v : m;
  for (; k < n; ++k) m = p[k] > m ? p[k] : m;
  return m;
}

__attribute__((target("avx"))) std::size_t first_equal_avx(const float* p, std::size_t n,
                                                            float m) {
  const __m256 mv = _mm256_set1_ps(m);
  std::size_t k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256 e0 = _mm256_cmp_ps(_mm256_loadu_ps(p + k), mv, _CMP_EQ_OQ);
    const __m256 e1 = _mm256_cmp_ps(_mm256_loadu_ps(p + k + 8), mv, _CMP_EQ_OQ);
    const __m256 e2 = _mm256_cmp_ps(_mm256_loadu_ps(p + k + 16), mv, _CMP_EQ_OQ);
    const __m256 e3 = _mm256_cmp_ps(_mm256_loadu_ps(p + k + 24), mv, _CMP_EQ_OQ);
    const std::uint32_t hits = static_cast<std::uint32_t>(_mm256_movemask_ps(e0)) |
                               static_cast<std::uint32_t>(_mm256_movemask_ps(e1)) << 8 |
                               static_cast<std::uint32_t>(_mm256_movemask_ps(e2)) << 16 |
                               static_cast<std::uint32_t>(_mm256_movemask_ps(e3)) << 24;
    if (hits) return k + static_cast<std::size_t>(__builtin_ctz(hits));
  }
  return k + first_equal_portable(p + k, n - k, m);
}

#endif

// Offsets from the outputs' extents: a product that does not fit is
// certainly past the end of any buffer.
std::uint64_t offset_mul(std::uint64_t a, std::uint64_t b) {
  return checked_mul(a, b, Overflow::kArithmetic);
}

// Rows and bins of one output for crop i, and that crop's block of data.
struct CropBlock {
  std::uint64_t rows;
  std::uint64_t bins;
  const float* data;
};

CropBlock crop_block(const SimccOutput& out, std::size_t i) {
  const std::size_t ndim = out.shape.size();
  if (ndim < 2) panic_index_out_of_bounds(ndim, 1);
  if (ndim == 2) panic_index_out_of_bounds(2, 2);
  const std::uint64_t rows = out.shape[1];
  const std::uint64_t bins = out.shape[2];
  const std::uint64_t block = offset_mul(rows, bins);
  const std::uint64_t end = offset_mul(i + 1, block);
  check_range_end(end, out.data.size());
  return {rows, bins, out.data.data() + (end - block)};
}

// The first keypoint row whose slice would end past the crop block, or
// kKeypointCount when all of them fit.
std::uint64_t first_short_row(const CropBlock& b) {
  return b.bins > 0 && b.rows < kKeypointCount ? b.rows : kKeypointCount;
}

[[noreturn]] void panic_row(const CropBlock& b, std::uint64_t j) {
  panic_range_end(offset_mul(j + 1, b.bins), b.rows * b.bins);
}

CropKeypoints decode_crop(const SimccOutput& x, const SimccOutput& y, const ScalePad& sp,
                          std::size_t i) {
  const CropBlock bx = crop_block(x, i);
  const CropBlock by = crop_block(y, i);
  // Rows are taken x before y and row j before row j + 1, so the first short
  // row in that order is the one reported; searching has no effects, so it
  // can be found before any row is searched.
  const std::uint64_t jx = first_short_row(bx);
  const std::uint64_t jy = first_short_row(by);
  if (jx < kKeypointCount || jy < kKeypointCount) {
    if (jx <= jy) panic_row(bx, jx);
    panic_row(by, jy);
  }

  const float pad_x = static_cast<float>(sp.pad_x);
  const float pad_y = static_cast<float>(sp.pad_y);
  CropKeypoints out;
  for (std::size_t j = 0; j < kKeypointCount; ++j) {
    const Peak px = find_peak({bx.data + j * bx.bins, bx.bins});
    const Peak py = find_peak({by.data + j * by.bins, by.bins});
    const float loc_x = static_cast<float>(px.index) * kSimccBinWidth;
    const float loc_y = static_cast<float>(py.index) * kSimccBinWidth;
    out[j] = Keypoint{(loc_x - pad_x) * sp.ratio, (loc_y - pad_y) * sp.ratio,
                      (px.value + py.value) * 0.5f};
  }
  return out;
}

}  // namespace

namespace detail {

// The maximum tells the value to look for; its first occurrence is the
// position the strict running maximum settles on.
template <float (*RowMax)(const float*, std::size_t),
          std::size_t (*FirstEqual)(const float*, std::size_t, float)>
Peak find_peak_with(std::span<const float> row) {
  const float m = RowMax(row.data(), row.size());
  // Nothing beat the start value (this covers the empty row): position 0.
  if (!(m > kPeakStart)) return {0, kPeakStart};
  std::size_t k = FirstEqual(row.data(), row.size(), m);
  // Another writer changed the row between the two passes; any position of
  // the row is as good an answer as the other.
  if (k == row.size()) k = 0;
  // The element itself, not m: of a tie between -0.0 and +0.0 the first wins.
  return {k, row[k]};
}

Peak find_peak_portable(std::span<const float> row) {
  return find_peak_with<row_max_portable, first_equal_portable>(row);
}

#if defined(__x86_64__) || defined(__i386__)
Peak find_peak_sse2(std::span<const float> row) {
  return find_peak_with<row_max_sse2, first_equal_sse2>(row);
}
Peak find_peak_avx(std::span<const float> row) {
  return find_peak_with<row_max_avx, first_equal_avx>(row);
}
bool avx_available() {
  // May run from a static initialiser, before libgcc's own has filled in the
  // processor model.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
}
#endif

}  // namespace detail

namespace {

// Chosen once per process by what the processor offers; all variants give the
// same results, the wider ones read a row in fewer instructions.
Peak (*const kFindPeak)(std::span<const float>) =
#if defined(__x86_64__) || defined(__i386__)
    detail::avx_available() ? detail::find_peak_avx : detail::find_peak_sse2;
#else
    detail::find_peak_portable;
#endif

}  // namespace

Peak find_peak(std::span<const float> row) { return kFindPeak(row); }

std::vector<CropKeypoints> decode(SimccOutput x, SimccOutput y,
                                  std::span<const ScalePad> scale_pads) {
  return parallel::parallel_map_collect(std::size_t{0}, scale_pads.size(), [&](std::size_t i) {
    return decode_crop(x, y, scale_pads[i], i);
  });
}

}  // namespace corvane::postprocess::rtmpose
