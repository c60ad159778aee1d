#include "preprocess/padding.hpp"

#include <cmath>

namespace corvane::preprocess {

std::int32_t truncate_i32(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v <= -2147483648.0f) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

AutoResize auto_resize(std::int32_t src_w, std::int32_t src_h, std::int32_t width,
                       std::int32_t height) {
  const float fw = static_cast<float>(src_w), fh = static_cast<float>(src_h);
  const float rw = fw / static_cast<float>(width);
  const float rh = fh / static_cast<float>(height);
  // A tie, or a NaN, takes the height branch: the height is set exactly.
  if (rw > rh) return {rw, width, truncate_i32(fh / rw)};
  return {rh, truncate_i32(fw / rh), height};
}

Padding padding(std::int32_t src_w, std::int32_t src_h, std::int32_t width, std::int32_t height) {
  const AutoResize fit = auto_resize(src_w, src_h, width, height);
  // Wrapping subtraction, as the geometry is defined on 32-bit integers.
  const auto dw = static_cast<std::int32_t>(static_cast<std::uint32_t>(width) -
                                            static_cast<std::uint32_t>(fit.new_w));
  const auto dh = static_cast<std::int32_t>(static_cast<std::uint32_t>(height) -
                                            static_cast<std::uint32_t>(fit.new_h));
  const std::int32_t left = truncate_i32(static_cast<float>(dw) * 0.5f);
  const std::int32_t top = truncate_i32(static_cast<float>(dh) * 0.5f);
  const auto sub = [](std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
  };
  return {fit.ratio, left, top, sub(dw, left), sub(dh, top)};
}

}  // namespace corvane::preprocess
