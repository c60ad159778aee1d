#include "entries/entries.hpp"

namespace corvane::entries {

PyObject* yolov5_det_preprocess(Call& call) {
  call.array<const std::uint8_t>("src");
  call.array<float>("dst");
  not_implemented("yolov5_det_preprocess");
}

PyObject* yolov5_cls_preprocess(Call& call) {
  call.array<const std::uint8_t>("src");
  call.array<float>("dst");
  not_implemented("yolov5_cls_preprocess");
}

PyObject* std_preprocess(Call& call) {
  call.array<const std::uint8_t>("src");
  call.array<float>("dst");
  call.f32x3("mean_val");
  call.f32x3("std_val");
  not_implemented("std_preprocess");
}

PyObject* rtmpose_preprocess(Call& call) {
  call.array<const std::uint8_t>("src");
  call.array<float>("dst");
  call.f32("padding_rate");
  not_implemented("rtmpose_preprocess");
}

}  // namespace corvane::entries
