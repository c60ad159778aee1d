#include "postprocess/yolov8/segment.hpp"

#include "postprocess/yolov8/detect.hpp"

namespace corvane::postprocess::yolov8 {

std::vector<std::vector<nms::Detection>> segment(std::span<const float> data,
                                                 std::uint64_t images, std::uint64_t channels,
                                                 std::uint64_t anchors, std::uint64_t vec_dims,
                                                 float iou_threshold, float conf_threshold) {
  return detect_with_trailing(data, images, channels, anchors, vec_dims, iou_threshold,
                              conf_threshold);
}

}  // namespace corvane::postprocess::yolov8
