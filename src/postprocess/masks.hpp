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

// Planes (D, H, W) of the destination; plane d receives boxes[d]'s mask.
struct Planes {
  std::span<std::uint8_t> data;
  std::uint64_t height;
  std::uint64_t width;
};

// Writes 1 (logit > 0) or 0 to the pixels of plane d whose centres lie inside
// boxes[d]; no other byte of `dst` is touched. The caller has checked the
// shapes: M <= K - 4, every index < N, D >= boxes.size(), mh and mw > 0.
void build(const Coefficients& pred, const Prototypes& protos, std::span<const MaskBox> boxes,
           const MaskGeometry& geometry, const Planes& dst);

}  // namespace corvane::postprocess::masks
