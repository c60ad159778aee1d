#include "entries/entries.hpp"
#include "entries/keypoints.hpp"
#include "postprocess/alphapose/pose.hpp"

namespace corvane::entries {

PyObject* alphapose_postprocess(Call& call) {
  auto pred = call.array<const float>("pred");
  const float scale = call.f32("scale");
  auto keypoints = postprocess::alphapose_keypoints(pred.data(), scale);
  call.release_arrays();
  return keypoint_list(keypoints).release();
}

}  // namespace corvane::entries
