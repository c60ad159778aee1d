#include "core/panic.hpp"
#include "postprocess/rtmpose/simcc.hpp"

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

// Every variant this machine runs, and the dispatching entry point.
std::vector<Peak (*)(std::span<const float>)> variants() {
  std::vector<Peak (*)(std::span<const float>)> out{find_peak, detail::find_peak_portable};
#if defined(__x86_64__) || defined(__i386__)
  out.push_back(detail::find_peak_sse2);
  if (detail::avx_available()) out.push_back(detail::find_peak_avx);
#endif
  return out;
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
  const float pool[] = {kNaN, -kInf, kInf, kPeakStart, -0.0f, 0.0f, 1.0f, 1.0f, -1.0f,
                        std::numeric_limits<float>::max(), std::nextafter(kPeakStart, 0.0f)};
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

// A batch of `crops` crops with `rows` x `bins` per crop, every value -1
// except the peaks placed by the test.
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

TEST(RtmposeDecode, BinSevenWithPadAndRatio) {
  Output x = filled({1, 17, 10}, 170), y = filled({1, 17, 12}, 204);
  x.data[7] = 0.75f;    // keypoint 0: x peak at bin 7
  y.data[2] = 0.25f;    // keypoint 0: y peak at bin 2
  const auto out = decode(x.view(), y.view(), std::vector<ScalePad>{{2.0f, 3, 1}});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][0].x, 1.0f);  // (3.5 - 3) * 2
  EXPECT_EQ(out[0][0].y, 0.0f);  // (1.0 - 1) * 2
  EXPECT_EQ(out[0][0].score, 0.5f);
  // Rows of -1 everywhere else: bin 0, score -1.
  EXPECT_EQ(out[0][5].x, -6.0f);
  EXPECT_EQ(out[0][5].score, -1.0f);
}

TEST(RtmposeDecode, EmptyBatchNeverLooksAtShapes) {
  Output x = filled({5}, 5), y = filled({}, 1);
  EXPECT_TRUE(decode(x.view(), y.view(), {}).empty());
}

TEST(RtmposeDecode, ZeroBinsGiveOriginAndStartPeak) {
  Output x = filled({2, 17, 0}, 0), y = filled({2, 17, 0}, 0);
  const auto out = decode(x.view(), y.view(), std::vector<ScalePad>{{1.5f, 4, 2}, {1.5f, 4, 2}});
  ASSERT_EQ(out.size(), 2u);
  for (const auto& kp : out[1]) {
    EXPECT_EQ(kp.x, -6.0f);
    EXPECT_EQ(kp.y, -3.0f);
    EXPECT_EQ(kp.score, -kInf);
  }
}

TEST(RtmposeDecode, ShapePanicsInOrder) {
  const std::vector<ScalePad> one{{1.0f, 0, 0}};
  const Output good = filled({1, 17, 4}, 68);
  EXPECT_EQ(panic_message(filled({68}, 68), good, one),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(panic_message(filled({}, 1), good, one),
            "index out of bounds: the len is 0 but the index is 1");
  EXPECT_EQ(panic_message(filled({17, 4}, 68), good, one),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(panic_message(good, filled({17, 4}, 68), one),
            "index out of bounds: the len is 2 but the index is 2");
  // x's block before y's dimensions.
  EXPECT_EQ(panic_message(filled({1, 17, 5}, 68), filled({4}, 4), one),
            "range end index 85 out of range for slice of length 68");
  EXPECT_EQ(panic_message(good, filled({1, 17, 5}, 68), one),
            "range end index 85 out of range for slice of length 68");
  // Sixteen rows: row 16 is past the block.
  EXPECT_EQ(panic_message(filled({1, 16, 4}, 64), good, one),
            "range end index 68 out of range for slice of length 64");
  // Row j of x before row j of y, row j before row j + 1.
  EXPECT_EQ(panic_message(filled({1, 16, 4}, 64), filled({1, 16, 3}, 48), one),
            "range end index 68 out of range for slice of length 64");
  EXPECT_EQ(panic_message(filled({1, 16, 4}, 64), filled({1, 15, 3}, 45), one),
            "range end index 48 out of range for slice of length 45");
  EXPECT_EQ(panic_message(filled({1, 0, 4}, 0), good, one),
            "range end index 4 out of range for slice of length 0");
}

TEST(RtmposeDecode, LowestFailingCropSurfaces) {
  // Two crops of data, four requested: crop 2 is the first beyond the data.
  const Output x = filled({2, 17, 4}, 136), y = filled({2, 17, 4}, 136);
  EXPECT_EQ(panic_message(x, y, std::vector<ScalePad>(4, {1.0f, 0, 0})),
            "range end index 204 out of range for slice of length 136");
}

TEST(RtmposeDecode, HugeDimensionsDoNotWrap) {
  // (i + 1) * K * W would wrap to 0 in 64 bits.
  const Output x = filled({1, 1ull << 32, 1ull << 32}, 0);
  EXPECT_EQ(panic_message(x, filled({1, 17, 1}, 17), {{1.0f, 0, 0}}),
            "attempt to multiply with overflow");
}

TEST(RtmposeDecode, ExtraRowsAndTrailingDimensions) {
  // 20 rows per crop, a trailing dimension of 1, two crops of which one is read.
  Output x = filled({2, 20, 6, 1}, 240), y = filled({2, 20, 6, 1}, 240);
  x.data[16 * 6 + 5] = 2.0f;   // crop 0, keypoint 16, bin 5
  x.data[17 * 6 + 1] = 9.0f;   // keypoint row 17: ignored
  y.data[16 * 6 + 4] = 1.0f;
  const auto out = decode(x.view(), y.view(), std::vector<ScalePad>{{1.0f, 0, 0}});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][16].x, 2.5f);
  EXPECT_EQ(out[0][16].y, 2.0f);
  EXPECT_EQ(out[0][16].score, 1.5f);
}

}  // namespace
}  // namespace corvane::postprocess::rtmpose
