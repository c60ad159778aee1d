#include "python/entries/entries.hpp"

#include "postprocess/alphapose.hpp"
#include "postprocess/yolov8_pose.hpp"

#include <string>

namespace corvane::python::entries {
std::vector<Keypoint> alphapose_postprocess(OutputArray pred, float scale) {
  return postprocess::alphapose::keypoints(pred.data(), scale);
}

std::vector<postprocess::rtmpose::CropKeypoints> rtmpose_postprocess(
    OutputArray batch_pred_x, OutputArray batch_pred_y, std::vector<ScalePad> batch_scale_pad) {
  const auto data_x = batch_pred_x.data();
  const auto data_y = batch_pred_y.data();
  // The decoder checks the extents itself, per crop, so an empty batch never
  // looks at dimensions 1 and 2.
  const auto shape_x = batch_pred_x.shape();
  const auto shape_y = batch_pred_y.shape();
  return postprocess::rtmpose::decode({shape_x, data_x}, {shape_y, data_y}, batch_scale_pad);
}

// The layout is checked before anything is decoded: neither the class count
// nor the keypoint count can be inferred from the other, so a count that
// leaves no class channel is the caller's mistake, not a model's.
std::vector<std::vector<PoseDetection>> yolov8_pose_postprocess(OutputArray batch_pred,
                                                                float iou_threshold,
                                                                float conf_threshold,
                                                                Named<std::uint64_t> keypoints) {
  const std::uint64_t num_keypoints = keypoints.value;
  const auto data = batch_pred.data();
  if (batch_pred.ndim() != 3)
    raise_value(batch_pred.name(), "expected 3 dimensions (B, 4 + classes + 3 * " +
                                       std::string(keypoints.name) + ", N), got " +
                                       std::to_string(batch_pred.ndim()));
  const std::uint64_t channels = batch_pred.dim(1);
  if (!postprocess::yolov8_pose::has_class_channel(channels, num_keypoints))
    raise_value(keypoints.name,
                std::to_string(num_keypoints) + " keypoints leave no class channel in the " +
                    std::to_string(channels) + " channels of '" + std::string(batch_pred.name()) +
                    "' (4 box + classes + 3 per keypoint)");
  return postprocess::yolov8_pose::decode_pose_batch(data, batch_pred.dim(0), channels,
                                                     batch_pred.dim(2), num_keypoints,
                                                     iou_threshold, conf_threshold);
}

}  // namespace corvane::python::entries
