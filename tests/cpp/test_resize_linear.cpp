// The bilinear letterbox resampled with byte permutes against the portable
// way, bit for bit.
#include "core/simd.hpp"
#include "preprocess/resize_linear.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace pp = corvane::preprocess;

// Sources from 1 to 400 pixels a side into destinations from 1 to 300:
// downscales to about 6x (windows that fit, and groups past them) and
// upscales, with the last source row read near the buffer's end, each with
// the sums kept and made directly. Every
// other trial is an exact downscale by 1 to 7 on both axes (one pixel or a
// 2x2 block per value), with its margin on either axis or none.
TEST(LetterboxLinear, BytePermutesGiveThePortableBits) {
  if (!corvane::simd::byte_permutes()) GTEST_SKIP() << "no byte permutes on this processor";
  std::mt19937 rng(11);
  for (int trial = 0; trial < 600; ++trial) {
    std::uint64_t h = 1 + rng() % 400, w = 1 + rng() % 400;
    std::uint64_t dh = 1 + rng() % 300, dw = 1 + rng() % 300;
    if (trial % 2 == 1) {
      const std::uint64_t factor = 1 + rng() % 7, margin = rng() % 3 * (rng() % 20);
      dh = 1 + rng() % 100;
      dw = 1 + rng() % 100;
      h = dh * factor;
      w = dw * factor;
      (trial % 4 == 1 ? dh : dw) += margin;
    }
    const corvane::Letterbox box = pp::linear_fit(w, h, dw, dh);
    if (box.new_w == 0 || box.new_h == 0) continue;
    std::vector<std::uint8_t> pixels(h * w * 3);
    for (auto& p : pixels) p = static_cast<std::uint8_t>(rng());
    std::vector<float> fast(3 * dh * dw), portable(fast.size());
    const pp::Image src{pixels, h, w};
    pp::letterbox_linear(src, {portable, dh, dw}, box, 114, false);
    for (const pp::RowSums sums : {pp::RowSums::kKept, pp::RowSums::kDirect}) {
      pp::letterbox_linear(src, {fast, dh, dw}, box, 114, true, sums);
      ASSERT_EQ(std::memcmp(fast.data(), portable.data(), fast.size() * sizeof(float)), 0)
          << "source " << h << "x" << w << ", destination " << dh << "x" << dw << ", sums "
          << (sums == pp::RowSums::kKept ? "kept" : "direct");
    }
  }
}
