#include "postprocess/yolov8_obb.hpp"

#include "nms/rotated.hpp"
#include "postprocess/decode.hpp"

#include <cmath>
#include <numbers>

namespace corvane::postprocess::yolov8_obb {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr float kHalfPi = kPi / 2.0f;  // exact: a power-of-two scaling

// x mod period, floored: fmod is exact, and only a negative remainder is
// rounded, once, when the period is added. A remainder of -0 (from a
// negative multiple of the period) becomes +0 by adding 0.
float floored_mod(float x, float period) {
  const float r = std::fmod(x, period);
  return r < 0.0f ? r + period : r + 0.0f;
}

std::vector<OrientedDetection> decode_image(std::span<const float> block, std::uint64_t anchors,
                                            std::uint64_t num_classes, float iou_threshold,
                                            float conf_threshold) {
  const float* cx = block.data();
  const float* cy = cx + anchors;
  const float* w = cy + anchors;
  const float* h = w + anchors;
  const float* angle = h + (1 + num_classes) * anchors;
  auto candidates = collect_in_chunks<OrientedDetection>(
      anchors, [&](std::uint64_t begin, std::uint64_t end, std::vector<OrientedDetection>& out) {
        for_each_passing_anchor(
            block.data(), anchors, num_classes, conf_threshold, begin, end, out,
            [&](std::uint64_t a, std::uint32_t cls, float score) {
              out.push_back({cx[a], cy[a], w[a], h[a], angle[a], cls, score, a});
            });
      });
  // Suppression sees the angles as the model gave them.
  auto survivors = nms::fast_suppress_candidates(std::move(candidates), iou_threshold);
  for (OrientedDetection& d : survivors) regularise(d);
  return survivors;
}

}  // namespace

void regularise(OrientedDetection& d) {
  if (floored_mod(d.angle, kPi) >= kHalfPi) std::swap(d.w, d.h);
  d.angle = floored_mod(d.angle, kHalfPi);
}

std::vector<std::vector<OrientedDetection>> decode_oriented_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, float iou_threshold, float conf_threshold) {
  // The box channels, one class at least and the angle channel.
  if (channels < kBoxChannels + 2) panic_capacity_overflow();
  const std::uint64_t num_classes = channels - kBoxChannels - 1;
  return for_each_image(data, images, channels, anchors, [&](std::span<const float> block) {
    return decode_image(block, anchors, num_classes, iou_threshold, conf_threshold);
  });
}

}  // namespace corvane::postprocess::yolov8_obb
