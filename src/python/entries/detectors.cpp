#include "python/entries/entries.hpp"

#include "postprocess/yolov5.hpp"
#include "postprocess/yolov8.hpp"
#include "postprocess/yolov8_property.hpp"

namespace corvane::python::entries {
namespace {

// The model output of a box decoder, taken in the order its failures are
// reported: the buffer first (the contiguity failure comes before any shape
// failure), then extents 1 and 2 before extent 0, so that a missing
// dimension reports the first of those two it lacks.
struct Batch {
  std::span<const float> data;
  std::uint64_t extent_1;
  std::uint64_t extent_2;
  std::uint64_t images;
};

Batch batch_of(const OutputArray& pred) {
  const auto data = pred.data();
  const std::uint64_t extent_1 = pred.dim(1);
  const std::uint64_t extent_2 = pred.dim(2);
  return {data, extent_1, extent_2, pred.dim(0)};
}

}  // namespace

Detections yolov5_postprocess(OutputArray batch_pred, float iou_threshold, float conf_threshold) {
  const Batch b = batch_of(batch_pred);
  return postprocess::yolov5::decode_yolov5_batch(b.data, b.images, b.extent_1, b.extent_2,
                                                  iou_threshold, conf_threshold);
}

Detections yolov8_det_postprocess(OutputArray batch_pred, float iou_threshold,
                                  float conf_threshold) {
  return yolov8_seg_postprocess(batch_pred, iou_threshold, conf_threshold, 0);
}

Detections yolov8_seg_postprocess(OutputArray batch_pred, float iou_threshold, float conf_threshold,
                                  std::uint64_t vec_dims) {
  const Batch b = batch_of(batch_pred);
  return postprocess::yolov8::decode_yolov8_batch(b.data, b.images, b.extent_1, b.extent_2,
                                                  iou_threshold, conf_threshold, vec_dims);
}

// This decoder reads its extents in order 0, 1, 2.
std::vector<std::vector<PropertyDetection>> yolov8_property_postprocess(
    OutputArray batch_pred, float iou_threshold, float conf_threshold, std::uint64_t num_cls,
    std::vector<bool> has_property, std::vector<std::uint64_t> property_groups) {
  const auto data = batch_pred.data();
  const std::uint64_t images = batch_pred.dim(0);
  const std::uint64_t channels = batch_pred.dim(1);
  const std::uint64_t anchors = batch_pred.dim(2);
  const postprocess::yolov8_property::Groups groups{num_cls, has_property, property_groups};
  return postprocess::yolov8_property::decode_property_batch(data, images, channels, anchors,
                                                             groups, iou_threshold, conf_threshold);
}

}  // namespace corvane::python::entries
