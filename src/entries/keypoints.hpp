// The Python form of keypoints: a list of (x, y, score) float tuples.
#pragma once

#include "core/records.hpp"
#include "object.hpp"

#include <vector>

namespace corvane::entries {

inline Ref keypoint_list(const std::vector<Keypoint>& keypoints) {
  return list_of(keypoints, [](const Keypoint& k) { return tuple(k.x, k.y, k.score); });
}

}  // namespace corvane::entries
