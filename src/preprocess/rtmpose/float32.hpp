// Pose-model input: the classifier's normalisation, fitted as if the source
// had a margin of `padding_rate` times its width and height on every side.
#pragma once

#include "preprocess/letterbox.hpp"

namespace corvane::preprocess::rtmpose {

Letterbox pose_input(const Image& src, const Planes& dst, float padding_rate);

}  // namespace corvane::preprocess::rtmpose
