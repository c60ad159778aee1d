#include "python/entries/entries.hpp"

#include "postprocess/alphapose.hpp"

namespace corvane::python::entries {
namespace {

// Every extent of the array; the decoder reads dimensions 1 and 2 itself, per
// crop, so an empty batch never looks at them.
std::vector<std::uint64_t> shape_of(const OutputArray& array) {
  std::vector<std::uint64_t> shape(array.ndim());
  for (std::size_t k = 0; k < shape.size(); ++k) shape[k] = array.dim(k);
  return shape;
}

}  // namespace

std::vector<Keypoint> alphapose_postprocess(OutputArray pred, float scale) {
  return postprocess::alphapose::keypoints(pred.data(), scale);
}

std::vector<postprocess::rtmpose::CropKeypoints> rtmpose_postprocess(
    OutputArray batch_pred_x, OutputArray batch_pred_y, std::vector<ScalePad> batch_scale_pad) {
  const auto data_x = batch_pred_x.data();
  const auto data_y = batch_pred_y.data();
  const auto shape_x = shape_of(batch_pred_x);
  const auto shape_y = shape_of(batch_pred_y);
  return postprocess::rtmpose::decode({shape_x, data_x}, {shape_y, data_y}, batch_scale_pad);
}

}  // namespace corvane::python::entries
