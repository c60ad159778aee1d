// AlphaPose keypoints, already decoded, scaled to source-image pixels.
#pragma once

#include "core/records.hpp"

#include <span>
#include <vector>

namespace corvane::postprocess::alphapose {

// Keypoint j is (pred[3j] * scale, pred[3j+1] * scale, pred[3j+2]); elements
// past the 17th triple are ignored, a missing one is the bounds panic.
std::vector<Keypoint> keypoints(std::span<const float> pred, float scale);

}  // namespace corvane::postprocess::alphapose
