#include "postprocess/rtmpose.hpp"

#include "core/panic.hpp"
#include "core/simd.hpp"
#include "parallel/pool.hpp"

namespace corvane::postprocess::rtmpose {
namespace {

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

// The 17 keypoints of crop i, each placed from its two peaks and the bins
// per row of x and y by `place`.
template <class Place>
CropKeypoints decode_crop(const SimccOutput& x, const SimccOutput& y, std::size_t i,
                          const Place& place) {
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

  CropKeypoints out;
  for (std::size_t j = 0; j < kKeypointCount; ++j) {
    const Peak px = find_peak({bx.data + j * bx.bins, bx.bins});
    const Peak py = find_peak({by.data + j * by.bins, by.bins});
    out[j] = place(px, py, bx.bins, by.bins);
  }
  return out;
}

// The peak's bin as an input-pixel coordinate (float32, exact).
float location(const Peak& peak) { return static_cast<float>(peak.index) * kSimccBinWidth; }

}  // namespace

namespace detail {

// The running maximum one value at a time: each value is read once, so a
// row another writer changes meanwhile still gives one of its positions.
Peak find_peak_portable(std::span<const float> row) {
  Peak peak{0, kPeakStart};
  for (std::size_t k = 0; k < row.size(); ++k) {
    const float value = row[k];
    if (value > peak.value) peak = {k, value};
  }
  return peak;
}

// The same search in vectors of L lanes, in one pass: each lane keeps the
// running maximum of its positions and where it last moved, as the scalar
// search does (`v > best`: NaN never wins, an equal value never moves it, so
// each lane holds the first position of its maximum). Four independent
// accumulators keep the loop from being one long dependency chain. Of the
// lanes holding the row maximum, the lowest position wins; the value comes
// with it, so of a tie between -0.0 and +0.0 the first wins, and each value
// is read once.
template <std::size_t L>
CORVANE_CLONES Peak find_peak_lanes(std::span<const float> row) {
  using V = simd::Vec<float, L>;
  using I = simd::Vec<std::uint32_t, L>;
  const float* p = row.data();
  const std::size_t n = row.size();
  // Positions are kept in 32 bits; a longer row (16 GB) is searched plainly.
  if (n > UINT32_MAX) return find_peak_portable(row);
  I lane{};
  for (std::size_t l = 0; l < L; ++l) lane[l] = static_cast<std::uint32_t>(l);
  V best0 = V{} + kPeakStart, best1 = best0, best2 = best0, best3 = best0, v;
  I at0{}, at1{}, at2{}, at3{};
  std::size_t k = 0;
  for (; k + 4 * L <= n; k += 4 * L) {
    const I here = lane + static_cast<std::uint32_t>(k);
    simd::load(v, p + k);
    const auto g0 = v > best0;
    best0 = g0 ? v : best0;
    at0 = g0 ? here : at0;
    simd::load(v, p + k + L);
    const auto g1 = v > best1;
    best1 = g1 ? v : best1;
    at1 = g1 ? here + static_cast<std::uint32_t>(L) : at1;
    simd::load(v, p + k + 2 * L);
    const auto g2 = v > best2;
    best2 = g2 ? v : best2;
    at2 = g2 ? here + static_cast<std::uint32_t>(2 * L) : at2;
    simd::load(v, p + k + 3 * L);
    const auto g3 = v > best3;
    best3 = g3 ? v : best3;
    at3 = g3 ? here + static_cast<std::uint32_t>(3 * L) : at3;
  }
  // Accumulator pairs merged lane by lane: the greater value, of equal ones
  // the lower position.
  const auto merge = [](V& best, I& at, const V& other_best, const I& other_at) {
    const auto take = (other_best > best) | ((other_best == best) & (other_at < at));
    best = take ? other_best : best;
    at = take ? other_at : at;
  };
  merge(best0, at0, best1, at1);
  merge(best2, at2, best3, at3);
  merge(best0, at0, best2, at2);
  Peak peak{0, kPeakStart};
  for (std::size_t l = 0; l < L; ++l) {
    const float value = best0[l];
    if (value > peak.value || (value == peak.value && value > kPeakStart && at0[l] < peak.index))
      peak = {at0[l], value};
  }
  // The tail lies after every position the lanes saw: only a greater value
  // moves the peak there.
  for (; k < n; ++k)
    if (p[k] > peak.value) peak = {k, p[k]};
  if (!(peak.value > kPeakStart)) return {0, kPeakStart};
  return peak;
}

template Peak find_peak_lanes<4>(std::span<const float>);
template Peak find_peak_lanes<8>(std::span<const float>);
template Peak find_peak_lanes<16>(std::span<const float>);

}  // namespace detail

// Eight lanes (one AVX2 register): with sixteen, GCC lowers the merge's mask
// logic to scalar code and the search takes five times as long.
Peak find_peak(std::span<const float> row) { return detail::find_peak_lanes<8>(row); }

std::vector<CropKeypoints> decode(SimccOutput x, SimccOutput y,
                                  std::span<const ScalePad> scale_pads) {
  return parallel::parallel_map_collect(std::size_t{0}, scale_pads.size(), [&](std::size_t i) {
    const ScalePad& sp = scale_pads[i];
    const float pad_x = static_cast<float>(sp.pad_x);
    const float pad_y = static_cast<float>(sp.pad_y);
    return decode_crop(x, y, i, [&](const Peak& px, const Peak& py, std::uint64_t, std::uint64_t) {
      return Keypoint{(location(px) - pad_x) * sp.ratio, (location(py) - pad_y) * sp.ratio,
                      (px.value + py.value) * 0.5f};
    });
  });
}

std::vector<CropKeypoints> decode_affine(SimccOutput x, SimccOutput y,
                                         std::span<const AffineCrop> crops) {
  return parallel::parallel_map_collect(std::size_t{0}, crops.size(), [&](std::size_t i) {
    const AffineCrop& c = crops[i];
    return decode_crop(
        x, y, i, [&](const Peak& px, const Peak& py, std::uint64_t bins_x, std::uint64_t bins_y) {
          // Two bins per input pixel: the input is bins / 2 pixels wide and tall.
          const double width = static_cast<double>(bins_x) * 0.5;
          const double height = static_cast<double>(bins_y) * 0.5;
          const double kx = static_cast<double>(location(px)) / width * c.sw + c.cx - c.sw * 0.5;
          const double ky = static_cast<double>(location(py)) / height * c.sh + c.cy - c.sh * 0.5;
          // The smaller peak: x's unless y's is lower (peaks are never NaN).
          const float score = px.value > py.value ? py.value : px.value;
          return Keypoint{static_cast<float>(kx), static_cast<float>(ky), score};
        });
  });
}

}  // namespace corvane::postprocess::rtmpose
