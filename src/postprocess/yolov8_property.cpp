#include "postprocess/yolov8_property.hpp"

#include "postprocess/decode.hpp"

#include <algorithm>

namespace corvane::postprocess::yolov8_property {
namespace {

// What one image needs besides its block: the shape facts that every anchor
// would otherwise recompute, all derived without overflow.
struct ImageLayout {
  const float* block;
  std::uint64_t channels;
  std::uint64_t anchors;
  std::uint64_t run_len;         // channels * anchors, the image's run
  std::uint64_t first_property;  // 4 + num_cls
  bool groups_fit;               // every property group lies below `channels`
};

// A group is read only for passing anchors of classes with properties, so a
// group reaching past the channels is reported there, at the first channel
// that does not exist. That channel is always `channels` itself: the groups
// before it fit, so it starts at or below the end.
bool all_groups_fit(std::uint64_t first, std::uint64_t channels,
                    std::span<const std::uint64_t> property_groups) {
  if (first > channels) return property_groups.empty();
  std::uint64_t room = channels - first;
  for (const std::uint64_t n : property_groups) {
    if (n > room) return false;
    room -= n;
  }
  return true;
}

// The running maximum of each group's channels at one anchor, from 0 with no
// choice; strictly greater values win, NaN never does.
std::vector<PropertyValue> read_properties(const ImageLayout& image, std::uint64_t anchor,
                                           std::span<const std::uint64_t> property_groups) {
  std::vector<PropertyValue> out;
  out.reserve(property_groups.size());
  const float* channel = image.block + image.first_property * image.anchors + anchor;
  for (const std::uint64_t n : property_groups) {
    PropertyValue best{kNoChoice, 0.0f};
    for (std::uint64_t j = 0; j < n; ++j, channel += image.anchors) {
      // Read once: a value that changes between the test and the copy
      // would leave a score the running maximum never saw.
      const float v = *channel;
      if (v > best.score) best = {j, v};
    }
    out.push_back(best);
  }
  return out;
}

// The candidates are plain detections carrying their anchor: the properties
// never take part in suppression, so they are read for the survivors only.
void decode_anchors(const ImageLayout& image, const Groups& groups, float conf_threshold,
                    std::uint64_t begin, std::uint64_t end, std::vector<Detection>& out) {
  const std::uint64_t n = image.anchors;
  for_each_passing_anchor(
      image.block, n, groups.num_cls, conf_threshold, begin, end, out,
      [&](std::uint64_t a, std::uint64_t cls, float score) {
        // The failures of a passing anchor, in the order it reads: its box,
        // the class's has_property entry, the class's groups, its bucket.
        if (image.channels < kBoxChannels)
          panic_index_out_of_bounds(image.run_len, image.channels * n + a);
        check_index(groups.has_property.size(), cls);
        if (groups.has_property[cls] && !image.groups_fit)
          panic_index_out_of_bounds(image.run_len, image.channels * n + a);
        if (groups.num_cls == 0) panic_index_out_of_bounds(0, 0);
        const Corners box = corners(image.block[a], image.block[n + a], image.block[2 * n + a],
                                    image.block[3 * n + a]);
        out.push_back({box.x1, box.y1, box.x2, box.y2, static_cast<std::uint32_t>(cls), score, a});
      });
}

std::vector<PropertyDetection> decode_image(std::span<const float> block, std::uint64_t channels,
                                            std::uint64_t anchors, const Groups& groups,
                                            float iou_threshold, float conf_threshold) {
  if (anchors == 0) return {};
  // Anchor 0's class scan is the first read of the image: a class channel at
  // or past the end fails there, at the first channel that does not exist.
  // Checked before anything is allocated, so a huge num_cls costs nothing.
  if (groups.num_cls > 0 && (groups.num_cls > channels || channels - groups.num_cls < kBoxChannels))
    panic_index_out_of_bounds(block.size(), checked_mul(std::max(channels, kBoxChannels), anchors));
  const std::uint64_t first_property = kBoxChannels + groups.num_cls;
  const ImageLayout image{
      block.data(),   channels,
      anchors,        block.size(),
      first_property, all_groups_fit(first_property, channels, groups.property_groups)};
  const std::vector<Detection> kept = collect_and_suppress<Detection>(
      anchors, iou_threshold,
      [&](std::uint64_t begin, std::uint64_t end, std::vector<Detection>& out) {
        decode_anchors(image, groups, conf_threshold, begin, end, out);
      });
  std::vector<PropertyDetection> out;
  out.reserve(kept.size());
  for (const Detection& d : kept) {
    std::vector<PropertyValue> properties;
    if (groups.has_property[d.class_id])
      properties = read_properties(image, d.index, groups.property_groups);
    out.push_back({d.x1, d.y1, d.x2, d.y2, d.class_id, d.score, std::move(properties)});
  }
  return out;
}

}  // namespace

std::vector<std::vector<PropertyDetection>> decode_property_batch(
    std::span<const float> data, std::uint64_t images, std::uint64_t channels,
    std::uint64_t anchors, const Groups& groups, float iou_threshold, float conf_threshold) {
  return for_each_image(data, images, channels, anchors, [&](std::span<const float> block) {
    return decode_image(block, channels, anchors, groups, iou_threshold, conf_threshold);
  });
}

}  // namespace corvane::postprocess::yolov8_property
