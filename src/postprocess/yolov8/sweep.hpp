// The best-class search of channel-major outputs (YOLOv8 detection,
// segmentation and property heads), done channel by channel over a run of
// anchors instead of anchor by anchor.
#pragma once

#include <cstdint>

namespace corvane::postprocess::yolov8 {

// best[l] = the running maximum, started at 0 and moved only by a strictly
// greater value, of channels first .. first + count - 1 at anchor a0 + l, for
// l < len. Each anchor sees the same comparisons in the same channel order as
// a per-anchor scan, so the values are identical (a NaN never wins).
void channel_maxima(const float* block, std::uint64_t anchors, std::uint64_t first,
                    std::uint64_t count, std::uint64_t a0, std::uint64_t len, float* best);

// The class of a running maximum: the offset, from `first`, of the first
// channel whose value at `anchor` equals `best`, or 0 when best is 0. Since
// the running maximum moves only on a strictly greater value, this is the
// channel where it last moved, i.e. the lowest class among equal maxima.
inline std::uint64_t first_channel_reaching(const float* block, std::uint64_t anchors,
                                            std::uint64_t first, std::uint64_t anchor,
                                            float best) {
  if (!(best > 0.0f)) return 0;
  std::uint64_t k = 0;
  while (!(block[(first + k) * anchors + anchor] == best)) ++k;
  return k;
}

}  // namespace corvane::postprocess::yolov8
