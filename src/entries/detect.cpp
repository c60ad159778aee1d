#include "entries/entries.hpp"
#include "nms/detect.hpp"
#include "nms/props.hpp"
#include "postprocess/yolov5/detect.hpp"
#include "postprocess/yolov8/detect.hpp"
#include "postprocess/yolov8/segment.hpp"
#include "postprocess/yolov8_property/detect.hpp"

#include <cstdint>
#include <vector>

namespace corvane::entries {
namespace {

// (x1, y1, x2, y2, class_id, score, index)
Ref detection_tuple(const nms::Detection& d) {
  return tuple(d.x1, d.y1, d.x2, d.y2, d.class_id, d.score, d.index);
}

// One list per image, each created at its final length.
template <class Record, class Item>
Ref per_image_lists(const std::vector<std::vector<Record>>& images, Item&& item) {
  return list_of(images, [&item](const std::vector<Record>& records) {
    return list_of(records, item);
  });
}

}  // namespace

// The three box decoders take the buffer first (the contiguity failure comes
// before any shape failure), then read extents 1 and 2 before extent 0, so
// that a missing dimension reports the first of those two it lacks.
PyObject* yolov5_postprocess(Call& call) {
  const auto pred = call.array<const float>("batch_pred");
  const float iou_threshold = call.f32("iou_threshold");
  const float conf_threshold = call.f32("conf_threshold");
  const auto data = pred.data();
  const std::uint64_t rows = pred.dim(1);
  const std::uint64_t row_len = pred.dim(2);
  const std::uint64_t images = pred.dim(0);
  auto result =
      postprocess::yolov5::detect(data, images, rows, row_len, iou_threshold, conf_threshold);
  call.release_arrays();
  return per_image_lists(result, detection_tuple).release();
}

PyObject* yolov8_det_postprocess(Call& call) {
  const auto pred = call.array<const float>("batch_pred");
  const float iou_threshold = call.f32("iou_threshold");
  const float conf_threshold = call.f32("conf_threshold");
  const auto data = pred.data();
  const std::uint64_t channels = pred.dim(1);
  const std::uint64_t anchors = pred.dim(2);
  const std::uint64_t images = pred.dim(0);
  auto result =
      postprocess::yolov8::detect(data, images, channels, anchors, iou_threshold, conf_threshold);
  call.release_arrays();
  return per_image_lists(result, detection_tuple).release();
}

PyObject* yolov8_seg_postprocess(Call& call) {
  const auto pred = call.array<const float>("batch_pred");
  const float iou_threshold = call.f32("iou_threshold");
  const float conf_threshold = call.f32("conf_threshold");
  const std::uint64_t vec_dims = call.u64("vec_dims");
  const auto data = pred.data();
  const std::uint64_t channels = pred.dim(1);
  const std::uint64_t anchors = pred.dim(2);
  const std::uint64_t images = pred.dim(0);
  auto result = postprocess::yolov8::segment(data, images, channels, anchors, vec_dims,
                                             iou_threshold, conf_threshold);
  call.release_arrays();
  return per_image_lists(result, detection_tuple).release();
}

PyObject* yolov8_property_postprocess(Call& call) {
  const auto pred = call.array<const float>("batch_pred");
  const float iou_threshold = call.f32("iou_threshold");
  const float conf_threshold = call.f32("conf_threshold");
  const std::uint64_t num_cls = call.u64("num_cls");
  const std::vector<bool> has_property = call.bools("has_property");
  const std::vector<std::uint64_t> property_groups = call.u64s("property_groups");
  const auto data = pred.data();
  const std::uint64_t images = pred.dim(0);
  const std::uint64_t channels = pred.dim(1);
  const std::uint64_t anchors = pred.dim(2);
  const postprocess::yolov8_property::Groups groups{num_cls, has_property, property_groups};
  auto result = postprocess::yolov8_property::detect(data, images, channels, anchors, groups,
                                                     iou_threshold, conf_threshold);
  call.release_arrays();
  // ((x1, y1, x2, y2, class_id, score), [(choice, score), ...])
  return per_image_lists(result, [](const nms::PropertyDetection& d) {
           return tuple(tuple(d.x1, d.y1, d.x2, d.y2, d.class_id, d.score),
                        list_of(d.properties, [](const nms::PropertyValue& p) {
                          return tuple(p.choice, p.score);
                        }));
         }).release();
}

}  // namespace corvane::entries
