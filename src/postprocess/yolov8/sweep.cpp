#include "postprocess/yolov8/sweep.hpp"

#include <cstring>
#include <initializer_list>

namespace corvane::postprocess::yolov8 {
namespace {

// Sixteen lanes: one AVX-512 register, two AVX2 or four SSE2 ones.
using Lanes = float __attribute__((vector_size(64)));
constexpr std::uint64_t kLanes = 16;

}  // namespace

// The wider instruction sets only put more lanes in one instruction: every
// lane does the same IEEE comparison, so every clone gives the same bits.
#if defined(__x86_64__) && defined(__ELF__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void channel_maxima(const float* block, std::uint64_t anchors, std::uint64_t first,
                    std::uint64_t count, std::uint64_t a0, std::uint64_t len, float* best) {
  for (std::uint64_t l = 0; l < len; ++l) best[l] = 0.0f;
  std::uint64_t c = 0;
  // Four channels per pass over the maxima, applied one after the other in
  // channel order, exactly as a per-anchor scan would.
  for (; c + 4 <= count; c += 4) {
    const float* ch[4];
    ch[0] = block + (first + c) * anchors + a0;
    for (int k = 1; k < 4; ++k) ch[k] = ch[k - 1] + anchors;
    std::uint64_t l = 0;
    for (; l + kLanes <= len; l += kLanes) {
      Lanes b, v;
      std::memcpy(&b, best + l, sizeof b);
      for (int k = 0; k < 4; ++k) {
        std::memcpy(&v, ch[k] + l, sizeof v);
        b = v > b ? v : b;
      }
      std::memcpy(best + l, &b, sizeof b);
    }
    for (; l < len; ++l) {
      float b = best[l];
      for (int k = 0; k < 4; ++k) b = ch[k][l] > b ? ch[k][l] : b;
      best[l] = b;
    }
  }
  for (; c < count; ++c) {
    const float* ch = block + (first + c) * anchors + a0;
    for (std::uint64_t l = 0; l < len; ++l) best[l] = ch[l] > best[l] ? ch[l] : best[l];
  }
}

}  // namespace corvane::postprocess::yolov8
