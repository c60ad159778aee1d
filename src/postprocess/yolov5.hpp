// YOLOv5 detection output: B images of N rows of K values (box centre and
// size, objectness, one score per class), decoded into per-image detections.
#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov5 {

// `data` is the output's contiguous buffer; images, rows and row_len are its
// first three extents. Returns the survivors of every image, in image order.
std::vector<std::vector<Detection>> decode_yolov5_batch(std::span<const float> data,
                                                        std::uint64_t images, std::uint64_t rows,
                                                        std::uint64_t row_len, float iou_threshold,
                                                        float conf_threshold);

}  // namespace corvane::postprocess::yolov5
