// YOLOv8 pose output: B images of C channels by N anchors, channel-major: box
// centre and size, the class scores, then K keypoint triples (x, y,
// visibility), already decoded by the model into model-input pixels.
#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov8_pose {

// Whether `channels` hold the box, at least one class score and
// 3 * num_keypoints keypoint values (no product that could wrap is formed).
bool has_class_channel(std::uint64_t channels, std::uint64_t num_keypoints);

// `data` is the output's contiguous buffer; images, channels and anchors are
// its extents, of which the last 3 * num_keypoints channels are the
// keypoints and the ones between the box and them the class scores (at
// least one: the caller checks has_class_channel, a kernel panic otherwise).
// Boxes, classes and suppression are the detection decoder's; returns the
// survivors of every image, in order, each with its keypoints.
std::vector<std::vector<PoseDetection>> decode_pose_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, std::uint64_t num_keypoints, float iou_threshold, float conf_threshold);

}  // namespace corvane::postprocess::yolov8_pose
