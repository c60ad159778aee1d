#include "postprocess/class_sweep.hpp"

#include "core/simd.hpp"

#include <algorithm>

namespace corvane::postprocess {
namespace {

using simd::kCompareLanes;

// Channels swept per pass over the maxima. The sweep also notes, per anchor,
// the first channel of the last group in which the maximum rose: one compare
// and one select per group, cheap enough to hide behind the loads, and the
// class of a passing anchor is then searched within that group only.
constexpr std::uint64_t kChannelGroup = 16;

// The running maximum of channels first .. first + count - 1, kChannelGroup
// channels per pass over the maxima, and in group[l] the first channel (from
// `first`) of the last group that raised the maximum of anchor l (0 when none
// did). `v > b ? v : b` keeps b for a NaN or an equal value, lane by lane,
// exactly as the per-anchor scan does; b never holds a NaN, so "rose" is
// b != the value before the group.
CORVANE_CLONES
void channel_maxima(const float* block, std::uint64_t anchors, std::uint64_t first,
                    std::uint64_t count, std::uint64_t a0, std::uint64_t len, float* best,
                    std::uint32_t* group) {
  for (std::uint64_t l = 0; l < len; ++l) {
    best[l] = 0.0f;
    group[l] = 0;
  }
  for (std::uint64_t c = 0; c < count; c += kChannelGroup) {
    const std::uint64_t n = std::min(kChannelGroup, count - c);
    const float* ch = block + (first + c) * anchors + a0;
    const simd::CompareWords id = simd::CompareWords{} + static_cast<std::uint32_t>(c);
    std::uint64_t l = 0;
    // A last group of fewer channels (any class count not a multiple of
    // kChannelGroup, a single class) is swept in vectors as well.
    for (; l + kCompareLanes <= len; l += kCompareLanes) {
      simd::CompareFloats b, before, v;
      simd::CompareWords g;
      simd::load(b, best + l);
      simd::load(g, group + l);
      before = b;
      for (std::uint64_t k = 0; k < n; ++k) {
        simd::load(v, ch + k * anchors + l);
        b = v > b ? v : b;
      }
      g = b != before ? id : g;
      simd::store(best + l, b);
      simd::store(group + l, g);
    }
    for (; l < len; ++l) {
      float b = best[l];
      const float before = b;
      for (std::uint64_t k = 0; k < n; ++k) b = ch[k * anchors + l] > b ? ch[k * anchors + l] : b;
      if (b != before) group[l] = static_cast<std::uint32_t>(c);
      best[l] = b;
    }
  }
}

// One step of the running maximum. The value is read once, so a channel that
// another writer changes meanwhile cannot leave a maximum that was never
// compared.
CORVANE_INLINE void take_if_greater(float value, std::uint64_t c, float& best, std::uint32_t& cls) {
  if (value > best) {
    best = value;
    cls = static_cast<std::uint32_t>(c);
  }
}

// The wider instruction sets only put more lanes in one instruction: every
// lane does the same IEEE comparison, so every clone gives the same results.
// Four channels are applied per pass over the maxima, one after the other in
// channel order, exactly as a per-anchor scan would.
CORVANE_CLONES
void maxima_with_classes(const float* block, std::uint64_t anchors, std::uint64_t first,
                         std::uint64_t count, std::uint64_t a0, std::uint64_t len, float* best,
                         std::uint32_t* cls) {
  for (std::uint64_t l = 0; l < len; ++l) {
    best[l] = 0.0f;
    cls[l] = 0;
  }
  std::uint64_t c = 0;
  for (; c + 4 <= count; c += 4) {
    const float* ch[4];
    ch[0] = block + (first + c) * anchors + a0;
    for (int k = 1; k < 4; ++k) ch[k] = ch[k - 1] + anchors;
    std::uint64_t l = 0;
    for (; l + kCompareLanes <= len; l += kCompareLanes) {
      simd::CompareFloats b, v;
      simd::CompareWords id;
      simd::load(b, best + l);
      simd::load(id, cls + l);
      for (std::uint64_t k = 0; k < 4; ++k) {
        simd::load(v, ch[k] + l);
        const auto greater = v > b;
        b = greater ? v : b;
        id = greater ? (simd::CompareWords{} + static_cast<std::uint32_t>(c + k)) : id;
      }
      simd::store(best + l, b);
      simd::store(cls + l, id);
    }
    for (; l < len; ++l)
      for (std::uint64_t k = 0; k < 4; ++k) take_if_greater(ch[k][l], c + k, best[l], cls[l]);
  }
  for (; c < count; ++c) {
    const float* ch = block + (first + c) * anchors + a0;
    for (std::uint64_t l = 0; l < len; ++l) take_if_greater(ch[l], c, best[l], cls[l]);
  }
}

// Appends to `passing` the offsets l < len, ascending, whose maximum passes
// the confidence test (!(conf_threshold > best[l])); returns their count.
// Eight anchors are tested at once and only their passing lanes visited,
// so that the many failing anchors cost neither a branch nor a store each.
CORVANE_CLONES
std::uint64_t list_passing(const float* best, std::uint64_t len, float conf_threshold,
                           std::uint32_t* passing) {
  const simd::CompareFloats threshold = simd::CompareFloats{} + conf_threshold;
  std::uint64_t count = 0;
  std::uint64_t l = 0;
  for (; l + kCompareLanes <= len; l += kCompareLanes) {
    simd::CompareFloats b;
    simd::load(b, best + l);
    std::uint32_t mask = simd::lane_bits(~(threshold > b));
    while (mask != 0) {
      const auto lane = static_cast<std::uint32_t>(__builtin_ctz(mask));
      passing[count++] = static_cast<std::uint32_t>(l) + lane;
      mask &= mask - 1;
    }
  }
  for (; l < len; ++l) {
    passing[count] = static_cast<std::uint32_t>(l);
    count += !(conf_threshold > best[l]);
  }
  return count;
}

}  // namespace

std::uint64_t channel_maxima_and_classes(const float* block, std::uint64_t anchors,
                                         std::uint64_t first, std::uint64_t count, std::uint64_t a0,
                                         std::uint64_t len, float conf_threshold, float* best,
                                         std::uint32_t* cls, std::uint32_t* passing) {
  // Most anchors of a real output fail the confidence test, so the sweep
  // keeps only the maxima and the group where each last rose, and the class
  // of the few passing anchors is found afterwards. The running maximum
  // moves only on a strictly greater value, so it last moved at the first
  // channel of that group that holds the final maximum (when that maximum
  // exceeds 0; else the class is 0): the same class a per-anchor scan finds.
  channel_maxima(block, anchors, first, count, a0, len, best, cls);
  const std::uint64_t found = list_passing(best, len, conf_threshold, passing);
  // With many passing anchors (a threshold at or below 0, or NaN) the
  // strided class lookups would cost more than sweeping once more with the
  // classes tracked.
  if (found * 4 > len) {
    maxima_with_classes(block, anchors, first, count, a0, len, best, cls);
    return found;
  }
  for (std::uint64_t k = 0; k < found; ++k) {
    const std::uint32_t l = passing[k];
    std::uint32_t cl = 0;
    if (best[l] > 0.0f) {
      const std::uint64_t c = cls[l];
      const std::uint64_t n = std::min(kChannelGroup, count - c);
      const float* value = block + (first + c) * anchors + a0 + l;
      std::uint64_t j = 0;
      while (j < n && *value != best[l]) {
        value += anchors;
        ++j;
      }
      // Bounded by the group: another writer may have changed the channels
      // since the sweep, and then no channel of the group holds the maximum.
      if (j < n) cl = static_cast<std::uint32_t>(c + j);
    }
    cls[l] = cl;
  }
  return found;
}

}  // namespace corvane::postprocess
