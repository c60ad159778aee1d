// YOLOv8 segmentation output: as the detection output, with `vec_dims` mask
// coefficient channels after the class scores. Only the detections are
// decoded; each carries its anchor, which locates its coefficients.
#pragma once

#include "nms/detect.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov8 {

std::vector<std::vector<nms::Detection>> segment(std::span<const float> data,
                                                 std::uint64_t images, std::uint64_t channels,
                                                 std::uint64_t anchors, std::uint64_t vec_dims,
                                                 float iou_threshold, float conf_threshold);

}  // namespace corvane::postprocess::yolov8
