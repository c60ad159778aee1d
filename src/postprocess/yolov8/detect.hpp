// YOLOv8 detection output: B images of K channels by N anchors, channel-major
// (box centre and size, then one score per class), decoded into per-image
// detections. The segmentation head reuses the decoder with fewer score
// channels.
#pragma once

#include "nms/detect.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov8 {

// `data` is the output's contiguous buffer; images, channels and anchors are
// its first three extents. Returns the survivors of every image, in order.
std::vector<std::vector<nms::Detection>> detect(std::span<const float> data, std::uint64_t images,
                                                std::uint64_t channels, std::uint64_t anchors,
                                                float iou_threshold, float conf_threshold);

// The survivors of images whose anchors carry `trailing` channels after their
// class scores (mask coefficients), which are never read.
std::vector<std::vector<nms::Detection>> detect_with_trailing(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, std::uint64_t trailing, float iou_threshold, float conf_threshold);

// One image: its block of channels * anchors values, of which the leading
// `score_end` channels are read (box, then class scores up to score_end).
std::vector<nms::Detection> decode_yolov8_image(std::span<const float> block,
                                                std::uint64_t anchors, std::uint64_t score_end,
                                                float iou_threshold, float conf_threshold);

}  // namespace corvane::postprocess::yolov8
