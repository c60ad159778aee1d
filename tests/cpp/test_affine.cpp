// The crop normalisation without a division against the quotient it stands
// for, for every byte of every plane; the crops taken with byte permutes
// against the portable way.
#include "core/simd.hpp"
#include "preprocess/affine.hpp"
#include "preprocess/values.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace pp = corvane::preprocess;

TEST(AffineCrops, NormalisedIsTheQuotientForEveryByte) {
  const pp::PlaneValues& values = pp::imagenet_values();
  for (std::size_t plane = 0; plane < 3; ++plane) {
    const float stddev = values.stddev[plane];
    for (unsigned byte = 0; byte < 256; ++byte) {
      const float got = pp::detail::normalised(static_cast<float>(byte), values.mean[plane], stddev,
                                               1.0f / stddev);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got),
                std::bit_cast<std::uint32_t>(values(plane, static_cast<std::uint8_t>(byte))))
          << "plane " << plane << " byte " << byte;
    }
  }
}

// Frames from 1 to 160 pixels a side and crops of boxes from a tenth to twice
// the frame, anywhere in and around it: windows that fit, groups that fall
// back, windows cut short by the frame's end.
TEST(AffineCrops, BytePermutesGiveThePortableBits) {
  if (!corvane::simd::byte_permutes()) GTEST_SKIP() << "no byte permutes on this processor";
  std::mt19937 rng(7);
  const auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint64_t h = 1 + rng() % 160, w = 1 + rng() % 160;
    const std::uint64_t height = 1 + rng() % 80, width = 1 + rng() % 80;
    std::vector<std::uint8_t> pixels(h * w * 3);
    for (auto& p : pixels) p = static_cast<std::uint8_t>(rng());
    std::vector<corvane::AffineCrop> crops;
    for (int k = 0; k < 3; ++k) {
      const double bw = uniform(0.1, 2.0) * static_cast<double>(w);
      const double bh = uniform(0.1, 2.0) * static_cast<double>(h);
      const double x1 = uniform(-0.5, 1.0) * static_cast<double>(w);
      const double y1 = uniform(-0.5, 1.0) * static_cast<double>(h);
      crops.push_back(pp::affine_crop({x1, y1, x1 + bw, y1 + bh}, width, height));
    }
    std::vector<float> fast(crops.size() * 3 * height * width);
    std::vector<float> portable(fast.size());
    const pp::Image frame{pixels, h, w};
    pp::affine_crops(frame, crops, {fast, height, width}, true);
    pp::affine_crops(frame, crops, {portable, height, width}, false);
    ASSERT_EQ(std::memcmp(fast.data(), portable.data(), fast.size() * sizeof(float)), 0)
        << "frame " << h << "x" << w << ", crops " << height << "x" << width;
  }
}
