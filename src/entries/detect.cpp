#include "entries/entries.hpp"

namespace corvane::entries {

PyObject* yolov5_postprocess(Call& call) {
  call.array<const float>("batch_pred");
  call.f32("iou_threshold");
  call.f32("conf_threshold");
  not_implemented("yolov5_postprocess");
}

PyObject* yolov8_det_postprocess(Call& call) {
  call.array<const float>("batch_pred");
  call.f32("iou_threshold");
  call.f32("conf_threshold");
  not_implemented("yolov8_det_postprocess");
}

PyObject* yolov8_seg_postprocess(Call& call) {
  call.array<const float>("batch_pred");
  call.f32("iou_threshold");
  call.f32("conf_threshold");
  call.u64("vec_dims");
  not_implemented("yolov8_seg_postprocess");
}

PyObject* yolov8_property_postprocess(Call& call) {
  call.array<const float>("batch_pred");
  call.f32("iou_threshold");
  call.f32("conf_threshold");
  call.u64("num_cls");
  call.bools("has_property");
  call.u64s("property_groups");
  not_implemented("yolov8_property_postprocess");
}

}  // namespace corvane::entries
