// Instance masks of YOLOv8 segmentation in source-image pixels: the mask
// logits (coefficients times prototypes) sampled bilinearly, with half-pixel
// centres, straight from the prototype grid through the letterbox geometry,
// and thresholded at zero inside each detection's box.
#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <span>

namespace corvane::postprocess::masks {

// The prediction of one image, (K, N): coefficient m of anchor i is at
// (K - M + m) * N + i.
struct Coefficients {
  std::span<const float> data;
  std::uint64_t channels;  // K
  std::uint64_t anchors;   // N
};

// The prototypes of one image, (M, mh, mw).
struct Prototypes {
  std::span<const float> data;
  std::uint64_t masks;  // M
  std::uint64_t height;
  std::uint64_t width;
};

// Byte planes (D, H, W) of the destination; plane d receives boxes[d]'s mask.
struct MaskPlanes {
  std::span<std::uint8_t> data;
  std::uint64_t height;
  std::uint64_t width;
};

// The largest prototype grid extent. Coordinates are float32: beyond 2^24
// they can no longer name every prototype pixel, and the last index itself
// rounds up to the extent, past the grid.
inline constexpr std::uint64_t kMaxExtent = std::uint64_t{1} << 24;

// Writes 1 (logit > 0) or 0 to the pixels of plane d whose centres lie inside
// boxes[d]; no other byte of `dst` is touched. The caller has checked the
// shapes: M <= K - 4, every index < N, D >= boxes.size(), 0 < mh, mw <= kMaxExtent.
void build(const Coefficients& pred, const Prototypes& protos, std::span<const MaskBox> boxes,
           const MaskGeometry& geometry, const MaskPlanes& dst);

}  // namespace corvane::postprocess::masks
