#include "postprocess/yolov8_pose.hpp"

#include "postprocess/batch.hpp"
#include "postprocess/yolov8.hpp"

namespace corvane::postprocess::yolov8_pose {
namespace {

// Values per keypoint: x, y, visibility.
constexpr std::uint64_t kTriple = 3;
// The box and at least one class score come before the keypoints.
constexpr std::uint64_t kLeadingChannels = 5;

// The keypoints of the survivors only: they take no part in suppression, and
// an image has thousands of anchors but a few dozen survivors.
std::vector<PoseDetection> with_keypoints(std::span<const float> block, std::uint64_t anchors,
                                          std::uint64_t first_keypoint, std::uint64_t num_keypoints,
                                          std::vector<Detection> kept) {
  std::vector<PoseDetection> out;
  out.reserve(kept.size());
  for (const Detection& d : kept) {
    std::vector<Keypoint> keypoints(num_keypoints);
    std::uint64_t at = first_keypoint * anchors + d.index;
    for (Keypoint& k : keypoints) {
      k.x = block[at];
      k.y = block[at + anchors];
      k.score = block[at + 2 * anchors];
      at += kTriple * anchors;
    }
    out.push_back({d, std::move(keypoints)});
  }
  return out;
}

}  // namespace

bool has_class_channel(std::uint64_t channels, std::uint64_t num_keypoints) {
  return channels >= kLeadingChannels && num_keypoints <= (channels - kLeadingChannels) / kTriple;
}

std::vector<std::vector<PoseDetection>> decode_pose_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, std::uint64_t num_keypoints, float iou_threshold, float conf_threshold) {
  // The entry refuses a layout without a class channel; a kernel called
  // without that check must still never read past the block.
  if (!has_class_channel(channels, num_keypoints)) panic_capacity_overflow();
  const std::uint64_t first_keypoint = channels - kTriple * num_keypoints;
  return for_each_image(data, images, channels, anchors, [&](std::span<const float> block) {
    return with_keypoints(
        block, anchors, first_keypoint, num_keypoints,
        yolov8::decode_image(block, anchors, first_keypoint, iou_threshold, conf_threshold));
  });
}

}  // namespace corvane::postprocess::yolov8_pose
