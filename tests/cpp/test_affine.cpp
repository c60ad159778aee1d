// The crop normalisation without a division against the quotient it stands
// for, for every byte of every plane.
#include "preprocess/affine.hpp"
#include "preprocess/values.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

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
