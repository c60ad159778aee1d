#include "postprocess/class_sweep.hpp"

#include "core/simd.hpp"

namespace corvane::postprocess {
namespace {

using simd::kLanes;

// The running maximum alone, four channels per pass over the maxima, in
// plain loops the compiler vectorises: `v > b ? v : b` keeps b for a NaN or
// an equal value, lane by lane, exactly as the per-anchor scan does.
CORVANE_CLONES
void channel_maxima(const float* block, std::uint64_t anchors, std::uint64_t first,
                    std::uint64_t count, std::uint64_t a0, std::uint64_t len,
                    float* __restrict best) {
  for (std::uint64_t l = 0; l < len; ++l) best[l] = 0.0f;
  std::uint64_t c = 0;
  for (; c + 4 <= count; c += 4) {
    const float* __restrict ch0 = block + (first + c) * anchors + a0;
    const float* __restrict ch1 = ch0 + anchors;
    const float* __restrict ch2 = ch1 + anchors;
    const float* __restrict ch3 = ch2 + anchors;
    for (std::uint64_t l = 0; l < len; ++l) {
      float b = best[l];
      b = ch0[l] > b ? ch0[l] : b;
      b = ch1[l] > b ? ch1[l] : b;
      b = ch2[l] > b ? ch2[l] : b;
      b = ch3[l] > b ? ch3[l] : b;
      best[l] = b;
    }
  }
  for (; c < count; ++c) {
    const float* __restrict ch = block + (first + c) * anchors + a0;
    for (std::uint64_t l = 0; l < len; ++l) best[l] = ch[l] > best[l] ? ch[l] : best[l];
  }
}

// One step of the running maximum. The value is read once, so a channel that
// another writer changes meanwhile cannot leave a maximum that was never
// compared.
inline void take_if_greater(float value, std::uint64_t c, float& best, std::uint32_t& cls) {
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
    for (; l + kLanes <= len; l += kLanes) {
      simd::Floats b, v;
      simd::Words id;
      simd::load(b, best + l);
      simd::load(id, cls + l);
      for (std::uint64_t k = 0; k < 4; ++k) {
        simd::load(v, ch[k] + l);
        const auto greater = v > b;
        b = greater ? v : b;
        id = greater ? (simd::Words{} + static_cast<std::uint32_t>(c + k)) : id;
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

}  // namespace

void channel_maxima_and_classes(const float* block, std::uint64_t anchors, std::uint64_t first,
                                std::uint64_t count, std::uint64_t a0, std::uint64_t len,
                                float conf_threshold, float* best, std::uint32_t* cls) {
  // Most anchors of a real output fail the confidence test, so the sweep
  // keeps only the maxima, one instruction per value, and the class of the
  // few passing anchors is found afterwards. The running maximum moves only
  // on a strictly greater value, so it last moved at the first channel that
  // holds the final maximum (when that maximum exceeds 0; else the class is
  // 0): the same class a per-anchor scan finds.
  channel_maxima(block, anchors, first, count, a0, len, best);
  std::uint64_t passing = 0;
  for (std::uint64_t l = 0; l < len; ++l) passing += !(conf_threshold > best[l]);
  // With many passing anchors (a threshold at or below 0, or NaN) the
  // strided class lookups would cost more than sweeping once more with the
  // classes tracked.
  if (passing * 16 > len) {
    maxima_with_classes(block, anchors, first, count, a0, len, best, cls);
    return;
  }
  for (std::uint64_t l = 0; l < len; ++l) {
    if (conf_threshold > best[l]) continue;
    std::uint32_t found = 0;
    if (best[l] > 0.0f) {
      const float* value = block + first * anchors + a0 + l;
      // Bounded by the class count: another writer may have changed the
      // channels since the sweep, and then no channel holds the maximum.
      while (found < count && *value != best[l]) {
        value += anchors;
        ++found;
      }
      if (found == count) found = 0;
    }
    cls[l] = found;
  }
}

}  // namespace corvane::postprocess
