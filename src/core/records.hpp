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
