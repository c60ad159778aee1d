#include "core/panic.hpp"
#include "postprocess/rtmpose.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace corvane::postprocess::rtmpose {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The plain running maximum the vectorised search must reproduce exactly.
Peak scalar_peak(std::span<const float> row) {
  Peak best{0, kPeakStart};
  for (std::size_t k = 0; k < row.size(); ++k)
    if (row[k] > best.value) best = {k, row[k]};
  return best;
}

// Every lane width, and the dispatching entry point.
std::vector<Peak (*)(std::span<const float>)> variants() {
  return {find_peak, detail::find_peak_portable, detail::find_peak_lanes<4>,
          detail::find_peak_lanes<8>, detail::find_peak_lanes<16>};
}

void expect_same_peak(const std::vector<float>& row) {
  const Peak want = scalar_peak(row);
  for (auto search : variants()) {
    const Peak got = search(row);
    ASSERT_EQ(got.index, want.index);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got.value), std::bit_cast<std::uint32_t>(want.value));
  }
}

TEST(RtmposePeak, MatchesScalarSearchOnAwkwardValues) {
  // Few distinct values make ties, signed zeros and all-NaN runs common;
  // lengths cover every tail of the 4- and 16-wide loops.
  const float pool[] = {kNaN,
                        -kInf,
                        kInf,
                        kPeakStart,
                        -0.0f,
                        0.0f,
                        1.0f,
                        1.0f,
                        -1.0f,
                        std::numeric_limits<float>::max(),
                        std::nextafter(kPeakStart, 0.0f)};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
  for (std::size_t n = 0; n <= 100; ++n)
    for (int rep = 0; rep < 200; ++rep) {
      std::vector<float> row(n);
      // Some rows draw from a narrower pool (only NaN/-inf/start/zeros).
      const std::size_t limit = rep % 3 == 0 ? 5 : std::size(pool) - 1;
      for (auto& v : row) v = pool[pick(rng) % (limit + 1)];
      expect_same_peak(row);
    }
}

TEST(RtmposePeak, MatchesScalarSearchOnRandomRows) {
  std::mt19937 rng(11);
  std::normal_distribution<float> value(0.0f, 1.0f);
  for (std::size_t n : {383u, 384u, 512u, 1000u})
    for (int rep = 0; rep < 50; ++rep) {
      std::vector<float> row(n);
      for (auto& v : row) v = value(rng);
      row[rng() % n] = kNaN;
      row[rng() % n] = row[rng() % n];  // a likely tie with some earlier or later value
      expect_same_peak(row);
    }
}

TEST(RtmposePeak, AllVariantsAreTested) {
#if defined(__x86_64__) || defined(__i386__)
  EXPECT_GE(variants().size(), 3u);
#endif
}

TEST(RtmposePeak, EdgeRows) {
  EXPECT_EQ(find_peak({}).index, 0u);
  EXPECT_EQ(find_peak({}).value, kPeakStart);
  std::vector<float> nan_row(40, kNaN);
  EXPECT_EQ(find_peak(nan_row).index, 0u);
  EXPECT_EQ(find_peak(nan_row).value, kPeakStart);
  std::vector<float> tail(37, -kInf);
  tail[36] = -1e38f;  // the peak sits in the scalar tail
  EXPECT_EQ(find_peak(tail).index, 36u);
  // -0.0 comes first, so it wins the tie with +0.0 and is returned as -0.0.
  std::vector<float> zeros(20, -1.0f);
  zeros[3] = -0.0f;
  zeros[17] = 0.0f;
  const Peak z = find_peak(zeros);
  EXPECT_EQ(z.index, 3u);
  EXPECT_TRUE(std::signbit(z.value));
  // The same tie where a packed maximum meets +0.0 (bin 8) before -0.0 (bin 1).
  std::vector<float> wide(40, -1.0f);
  wide[1] = -0.0f;
  wide[8] = 0.0f;
  expect_same_peak(wide);
}

// The Python tests cover decoding end to end; here only what Python cannot
// reach: a crop size that does not fit in 64 bits.
struct Output {
  std::vector<std::uint64_t> shape;
  std::vector<float> data;
  SimccOutput view() const { return {shape, data}; }
};

Output filled(std::vector<std::uint64_t> shape, std::size_t size, float v = -1.0f) {
  return {std::move(shape), std::vector<float>(size, v)};
}

std::string panic_message(const Output& x, const Output& y, const std::vector<ScalePad>& sp) {
  try {
    decode(x.view(), y.view(), sp);
  } catch (const Panic& p) {
    return p.message();
  }
  return "<no panic>";
}

TEST(RtmposeDecode, HugeDimensionsDoNotWrap) {
  // (i + 1) * K * W would wrap to 0 in 64 bits.
  const Output x = filled({1, 1ull << 32, 1ull << 32}, 0);
  EXPECT_EQ(panic_message(x, filled({1, 17, 1}, 17), {{1.0f, 0, 0}}),
            "attempt to multiply with overflow");
}

}  // namespace
}  // namespace corvane::postprocess::rtmpose
