// Letterbox geometry, per-plane statistics and the kernel against a literal
// per-pixel implementation (division per value, index math per pixel).
#include "core/panic.hpp"
#include "preprocess/letterbox.hpp"
#include "preprocess/values.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace pp = corvane::preprocess;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
// A NaN payload no computed value has, to see which cells were written.
const float kSentinel = std::bit_cast<float>(0x7fc0dead);

struct Box {
  float ratio;
  std::uint64_t new_w, new_h, pad_x, pad_y;
};

void expect_box(const corvane::Letterbox& got, Box want) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got.ratio), std::bit_cast<std::uint32_t>(want.ratio));
  EXPECT_EQ(got.new_w, want.new_w);
  EXPECT_EQ(got.new_h, want.new_h);
  EXPECT_EQ(got.pad_x, want.pad_x);
  EXPECT_EQ(got.pad_y, want.pad_y);
}

// The letterbox written out literally, one division per value.
template <class Value>
void reference(const std::vector<std::uint8_t>& src, std::uint64_t h, std::uint64_t w,
               std::vector<float>& dst, std::uint64_t dh, std::uint64_t dw,
               const corvane::Letterbox& box, Value value) {
  const std::uint64_t plane = dh * dw;
  for (std::uint64_t a = 0; a < box.new_h; ++a)
    for (std::uint64_t i = 0; i < box.new_w; ++i) {
      const auto sy = static_cast<std::uint64_t>(box.ratio * static_cast<float>(a));
      const auto sx = static_cast<std::uint64_t>(box.ratio * static_cast<float>(i));
      ASSERT_LT(sy, h);
      ASSERT_LT(sx, w);
      const std::uint8_t* p = &src[(sy * w + sx) * 3];
      const std::uint64_t o = (a + box.pad_y) * dw + box.pad_x + i;
      dst[2 * plane + o] = value(0, p[0]);
      dst[plane + o] = value(1, p[1]);
      dst[o] = value(2, p[2]);
    }
}

void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k)
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want[k]))
        << "at " << k;
}

std::vector<std::uint8_t> random_image(std::uint64_t h, std::uint64_t w, std::mt19937& rng) {
  std::vector<std::uint8_t> v(h * w * 3);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

}  // namespace

TEST(PreprocessGeometry, SaturatingConversion) {
  EXPECT_EQ(pp::saturating_u64(kNan), 0u);
  EXPECT_EQ(pp::saturating_u64(-3.5f), 0u);
  EXPECT_EQ(pp::saturating_u64(-0.0f), 0u);
  EXPECT_EQ(pp::saturating_u64(0.999f), 0u);
  EXPECT_EQ(pp::saturating_u64(359.99f), 359u);
  EXPECT_EQ(pp::saturating_u64(0x1p63f), std::uint64_t{1} << 63);
  EXPECT_EQ(pp::saturating_u64(0x1p64f), kMax);
  EXPECT_EQ(pp::saturating_u64(kInf), kMax);
}

TEST(PreprocessGeometry, MarginRoundsHalfAwayAndSaturates) {
  EXPECT_EQ(pp::margin(0.25f, 2), 1u);  // 0.5 rounds up
  EXPECT_EQ(pp::margin(0.25f, 192), 48u);
  EXPECT_EQ(pp::margin(0.25f, 256), 64u);
  EXPECT_EQ(pp::margin(0.1f, 640), 64u);
  EXPECT_EQ(pp::margin(0.1f, 480), 48u);
  EXPECT_EQ(pp::margin(-0.25f, 100), 0u);
  EXPECT_EQ(pp::margin(kNan, 100), 0u);
  EXPECT_EQ(pp::margin(kInf, 100), kMax);
  EXPECT_EQ(pp::margin(1e30f, 100), kMax);
}

TEST(PreprocessGeometry, WorkedExamples) {
  expect_box(pp::fit(1280, 720, 640, 640), {2.0f, 640, 360, 0, 140});
  expect_box(pp::fit(720, 1280, 640, 640), {2.0f, 360, 640, 140, 0});
  expect_box(pp::fit(640, 640, 640, 640), {1.0f, 640, 640, 0, 0});
  expect_box(pp::fit(320, 240, 640, 640), {0.5f, 640, 480, 0, 80});
  // Odd remainder: the extra row goes below.
  const float r = 1001.0f / 640.0f;
  expect_box(pp::fit(1001, 500, 640, 640), {r, 640, static_cast<std::uint64_t>(500.0f / r), 0,
                                            (640 - static_cast<std::uint64_t>(500.0f / r)) >> 1});
  // rtmpose margins.
  expect_box(pp::fit(192, 256, 192, 256, 48, 64), {1.5f, 128, 170, 32, 43});
  expect_box(pp::fit(640, 480, 192, 256, 64, 48), {4.0f, 160, 120, 16, 68});
}

TEST(PreprocessGeometry, DegenerateSizes) {
  // Zero destination: infinite ratio, empty image.
  expect_box(pp::fit(10, 10, 0, 0), {kInf, 0, 0, 0, 0});
  // All zero: NaN ratio, empty image.
  const corvane::Letterbox nan = pp::fit(0, 0, 0, 0);
  EXPECT_TRUE(std::isnan(nan.ratio));
  EXPECT_EQ(nan.new_w + nan.new_h + nan.pad_x + nan.pad_y, 0u);
  // A NaN quotient gives way to the other one.
  expect_box(pp::fit(0, 10, 0, 20), {0.5f, 0, 20, 0, 0});
  // Empty source.
  expect_box(pp::fit(0, 0, 8, 6), {0.0f, 0, 0, 4, 3});
}

TEST(PreprocessGeometry, HugeMarginGivesEmptyImage) {
  for (std::uint64_t m : {kMax, kMax / 2, kMax / 2 + 1, kMax - 7}) {
    const corvane::Letterbox box = pp::fit(640, 480, 192, 256, m, m);
    EXPECT_EQ(box.new_w, 0u);
    EXPECT_EQ(box.new_h, 0u);
    EXPECT_EQ(box.pad_x, 96u);
    EXPECT_EQ(box.pad_y, 128u);
  }
}

TEST(PreprocessGeometry, HugeExtentsStayInside) {
  // float(2^24 + 3) rounds up to 2^24 + 4, so W / ratio truncates one past
  // the destination width without the clamp.
  const std::uint64_t n = (std::uint64_t{1} << 24) + 3;
  const corvane::Letterbox box = pp::fit(n, 1, n, 1);
  EXPECT_EQ(box.ratio, 1.0f);
  EXPECT_EQ(box.new_w, n);
  EXPECT_EQ(box.pad_x, 0u);
  // A sample index one past the source is clamped the same way.
  EXPECT_EQ(pp::sample_index(1.0f, n, n), n - 1);
  EXPECT_EQ(pp::sample_index(1.0f, n - 1, n), n - 1);
  EXPECT_EQ(pp::sample_index(2.0f, 7, 100), 14u);
  EXPECT_EQ(pp::sample_index(kInf, 3, 5), 4u);
}

TEST(PreprocessValues, StatisticsGiveTheDividedValues) {
  const pp::PlaneValues& det = pp::unit_values();
  const pp::PlaneValues& cls = pp::imagenet_values();
  const float mean[3] = {123.675f, 116.28f, 103.53f};  // by plane
  const float stddev[3] = {58.395f, 57.12f, 57.375f};
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t b = 0; b < 256; ++b) {
      volatile float x = static_cast<float>(b);  // keep the division at run time
      EXPECT_EQ(std::bit_cast<std::uint32_t>(det(c, static_cast<std::uint8_t>(b))),
                std::bit_cast<std::uint32_t>(x / 255.0f));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(cls(c, static_cast<std::uint8_t>(b))),
                std::bit_cast<std::uint32_t>((x - mean[c]) / stddev[c]));
    }
  EXPECT_EQ(det(0, 255), 1.0f);
  EXPECT_EQ(det(0, 0), 0.0f);
  EXPECT_EQ(cls(0, 0), -2.1179039f);
  EXPECT_EQ(cls(0, 255), 2.2489083f);
  EXPECT_EQ(cls(2, 255), 2.64f);
  // Statistics are indexed by source byte; byte k feeds plane 2 - k.
  const pp::PlaneValues sv = pp::mean_std_values({1.0f, 2.0f, 3.0f}, {0.0f, 4.0f, -8.0f});
  EXPECT_EQ(sv(1, 10), 2.0f);
  EXPECT_EQ(sv(0, 11), -1.0f);
  EXPECT_TRUE(std::isnan(sv(2, 1)));  // (1 - 1) / 0
  EXPECT_EQ(sv(2, 2), kInf);
}

// Random sizes, down- and upscaling, odd shapes: the kernel (values, column
// offsets, copied rows) equals the literal per-pixel formula bit for bit and
// writes nothing outside the image area.
TEST(PreprocessKernel, MatchesLiteralFormula) {
  std::mt19937 rng(7);
  const std::uint64_t sizes[][4] = {{1, 1, 1, 1},        {1, 1, 5, 3},         {2, 3, 7, 5},
                                    {720, 1280, 64, 64}, {5, 7, 64, 48},       {13, 3, 17, 29},
                                    {31, 47, 11, 13},    {240, 320, 640, 640}, {3, 200, 9, 9}};
  const pp::PlaneValues stats = pp::mean_std_values({10.5f, -3.0f, 200.0f}, {0.3f, 7.0f, 1e-3f});
  for (const auto& s : sizes) {
    const std::uint64_t h = s[0], w = s[1], dh = s[2], dw = s[3];
    SCOPED_TRACE(testing::Message() << h << "x" << w << " -> " << dh << "x" << dw);
    const std::vector<std::uint8_t> src = random_image(h, w, rng);
    const pp::Image image{src, h, w};

    std::vector<float> got(3 * dh * dw, kSentinel), want(got);
    const corvane::Letterbox box = pp::detector_input(image, pp::Planes{got, dh, dw});
    reference(src, h, w, want, dh, dw, box,
              [](int, std::uint8_t b) { return static_cast<float>(b) / 255.0f; });
    expect_same_bits(got, want);

    std::vector<float> got_c(3 * dh * dw, kSentinel), want_c(got_c);
    pp::classifier_input(image, pp::Planes{got_c, dh, dw});
    reference(src, h, w, want_c, dh, dw, box, [](int k, std::uint8_t b) {
      return (static_cast<float>(b) - pp::kImagenetMean[static_cast<std::size_t>(k)]) /
             pp::kImagenetStd[static_cast<std::size_t>(k)];
    });
    expect_same_bits(got_c, want_c);

    std::vector<float> got_s(3 * dh * dw, kSentinel), want_s(got_s);
    pp::letterbox(image, pp::Planes{got_s, dh, dw}, box, stats);
    reference(src, h, w, want_s, dh, dw, box, [&](int k, std::uint8_t b) {
      const float mean[3] = {10.5f, -3.0f, 200.0f}, sd[3] = {0.3f, 7.0f, 1e-3f};
      return (static_cast<float>(b) - mean[k]) / sd[k];
    });
    expect_same_bits(got_s, want_s);
  }
}

TEST(PreprocessKernel, RtmposeMargins) {
  std::mt19937 rng(3);
  const std::vector<std::uint8_t> src = random_image(256, 192, rng);
  std::vector<float> got(3 * 256 * 192, kSentinel), want(got);
  const corvane::Letterbox box = pp::pose_input({src, 256, 192}, {got, 256, 192}, 0.25f);
  expect_box(box, {1.5f, 128, 170, 32, 43});
  reference(src, 256, 192, want, 256, 192, box, [](int k, std::uint8_t b) {
    return (static_cast<float>(b) - pp::kImagenetMean[static_cast<std::size_t>(k)]) /
           pp::kImagenetStd[static_cast<std::size_t>(k)];
  });
  expect_same_bits(got, want);
  // An unbounded margin leaves the destination untouched.
  std::vector<float> untouched(3 * 256 * 192, kSentinel);
  const corvane::Letterbox empty = pp::pose_input({src, 256, 192}, {untouched, 256, 192}, kInf);
  EXPECT_EQ(empty.new_w, 0u);
  for (float v : untouched) ASSERT_EQ(std::bit_cast<std::uint32_t>(v), 0x7fc0deadu);
}

TEST(PreprocessKernel, ShortBuffersPanicBeforeWriting) {
  std::vector<std::uint8_t> src(4 * 5 * 3 - 1);
  std::vector<float> dst(3 * 8 * 8, kSentinel);
  EXPECT_THROW(pp::detector_input({src, 4, 5}, {dst, 8, 8}), corvane::Panic);
  std::vector<std::uint8_t> full(4 * 5 * 3);
  std::vector<float> short_dst(3 * 8 * 8 - 1, kSentinel);
  EXPECT_THROW(pp::detector_input({full, 4, 5}, {short_dst, 8, 8}), corvane::Panic);
  // Extents whose product overflows are refused, not wrapped.
  EXPECT_THROW(pp::detector_input({full, std::uint64_t{1} << 62, 8}, {dst, 8, 8}), corvane::Panic);
  // A box that does not fit the destination is refused.
  EXPECT_THROW(pp::letterbox({full, 4, 5}, {dst, 8, 8}, {1.0f, 5, 4, 4, 0}, pp::unit_values()),
               corvane::Panic);
  for (float v : dst) ASSERT_EQ(std::bit_cast<std::uint32_t>(v), 0x7fc0deadu);
}

TEST(PreprocessKernel, HugeExtentWritesInsideBuffers) {
  // One row of 2^24 + 3 pixels into one row as wide: float rounding would
  // put the image one column past the row without the clamps.
  const std::uint64_t n = (std::uint64_t{1} << 24) + 3;
  std::vector<std::uint8_t> src(n * 3);
  for (std::uint64_t i = 0; i < n; ++i) src[i * 3] = static_cast<std::uint8_t>(i);
  std::vector<float> dst(3 * n, kSentinel);
  const corvane::Letterbox box = pp::detector_input({src, 1, n}, {dst, 1, n});
  EXPECT_EQ(box.new_w, n);
  // Plane 2 takes byte 0; the last column samples the last pixel.
  EXPECT_EQ(dst[2 * n + n - 1], static_cast<float>(static_cast<std::uint8_t>(n - 1)) / 255.0f);
}
