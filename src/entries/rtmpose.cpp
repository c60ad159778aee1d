#include "entries/entries.hpp"
#include "postprocess/rtmpose/simcc.hpp"

#include <cstdint>
#include <vector>

namespace corvane::entries {
namespace {

// Every extent of the array; the decoder reads dimensions 1 and 2 itself, per
// crop, so an empty batch never looks at them.
template <class T>
std::vector<std::uint64_t> shape_of(const Array<T>& array) {
  std::vector<std::uint64_t> shape(array.ndim());
  for (std::size_t k = 0; k < shape.size(); ++k) shape[k] = array.dim(k);
  return shape;
}

}  // namespace

PyObject* rtmpose_postprocess(Call& call) {
  auto pred_x = call.array<const float>("batch_pred_x");
  auto pred_y = call.array<const float>("batch_pred_y");
  const std::vector<ScalePad> scale_pads = call.scale_pads("batch_scale_pad");
  const auto data_x = pred_x.data();
  const auto data_y = pred_y.data();
  const auto shape_x = shape_of(pred_x);
  const auto shape_y = shape_of(pred_y);
  const auto crops =
      postprocess::rtmpose::decode({shape_x, data_x}, {shape_y, data_y}, scale_pads);
  call.release_arrays();
  return list_of(crops, [](const postprocess::rtmpose::CropKeypoints& keypoints) {
           return list_of(keypoints, [](const Keypoint& k) { return tuple(k.x, k.y, k.score); });
         }).release();
}

}  // namespace corvane::entries
