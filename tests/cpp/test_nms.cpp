#include "nms/suppress.hpp"
#include "reference_nms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace corvane::nms {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The kernel's overlap and its suppression of one class (all candidates in
// class 0), beside the textbook forms of reference_nms.hpp.
float kernel_iou(const Detection& a, const Detection& b) {
  return iou_with_areas(a.x1, a.y1, a.x2, a.y2, box_area(a.x1, a.y1, a.x2, a.y2), b.x1, b.y1, b.x2,
                        b.y2, box_area(b.x1, b.y1, b.x2, b.y2));
}

std::vector<Detection> kernel_nms(std::vector<Detection> candidates, float t) {
  return suppress_candidates(std::move(candidates), t);
}

Detection box(float x1, float y1, float x2, float y2, float score, std::uint64_t index = 0,
              std::uint32_t cls = 0) {
  return {x1, y1, x2, y2, cls, score, index};
}

void expect_same(const std::vector<Detection>& got, const std::vector<Detection>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].index, want[k].index) << k;
    EXPECT_EQ(got[k].class_id, want[k].class_id) << k;
    EXPECT_EQ(bits(got[k].score), bits(want[k].score)) << k;
    EXPECT_EQ(bits(got[k].x1), bits(want[k].x1)) << k;
    EXPECT_EQ(bits(got[k].y2), bits(want[k].y2)) << k;
  }
}

TEST(Nms, MinMaxMatchLibraryBitForBit) {
  std::vector<float> values = {
      0.0f, -0.0f, 1.0f, -1.0f, kInf, -kInf, kNaN, -kNaN, std::numeric_limits<float>::denorm_min(),
      2.5f};
  std::mt19937 rng(7);
  for (int k = 0; k < 200; ++k)
    values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
  for (float a : values)
    for (float b : values) {
      // Which zero fmin(0, -0) returns, and which NaN fmin(NaN, NaN) returns,
      // differs between libm and the compiler's inline expansion; neither the
      // sign of a zero nor a NaN payload can change an overlap decision.
      if (a == 0.0f && b == 0.0f) {
        EXPECT_EQ(min_num(a, b), 0.0f);
        EXPECT_EQ(max_num(a, b), 0.0f);
        continue;
      }
      if (std::isnan(a) && std::isnan(b)) {
        EXPECT_TRUE(std::isnan(min_num(a, b)) && std::isnan(max_num(a, b)));
        continue;
      }
      EXPECT_EQ(bits(min_num(a, b)), bits(std::fmin(a, b))) << a << " " << b;
      EXPECT_EQ(bits(max_num(a, b)), bits(std::fmax(a, b))) << a << " " << b;
    }
}

TEST(Nms, EpsilonIsNearestFloatToOneHundredThousandth) {
  EXPECT_EQ(bits(kUnionEpsilon), bits(1e-5f));
  EXPECT_EQ(bits(kUnionEpsilon), 0x3727C5ACu);
}

TEST(Nms, IouMatchesPlainFormulaOnSpecialAndRandomBoxes) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> coord(-5.0f, 20.0f);
  const float specials[] = {kNaN, kInf, -kInf, 0.0f, -0.0f};
  for (int k = 0; k < 20000; ++k) {
    Detection a = box(coord(rng), coord(rng), coord(rng), coord(rng), 1.0f);
    Detection b = box(coord(rng), coord(rng), coord(rng), coord(rng), 1.0f);
    if (k % 5 == 0) (&a.x1)[rng() % 4] = specials[rng() % 5];
    if (k % 7 == 0) (&b.x1)[rng() % 4] = specials[rng() % 5];
    EXPECT_EQ(bits(kernel_iou(a, b)), bits(reference::iou(a, b)));
  }
}

TEST(Nms, ThirdOverlapIsBelowNearestThird) {
  const Detection a = box(0, 0, 10, 10, 0.9f), b = box(5, 0, 15, 10, 0.8f, 1);
  EXPECT_EQ(kernel_iou(a, b), 0.33333331f);
  EXPECT_EQ(kernel_nms({a, b}, 1.0f / 3.0f).size(), 2u);
  EXPECT_EQ(kernel_nms({a, b}, std::nextafter(0.33333331f, 0.0f)).size(), 1u);
}

TEST(Nms, OverlapEqualToThresholdKeepsBoth) {
  const Detection a = box(0, 0, 10, 10, 0.9f), b = box(2, 0, 12, 10, 0.5f, 1);
  const float t = kernel_iou(a, b);
  EXPECT_EQ(kernel_nms({a, b}, t).size(), 2u);
  EXPECT_EQ(kernel_nms({a, b}, std::nextafter(t, 0.0f)).size(), 1u);
}

TEST(Nms, DisjointAndTouchingBoxesSurviveThresholdZero) {
  const auto out = kernel_nms(
      {box(0, 0, 10, 10, 0.9f), box(10, 0, 20, 10, 0.8f, 1), box(30, 30, 40, 40, 0.7f, 2)}, 0.0f);
  EXPECT_EQ(out.size(), 3u);
}

TEST(Nms, NegativeOrNaNThresholdKeepsOnlyTheBest) {
  for (float t : {-0.5f, kNaN}) {
    const auto out = kernel_nms(
        {box(0, 0, 1, 1, 0.2f, 0), box(50, 50, 60, 60, 0.9f, 1), box(100, 0, 110, 5, 0.4f, 2)}, t);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].index, 1u);
  }
}

TEST(Nms, IdenticalBoxesKeepTheEarlierOne) {
  const Detection a = box(1, 1, 5, 5, 0.5f, 3), b = box(1, 1, 5, 5, 0.5f, 8);
  auto out = kernel_nms({a, b}, 0.5f);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].index, 3u);
  // A / (A + eps) is never above 1.
  EXPECT_EQ(kernel_nms({a, b}, 1.0f).size(), 2u);
  EXPECT_LE(kernel_iou(a, b), 1.0f);
  const Detection big = box(0, 0, 1000, 1000, 1.0f);
  EXPECT_EQ(kernel_iou(big, big), 1.0f);
}

TEST(Nms, NaNCoordinateIsSuppressedOrSuppresses) {
  const Detection nan_box = box(kNaN, 0, 10, 10, 0.9f, 0);
  const Detection far = box(100, 100, 110, 110, 0.5f, 1);
  const Detection other = box(200, 200, 210, 210, 0.4f, 2);
  auto out = kernel_nms({nan_box, far, other}, 0.5f);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].index, 0u);
  const Detection low_nan = box(0, kNaN, 10, 10, 0.1f, 3);
  out = kernel_nms({far, low_nan, other}, 0.5f);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].index, 1u);
  EXPECT_EQ(out[1].index, 2u);
}

TEST(Nms, SingleCandidateUnchangedAndEmptyStaysEmpty) {
  const Detection a = box(kNaN, -3, -7, kInf, 0.0f, 42, 9);
  const auto out = kernel_nms({a}, kNaN);
  ASSERT_EQ(out.size(), 1u);
  expect_same(out, {a});
  EXPECT_TRUE(kernel_nms({}, 0.5f).empty());
}

TEST(Nms, ClassesNeverSuppressEachOtherAndJoinInClassOrder) {
  std::vector<std::vector<Detection>> buckets(3);
  buckets[0] = {box(0, 0, 10, 10, 0.3f, 4, 0)};
  buckets[2] = {box(0, 0, 10, 10, 0.9f, 1, 2), box(0, 0, 10, 10, 0.8f, 2, 2)};
  buckets[1] = {box(0, 0, 10, 10, 0.5f, 0, 1)};
  std::vector<Detection> flat = {buckets[1][0], buckets[2][0], buckets[2][1], buckets[0][0]};
  std::sort(flat.begin(), flat.end(),
            [](const Detection& a, const Detection& b) { return a.index < b.index; });
  const auto by_buckets = reference::suppress_by_class(buckets, 0.5f);
  ASSERT_EQ(by_buckets.size(), 3u);
  EXPECT_EQ(by_buckets[0].class_id, 0u);
  EXPECT_EQ(by_buckets[1].class_id, 1u);
  EXPECT_EQ(by_buckets[2].index, 1u);
  expect_same(suppress_candidates(flat, 0.5f), by_buckets);
}

// Clusters of jittered boxes with many equal scores, NaN and infinite values.
std::vector<Detection> random_candidates(std::mt19937& rng, std::size_t n, std::uint32_t classes) {
  std::uniform_real_distribution<float> centre(0.0f, 100.0f), size(1.0f, 30.0f), jitter(-3, 3);
  std::uniform_int_distribution<int> level(0, 8);
  std::vector<Detection> out;
  float cx = 50, cy = 50;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 6 == 0) cx = centre(rng), cy = centre(rng);
    const float w = size(rng), h = size(rng), x = cx + jitter(rng), y = cy + jitter(rng);
    Detection d =
        box(x - w / 2, y - h / 2, x + w / 2, y + h / 2, static_cast<float>(level(rng)) * 0.125f, i,
            static_cast<std::uint32_t>(rng() % classes));
    if (rng() % 50 == 0) (&d.x1)[rng() % 4] = (rng() % 2) ? kNaN : kInf;
    out.push_back(d);
  }
  return out;
}

TEST(Nms, MatchesTextbookFormOnRandomCandidates) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t classes = 1 + rng() % 4;
    // Some images large enough that a class keeps whole groups of boxes and
    // that its classes are suppressed in parallel.
    const auto all = random_candidates(rng, round % 10 ? rng() % 60 : 200 + rng() % 400, classes);
    const float t = std::array{0.0f, 0.3f, 0.45f, 0.7f, 1.0f, -1.0f}[rng() % 6];
    std::vector<std::vector<Detection>> buckets(classes);
    for (const auto& d : all) buckets[d.class_id].push_back(d);
    expect_same(suppress_candidates(all, t), reference::suppress_by_class(buckets, t));
  }
}

TEST(Nms, ScoreKeyOrdersLikeGreaterThan) {
  const float scores[] = {-kInf, -1.0f, -0.0f, 0.0f, 1e-30f, 0.5f, 1.0f, kInf};
  for (float a : scores)
    for (float b : scores) {
      const auto ka = detail::descending_score_key(a), kb = detail::descending_score_key(b);
      EXPECT_EQ(a > b, ka < kb) << a << " " << b;
      EXPECT_EQ(a == b, ka == kb) << a << " " << b;
    }
}

}  // namespace
}  // namespace corvane::nms
