#include "postprocess/alphapose.hpp"

#include "core/panic.hpp"

namespace corvane::postprocess::alphapose {

std::vector<Keypoint> keypoints(std::span<const float> pred, float scale) {
  std::vector<Keypoint> keypoints;
  keypoints.reserve(kKeypointCount);
  for (std::size_t j = 0; j < kKeypointCount; ++j) {
    const std::size_t i = 3 * j;
    // The first missing element is always pred.size() itself.
    if (i + 2 >= pred.size()) panic_index_out_of_bounds(pred.size(), pred.size());
    keypoints.push_back({pred[i] * scale, pred[i + 1] * scale, pred[i + 2]});
  }
  return keypoints;
}

}  // namespace corvane::postprocess::alphapose
