// YOLOv8 output with property groups: B images of C channels by N anchors,
// channel-major: box centre and size, num_cls class scores, then one group of
// channels per property, each channel scoring one value of that property.
#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::yolov8_property {

struct Groups {
  std::uint64_t num_cls;
  // Entry k: whether class k carries the property groups.
  const std::vector<bool>& has_property;
  // Channel count of each property group, in channel order.
  std::span<const std::uint64_t> property_groups;
};

// `data` is the output's contiguous buffer; images, channels and anchors are
// its first three extents. Returns the survivors of every image, in order.
std::vector<std::vector<PropertyDetection>> decode_property_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, const Groups& groups, float iou_threshold, float conf_threshold);

}  // namespace corvane::postprocess::yolov8_property
