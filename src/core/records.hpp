// Plain value records shared by several kernels and the boundary.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// A crop's letterbox: source pixels per model-input pixel, and the
// model-input columns left of and rows above the image.
struct ScalePad {
  float ratio;
  std::uint32_t pad_x;
  std::uint32_t pad_y;
};

struct Keypoint {
  float x;
  float y;
  float score;
};

inline constexpr std::size_t KEYPOINT_COUNT = 17;

}  // namespace corvane

namespace corvane {

// A detection's box in model-input units and the anchor its mask
// coefficients belong to.
struct MaskBox {
  float x1;
  float y1;
  float x2;
  float y2;
  std::uint64_t index;
};

// Model-input size and the letterbox that maps source pixels into it.
struct MaskGeometry {
  std::uint64_t in_w;
  std::uint64_t in_h;
  float ratio;
  std::uint32_t pad_x;
  std::uint32_t pad_y;
};

}  // namespace corvane
