#include "postprocess/yolov8/detect.hpp"

#include "nms/candidates.hpp"
#include "postprocess/yolov8/sweep.hpp"

#include <algorithm>

namespace corvane::postprocess::yolov8 {
namespace {

constexpr std::uint64_t kBoxChannels = 4;

// Anchors whose running maxima are kept at once while the class channels are
// swept over them: the maxima stay in L1 and each channel is read as one
// contiguous run.
constexpr std::uint64_t kSweep = 1024;

void decode_anchors(const float* block, std::uint64_t anchors, std::uint64_t num_classes,
                    float conf_threshold, std::uint64_t begin, std::uint64_t end,
                    std::vector<nms::Detection>& out) {
  alignas(64) float best[kSweep];
  alignas(64) std::uint32_t cls[kSweep];
  std::uint32_t passing[kSweep];
  const float* cx = block;
  const float* cy = block + anchors;
  const float* w = block + 2 * anchors;
  const float* h = block + 3 * anchors;
  for (std::uint64_t a0 = begin; a0 < end; a0 += kSweep) {
    const std::uint64_t len = std::min(kSweep, end - a0);
    channel_maxima_and_classes(block, anchors, kBoxChannels, num_classes, a0, len,
                               conf_threshold, best, cls);
    // The passing anchors are listed without a branch, so that the few that
    // pass do not each stall the scan with a mispredicted jump.
    std::uint32_t count = 0;
    for (std::uint32_t l = 0; l < len; ++l) {
      passing[count] = l;
      count += !(conf_threshold > best[l]);
    }
    // A passing anchor with no class channel has no bucket to go to.
    if (count > 0 && num_classes == 0) panic_index_out_of_bounds(0, 0);
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint32_t l = passing[k];
      const std::uint64_t a = a0 + l;
      const float hw = w[a] * 0.5f;
      const float hh = h[a] * 0.5f;
      out.push_back({cx[a] - hw, cy[a] - hh, cx[a] + hw, cy[a] + hh,
                     cls[l], best[l], a});
    }
  }
}

}  // namespace

std::vector<nms::Detection> decode_yolov8_image(std::span<const float> block,
                                                std::uint64_t anchors, std::uint64_t score_end,
                                                float iou_threshold, float conf_threshold) {
  // Fewer than the four box channels before the end of the scores means a
  // negative class count.
  if (score_end < kBoxChannels) panic_capacity_overflow();
  const std::uint64_t num_classes = score_end - kBoxChannels;
  auto candidates = nms::collect_in_chunks<nms::Detection>(
      anchors, [&](std::uint64_t begin, std::uint64_t end, std::vector<nms::Detection>& out) {
        decode_anchors(block.data(), anchors, num_classes, conf_threshold, begin, end, out);
      });
  return nms::suppress_candidates(std::move(candidates), iou_threshold);
}

std::vector<std::vector<nms::Detection>> detect_with_trailing(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, std::uint64_t trailing, float iou_threshold, float conf_threshold) {
  return nms::for_each_image(data, images, channels, anchors, [&](std::span<const float> block) {
    // More trailing channels than channels is a negative class count too;
    // checked here so that no wrapped count is ever used.
    if (trailing > channels) panic_capacity_overflow();
    return decode_yolov8_image(block, anchors, channels - trailing, iou_threshold,
                               conf_threshold);
  });
}

std::vector<std::vector<nms::Detection>> detect(std::span<const float> data, std::uint64_t images,
                                                std::uint64_t channels, std::uint64_t anchors,
                                                float iou_threshold, float conf_threshold) {
  return detect_with_trailing(data, images, channels, anchors, 0, iou_threshold, conf_threshold);
}

}  // namespace corvane::postprocess::yolov8
