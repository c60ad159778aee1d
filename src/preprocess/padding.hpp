// Letterbox geometry answered without touching arrays, in 32-bit signed
// integers with the limiting side set exactly to the target.
#pragma once

#include "core/records.hpp"

#include <cstdint>

namespace corvane::preprocess {

AutoResize auto_resize(std::int32_t src_w, std::int32_t src_h, std::int32_t width,
                       std::int32_t height);
Padding padding(std::int32_t src_w, std::int32_t src_h, std::int32_t width, std::int32_t height);

// float -> int32 rounding toward zero, saturating, NaN giving 0.
std::int32_t truncate_i32(float v);

}  // namespace corvane::preprocess
