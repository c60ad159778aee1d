#include "python/entries/entries.hpp"

#include "preprocess/affine.hpp"

#include <string>

namespace corvane::python::entries {
namespace {

// "expected N >= 3 (one image per box), got shape (2, 3, 16, 12)"
std::string too_few(std::size_t n, const char* per, const std::string& shape) {
  return "expected N >= " + std::to_string(n) + " (one image per " + per + "), got shape " + shape;
}

// A SimCC output that holds 17 rows of at least one bin for every crop.
void check_simcc(const OutputArray& pred, std::size_t crops) {
  if (pred.ndim() != 3 || pred.dim(1) < kKeypointCount || pred.dim(2) == 0)
    raise_value(pred.name(),
                "expected shape (N, K, L) with K >= 17 and L > 0, got " + shape_text(pred));
  if (pred.dim(0) < crops) raise_value(pred.name(), too_few(crops, "crop", shape_text(pred)));
}

}  // namespace

std::vector<AffineCrop> rtmpose_affine_preprocess(ImageArray frame,
                                                  Named<std::vector<CropBox>> named_boxes,
                                                  TensorArray dst) {
  const std::vector<CropBox>& boxes = named_boxes.value;
  const auto pixels = frame.data();
  const auto values = dst.data();
  if (frame.ndim() != 3 || frame.dim(2) != 3)
    raise_value(frame.name(), "expected shape (h, w, 3), got " + shape_text(frame));
  if (dst.ndim() != 4 || dst.dim(1) != 3 || dst.dim(2) == 0 || dst.dim(3) == 0)
    raise_value(dst.name(), "expected shape (N, 3, H, W) with H, W > 0, got " + shape_text(dst));
  if (dst.dim(0) < boxes.size())
    raise_value(dst.name(), too_few(boxes.size(), "box", shape_text(dst)));
  const std::uint64_t height = dst.dim(2), width = dst.dim(3);
  std::vector<AffineCrop> crops;
  crops.reserve(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    crops.push_back(preprocess::affine_crop(boxes[i], width, height));
    if (!preprocess::usable(preprocess::frame_map(crops.back(), width, height)))
      raise_value(named_boxes.name,
                  "box " + std::to_string(i) + " is too small or too large to crop");
  }
  preprocess::affine_crops({pixels, frame.dim(0), frame.dim(1)}, crops, {values, height, width});
  return crops;
}

std::vector<postprocess::rtmpose::CropKeypoints> rtmpose_affine_postprocess(
    OutputArray batch_pred_x, OutputArray batch_pred_y, std::vector<AffineCrop> crops) {
  const auto data_x = batch_pred_x.data();
  const auto data_y = batch_pred_y.data();
  check_simcc(batch_pred_x, crops.size());
  check_simcc(batch_pred_y, crops.size());
  const auto shape_x = batch_pred_x.shape();
  const auto shape_y = batch_pred_y.shape();
  return postprocess::rtmpose::decode_affine({shape_x, data_x}, {shape_y, data_y}, crops);
}

}  // namespace corvane::python::entries
