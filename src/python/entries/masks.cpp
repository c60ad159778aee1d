#include "python/entries/entries.hpp"

#include "postprocess/masks.hpp"

#include <string>

namespace corvane::python::entries {

// Every argument is converted and checked before the kernel writes a pixel.
void yolov8_seg_masks(OutputArray pred, OutputArray protos, Named<BatchIndex> batch_index,
                      Named<std::vector<MaskBox>> detections, PositivePair input_size,
                      LetterboxArgument letterbox_argument, ArrayView<std::uint8_t> dst) {
  const std::uint64_t image = batch_index.value.value;
  const std::vector<MaskBox>& boxes = detections.value;
  const ScalePad letterbox = letterbox_argument.value;
  const auto pred_data = pred.data();
  const auto protos_data = protos.data();
  const auto dst_data = dst.data();
  const std::string pred_name(pred.name()), protos_name(protos.name());

  if (protos.ndim() != 4)
    raise_value(protos_name,
                "expected 4 dimensions (B, M, mh, mw), got " + std::to_string(protos.ndim()));
  if (pred.ndim() != 3)
    raise_value(pred_name, "expected 3 dimensions (B, K, N), got " + std::to_string(pred.ndim()));
  if (dst.ndim() != 3)
    raise_value(dst.name(), "expected 3 dimensions (D, H, W), got " + std::to_string(dst.ndim()));
  const std::uint64_t masks = protos.dim(1), mh = protos.dim(2), mw = protos.dim(3);
  const std::uint64_t channels = pred.dim(1), anchors = pred.dim(2);
  if (mh == 0 || mw == 0) raise_value(protos_name, messages::kEmptyPrototypeGrid);
  if (mh > postprocess::masks::kMaxExtent || mw > postprocess::masks::kMaxExtent)
    raise_value(protos_name, messages::kPrototypeGridTooLarge);
  if (channels < 4 || masks > channels - 4)
    raise_value(protos_name, std::to_string(masks) + " prototypes need more than " +
                                 std::to_string(channels) + " channels of '" + pred_name +
                                 "' (4 box + M)");
  if (image >= pred.dim(0) || image >= protos.dim(0))
    raise_value(batch_index.name, "not an image of the batch (" + pred_name + " has " +
                                      std::to_string(pred.dim(0)) + ", " + protos_name + " " +
                                      std::to_string(protos.dim(0)) + ")");
  for (std::size_t d = 0; d < boxes.size(); ++d)
    if (boxes[d].index >= anchors)
      raise_value(detections.name, "detection " + std::to_string(d) + " has anchor index " +
                                       std::to_string(boxes[d].index) + ", but " + pred_name +
                                       " has " + std::to_string(anchors) + " anchors");
  if (boxes.size() > dst.dim(0))
    raise_value(dst.name(), std::to_string(dst.dim(0)) + " planes for " +
                                std::to_string(boxes.size()) + " detections");

  const std::size_t pred_image = static_cast<std::size_t>(channels * anchors);
  const std::size_t protos_image = static_cast<std::size_t>(masks * mh * mw);
  postprocess::masks::build(
      {pred_data.subspan(image * pred_image, pred_image), channels, anchors},
      {protos_data.subspan(image * protos_image, protos_image), masks, mh, mw}, boxes,
      {input_size.first, input_size.second, letterbox.ratio, letterbox.pad_x, letterbox.pad_y},
      {dst_data, dst.dim(1), dst.dim(2)});
}

}  // namespace corvane::python::entries
