// RTMPose SimCC decoding: the best bin of each keypoint row on both axes,
// mapped back through the crop's letterbox.
#pragma once

#include "core/records.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace corvane::postprocess::rtmpose {

// One of the model's two outputs as the decoder sees it: every extent of the
// array (only dimensions 1 and 2 are read, and only once a crop is decoded)
// and its elements in memory order.
struct SimccOutput {
  std::span<const std::uint64_t> shape;
  std::span<const float> data;
};

using CropKeypoints = std::array<Keypoint, kKeypointCount>;

// Two bins per model-input pixel.
inline constexpr float kSimccBinWidth = 0.5f;
// The peak search starts below every value that may win: the most negative
// finite float, so -inf and NaN never move it.
inline constexpr float kPeakStart = std::numeric_limits<float>::lowest();

struct Peak {
  std::size_t index;
  float value;
};

// Running maximum from kPeakStart that moves only on a strictly greater value:
// the first position of the maximum wins, NaN never wins, an empty row or one
// without a value above kPeakStart gives (0, kPeakStart).
Peak find_peak(std::span<const float> row);

// The same search one value at a time, and in vectors of L lanes (4, 8 or
// 16), so that every split of a row can be tested; find_peak uses 8 lanes in
// the widest instruction set the processor runs.
namespace detail {
Peak find_peak_portable(std::span<const float> row);
template <std::size_t L>
Peak find_peak_lanes(std::span<const float> row);
}  // namespace detail

// Decodes crop i of the batch for every i < scale_pads.size(), one pool task
// per crop, results in crop order. Shape faults are Panics raised from the
// failing crop's task, so the lowest failing crop is the one reported.
std::vector<CropKeypoints> decode(SimccOutput x, SimccOutput y,
                                  std::span<const ScalePad> scale_pads);

// The same peaks for crop i < crops.size(), mapped back through the affine
// crop it was taken with. With W = Lx / 2 and H = Ly / 2 the input's size
// (Lx, Ly the bins per row of x and y) and loc = float32(bin) * 0.5, in
// double: x = loc_x / W * sw + cx - sw * 0.5 (left to right), y likewise with
// H, sh and cy, each rounded once to float32. The score is the smaller of the
// two peaks. The caller has checked the shapes (17 rows, bins > 0, a block
// per crop).
std::vector<CropKeypoints> decode_affine(SimccOutput x, SimccOutput y,
                                         std::span<const AffineCrop> crops);

}  // namespace corvane::postprocess::rtmpose
