// What the three box decoders (YOLOv5, YOLOv8 with or without mask
// coefficients, YOLOv8 with property groups) share once an image's block is
// found: the candidates collected chunk by chunk in ascending position, then
// suppressed class by class; the corner box of a centre-size box; and, for
// the channel-major outputs, the anchors that pass the confidence test.
#pragma once

#include "nms/suppress.hpp"
#include "postprocess/batch.hpp"
#include "postprocess/class_sweep.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace corvane::postprocess {

// decode_range(begin, end, out) appends the candidates of positions
// [begin, end) in ascending position; the image's survivors of class-wise
// suppression.
template <class R, class DecodeRange>
std::vector<R> collect_and_suppress(std::uint64_t positions, float iou_threshold,
                                    const DecodeRange& decode_range) {
  return nms::suppress_candidates(collect_in_chunks<R>(positions, decode_range), iou_threshold);
}

struct Corners {
  float x1, y1, x2, y2;
};

// The corners of the box of centre (cx, cy) and size (w, h): the centre minus
// and plus half the size, each a float32 operation.
inline Corners corners(float cx, float cy, float w, float h) {
  const float hw = w * 0.5f;
  const float hh = h * 0.5f;
  return {cx - hw, cy - hh, cx + hw, cy + hh};
}

// Anchors whose running maxima are kept at once while the class channels are
// swept over them: the maxima stay in L1 and each channel is read as one
// contiguous run.
inline constexpr std::uint64_t kSweep = 1024;

// The box channels before the class scores of a channel-major output.
inline constexpr std::uint64_t kBoxChannels = 4;

// Passing anchors ahead of the one decoded whose box lines are requested.
inline constexpr std::uint64_t kBoxPrefetch = 8;

// on_pass(anchor, class, score) for every anchor of [begin, end), in
// ascending order, whose best class score (channels 4 .. 4 + num_classes - 1)
// passes the confidence test; on_pass appends its candidate to `out`, which
// has room for them beforehand.
template <class R, class OnPass>
void for_each_passing_anchor(const float* block, std::uint64_t anchors, std::uint64_t num_classes,
                             float conf_threshold, std::uint64_t begin, std::uint64_t end,
                             std::vector<R>& out, const OnPass& on_pass) {
  alignas(64) float best[kSweep];
  alignas(64) std::uint32_t classes[kSweep];
  std::uint32_t passing[kSweep];
  for (std::uint64_t a0 = begin; a0 < end; a0 += kSweep) {
    const std::uint64_t len = std::min(kSweep, end - a0);
    const std::uint64_t count = channel_maxima_and_classes(
        block, anchors, kBoxChannels, num_classes, a0, len, conf_threshold, best, classes, passing);
    out.reserve(out.size() + count);
    for (std::uint64_t k = 0; k < count; ++k) {
      // The box channels were not swept: their lines are requested a few
      // anchors ahead so that the misses overlap. (Without a class channel
      // the block may lack box channels; the first passing anchor fails.)
      if (num_classes > 0 && k + kBoxPrefetch < count)
        for (std::uint64_t c = 0; c < kBoxChannels; ++c)
          __builtin_prefetch(block + c * anchors + a0 + passing[k + kBoxPrefetch]);
      const std::uint32_t l = passing[k];
      on_pass(a0 + l, classes[l], best[l]);
    }
  }
}

}  // namespace corvane::postprocess
