#include "postprocess/alphapose/pose.hpp"

#include "core/panic.hpp"

namespace corvane::postprocess {

std::vector<Keypoint> alphapose_keypoints(std::span<const float> pred, float scale) {
  std::vector<Keypoint> keypoints;
  keypoints.reserve(KEYPOINT_COUNT);
  for (std::size_t j = 0; j < KEYPOINT_COUNT; ++j) {
    const std::size_t i = 3 * j;
    // The first missing element is always pred.size() itself.
    if (i + 2 >= pred.size()) panic_index_out_of_bounds(pred.size(), pred.size());
    keypoints.push_back({pred[i] * scale, pred[i + 1] * scale, pred[i + 2]});
  }
  return keypoints;
}

}  // namespace corvane::postprocess
