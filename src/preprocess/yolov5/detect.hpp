// Detector input: every byte scaled to 0..1.
#pragma once

#include "preprocess/letterbox.hpp"

namespace corvane::preprocess::yolov5 {

// byte / 255.0f (a true float32 division) in every plane.
const PlaneValues& detect_values();

Letterbox detect(const Image& src, const Planes& dst);

}  // namespace corvane::preprocess::yolov5
