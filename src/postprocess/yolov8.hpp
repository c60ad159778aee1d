// YOLOv8 detection and segmentation output: B images of K channels by N
// anchors, channel-major (box centre and size, one score per class, then for
// segmentation the mask coefficients), decoded into per-image detections.
// Each detection carries its anchor, which locates its mask coefficients.
#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov8 {

// One image: its block of channels * anchors values, of which the leading
// `score_end` channels are read (box, then class scores up to score_end).
// Its survivors, grouped by ascending class, each group in descending score.
std::vector<Detection> decode_image(std::span<const float> block, std::uint64_t anchors,
                                    std::uint64_t score_end, float iou_threshold,
                                    float conf_threshold);

// `data` is the output's contiguous buffer; images, channels and anchors are
// its first three extents, of which the last `mask_channels` channels (the
// segmentation head's coefficients) are never read. Returns the survivors of
// every image, in order.
std::vector<std::vector<Detection>> decode_yolov8_batch(std::span<const float> data,
                                                        std::uint64_t images,
                                                        std::uint64_t channels,
                                                        std::uint64_t anchors, float iou_threshold,
                                                        float conf_threshold,
                                                        std::uint64_t mask_channels = 0);

}  // namespace corvane::postprocess::yolov8
