// Classifier input: ImageNet mean/std normalisation of each colour.
#pragma once

#include "preprocess/letterbox.hpp"

#include <array>

namespace corvane::preprocess::yolov5 {

// The ImageNet statistics indexed by source byte (blue, green, red), so
// output plane 0 is red normalised with (123.675, 58.395).
inline constexpr std::array<float, 3> kImagenetMean{103.53f, 116.28f, 123.675f};
inline constexpr std::array<float, 3> kImagenetStd{57.375f, 57.12f, 58.395f};

// (byte - mean) / std per plane with the constants above.
const PlaneValues& classify_values();

Letterbox classify(const Image& src, const Planes& dst);

}  // namespace corvane::preprocess::yolov5
