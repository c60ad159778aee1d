// The best-class search of channel-major outputs (YOLOv8 detection,
// segmentation and property heads), done channel by channel over a run of
// anchors instead of anchor by anchor.
#pragma once

#include <cstdint>

namespace corvane::postprocess {

// For l < len: best[l] = the running maximum, started at 0 and moved only by
// a strictly greater value, of channels first .. first + count - 1 at anchor
// a0 + l. Lists in `passing` the offsets l, ascending, of the anchors that
// pass the confidence test (!(conf_threshold > best[l])) and returns their
// count; for each of them cls[l] = the offset from `first` of the channel
// where the maximum last moved (0 when nothing exceeds 0); cls of a failing
// anchor is unspecified. Each anchor gets exactly what a per-anchor scan in
// channel order gives: ties keep the lowest channel and a NaN never wins.
// Offsets must fit 32 bits (a class count beyond that would need a block of
// over 16 GB).
std::uint64_t channel_maxima_and_classes(const float* block, std::uint64_t anchors,
                                         std::uint64_t first, std::uint64_t count, std::uint64_t a0,
                                         std::uint64_t len, float conf_threshold, float* best,
                                         std::uint32_t* cls, std::uint32_t* passing);

}  // namespace corvane::postprocess
