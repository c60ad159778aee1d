#include "python/entries/entries.hpp"

#include "postprocess/yolov8_obb.hpp"

#include <string>

namespace corvane::python::entries {

// The shape is refused before any anchor is read: exactly (B, 4 + nc + 1, N)
// with nc >= 1, since the angle channel cannot be told from a class without
// a class before it.
std::vector<std::vector<OrientedDetection>> yolov8_obb_postprocess(OutputArray batch_pred,
                                                                   float iou_threshold,
                                                                   float conf_threshold) {
  const auto data = batch_pred.data();
  if (batch_pred.ndim() != 3)
    raise_value(batch_pred.name(), "expected 3 dimensions (B, 4 + nc + 1, N), got " +
                                       std::to_string(batch_pred.ndim()));
  const std::uint64_t channels = batch_pred.dim(1);
  if (channels < 6)
    raise_value(batch_pred.name(), "expected (B, 4 + nc + 1, N) with nc >= 1 classes, got " +
                                       std::to_string(channels) + " channels");
  return postprocess::yolov8_obb::decode_oriented_batch(
      data, batch_pred.dim(0), channels, batch_pred.dim(2), iou_threshold, conf_threshold);
}

}  // namespace corvane::python::entries
