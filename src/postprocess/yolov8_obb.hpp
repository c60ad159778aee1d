// YOLOv8 / YOLO11 oriented-box output: B images of 4 + nc + 1 channels by N
// anchors, channel-major (box centre and size, one score per class, then the
// box angle in radians), decoded into per-image oriented detections.
#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov8_obb {

// `data` is the output's contiguous buffer; images, channels and anchors are
// its three extents, with channels >= 6 (at least one class). Candidates are
// chosen as for detection and suppressed class by class with Fast-NMS on
// their probabilistic IoU; the survivors' angles are then regularised.
// Returns the survivors of every image, in order.
std::vector<std::vector<OrientedDetection>> decode_oriented_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, float iou_threshold, float conf_threshold);

// The angle regularisation of a survivor: with m = angle mod pi (floored,
// pi the float32 nearest), w and h are swapped where m >= pi / 2, and the
// angle becomes angle mod pi / 2. Each mod is std::fmod (exact) plus the
// period when negative (one rounding; -0 becomes +0), so the angle lands in [0, pi / 2]:
// pi / 2 itself only when a tiny negative angle rounds up to it.
void regularise(OrientedDetection& d);

}  // namespace corvane::postprocess::yolov8_obb
