#include "postprocess/yolov8.hpp"

#include "postprocess/decode.hpp"

namespace corvane::postprocess::yolov8 {

std::vector<Detection> decode_image(std::span<const float> block, std::uint64_t anchors,
                                    std::uint64_t score_end, float iou_threshold,
                                    float conf_threshold) {
  // Fewer than the four box channels before the end of the scores means a
  // negative class count.
  if (score_end < kBoxChannels) panic_capacity_overflow();
  const std::uint64_t num_classes = score_end - kBoxChannels;
  const float* cx = block.data();
  const float* cy = cx + anchors;
  const float* w = cy + anchors;
  const float* h = w + anchors;
  return collect_and_suppress<Detection>(
      anchors, iou_threshold,
      [&](std::uint64_t begin, std::uint64_t end, std::vector<Detection>& out) {
        for_each_passing_anchor(block.data(), anchors, num_classes, conf_threshold, begin, end, out,
                                [&](std::uint64_t a, std::uint32_t cls, float score) {
                                  // A passing anchor with no class channel has no bucket to go to.
                                  if (num_classes == 0) panic_index_out_of_bounds(0, 0);
                                  const Corners box = corners(cx[a], cy[a], w[a], h[a]);
                                  out.push_back({box.x1, box.y1, box.x2, box.y2, cls, score, a});
                                });
      });
}

std::vector<std::vector<Detection>> decode_yolov8_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, float iou_threshold, float conf_threshold, std::uint64_t mask_channels) {
  return for_each_image(data, images, channels, anchors, [&](std::span<const float> block) {
    // More mask channels than channels is a negative class count too;
    // checked here so that no wrapped count is ever used.
    if (mask_channels > channels) panic_capacity_overflow();
    return decode_image(block, anchors, channels - mask_channels, iou_threshold, conf_threshold);
  });
}

}  // namespace corvane::postprocess::yolov8
