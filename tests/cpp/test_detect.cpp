#include "core/panic.hpp"
#include "postprocess/class_sweep.hpp"
#include "postprocess/yolov5.hpp"
#include "postprocess/yolov8.hpp"
#include "postprocess/yolov8_pose.hpp"
#include "reference_nms.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace corvane::postprocess {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Per-row / per-anchor decoders written straight from the definition, with a
// bucket per class, suppressed bucket by bucket.
std::vector<Detection> plain_yolov5(const float* block, std::uint64_t n, std::uint64_t k, float iou,
                                    float conf) {
  std::vector<std::vector<Detection>> buckets(k - 5);
  for (std::uint64_t i = 0; i < n; ++i) {
    const float* row = block + i * k;
    const float obj = row[4];
    if (conf > obj) continue;
    float best = 0;
    std::uint32_t cls = 0;
    for (std::uint64_t j = 0; j + 5 < k; ++j)
      if (row[5 + j] * obj > best) best = row[5 + j] * obj, cls = static_cast<std::uint32_t>(j);
    if (conf > best) continue;
    const float hw = row[2] * 0.5f, hh = row[3] * 0.5f;
    buckets.at(cls).push_back({row[0] - hw, row[1] - hh, row[0] + hw, row[1] + hh, cls, best, i});
  }
  return reference::suppress_by_class(std::move(buckets), iou);
}

std::vector<Detection> plain_yolov8(const float* block, std::uint64_t n, std::uint64_t e, float iou,
                                    float conf) {
  std::vector<std::vector<Detection>> buckets(e - 4);
  for (std::uint64_t i = 0; i < n; ++i) {
    float best = 0;
    std::uint32_t cls = 0;
    for (std::uint64_t j = 0; j + 4 < e; ++j)
      if (block[(4 + j) * n + i] > best)
        best = block[(4 + j) * n + i], cls = static_cast<std::uint32_t>(j);
    if (conf > best) continue;
    const float hw = block[2 * n + i] * 0.5f, hh = block[3 * n + i] * 0.5f;
    const float cx = block[i], cy = block[n + i];
    buckets.at(cls).push_back({cx - hw, cy - hh, cx + hw, cy + hh, cls, best, i});
  }
  return reference::suppress_by_class(std::move(buckets), iou);
}

void expect_same(const std::vector<Detection>& got, const std::vector<Detection>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].index, want[k].index);
    EXPECT_EQ(got[k].class_id, want[k].class_id);
    EXPECT_EQ(bits(got[k].score), bits(want[k].score));
    EXPECT_EQ(bits(got[k].x1), bits(want[k].x1));
    EXPECT_EQ(bits(got[k].y1), bits(want[k].y1));
    EXPECT_EQ(bits(got[k].x2), bits(want[k].x2));
    EXPECT_EQ(bits(got[k].y2), bits(want[k].y2));
  }
}

// Scores drawn from a few levels (ties), boxes clustered, some NaN and inf.
std::vector<float> random_values(std::mt19937& rng, std::size_t count) {
  std::uniform_int_distribution<int> level(-2, 8);
  std::vector<float> v(count);
  for (auto& x : v) {
    x = static_cast<float>(level(rng)) * 0.125f;
    const auto r = rng() % 200;
    if (r == 0) x = kNaN;
    if (r == 1) x = kInf;
    if (r == 2) x = -0.0f;
  }
  return v;
}

void fill_boxes_yolov8(std::vector<float>& v, std::uint64_t b, std::uint64_t k, std::uint64_t n,
                       std::mt19937& rng) {
  std::uniform_real_distribution<float> pos(0, 64), size(-2, 24);
  for (std::uint64_t img = 0; img < b; ++img)
    for (std::uint64_t i = 0; i < n; ++i)
      for (std::uint64_t c = 0; c < 4; ++c)
        v[img * k * n + c * n + i] = c < 2 ? pos(rng) : size(rng);
}

TEST(Yolov8Sweep, EqualsPerAnchorRunningMaximum) {
  std::mt19937 rng(13);
  const float values[] = {0.0f, -0.0f, 0.5f,  0.5f,  1.0f, -1.0f, kNaN, kInf, -kInf, 1e-30f,
                          2.0f, -0.5f, 0.25f, -2.0f, 0.0f, -0.0f, 0.1f, 0.2f, kNaN,  -1.0f};
  for (int round = 0; round < 500; ++round) {
    const std::uint64_t anchors = 1 + rng() % 300, first = rng() % 3, count = rng() % 41;
    const std::uint64_t a0 = rng() % anchors, len = 1 + rng() % (anchors - a0);
    std::vector<float> block((first + count) * anchors);
    for (auto& x : block) x = values[rng() % std::size(values)];
    // Thresholds that let almost nothing, some or everything pass, so both the
    // class lookup of the few passing anchors and the tracked sweep are used.
    const float conf =
        std::array{3.0f, 1.5f, 0.75f, 0.0f, kNaN}[static_cast<std::size_t>(round % 5)];
    std::vector<float> best(len);
    std::vector<std::uint32_t> cls(len), passing(len);
    const std::uint64_t listed =
        channel_maxima_and_classes(block.data(), anchors, first, count, a0, len, conf, best.data(),
                                   cls.data(), passing.data());
    std::uint64_t want_listed = 0;
    for (std::uint64_t l = 0; l < len; ++l) {
      float want = 0.0f;
      std::uint32_t want_cls = 0;
      for (std::uint64_t c = 0; c < count; ++c) {
        const float v = block[(first + c) * anchors + a0 + l];
        if (v > want) want = v, want_cls = static_cast<std::uint32_t>(c);
      }
      ASSERT_EQ(bits(best[l]), bits(want));
      if (!(conf > want)) {
        ASSERT_EQ(cls[l], want_cls);
        ASSERT_LT(want_listed, listed);
        ASSERT_EQ(passing[want_listed++], l);
      }
    }
    ASSERT_EQ(listed, want_listed);
  }
}

TEST(Yolov8Decode, MatchesPerAnchorScanForAnySizeAndThreshold) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    const std::uint64_t b = 1 + rng() % 3, k = 4 + rng() % 23, n = rng() % 2600;
    const std::uint64_t vec_dims = round % 2 ? rng() % (k - 3) : 0;
    auto v = random_values(rng, b * k * n);
    fill_boxes_yolov8(v, b, k, n, rng);
    const float conf = std::array{0.5f, 0.625f, 0.0f, kNaN, 1.0f}[rng() % 5];
    const float iou = std::array{0.45f, 0.0f, 1.0f}[rng() % 3];
    if (k - vec_dims == 4 && !(conf > 0.0f) && n > 0) continue;  // no bucket: a panic case
    const auto got = yolov8::decode_yolov8_batch(v, b, k, n, iou, conf, vec_dims);
    ASSERT_EQ(got.size(), b);
    for (std::uint64_t img = 0; img < b; ++img)
      expect_same(got[img], plain_yolov8(v.data() + img * k * n, n, k - vec_dims, iou, conf));
  }
}

TEST(Yolov5Decode, MatchesPerRowScanForAnySizeAndThreshold) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> pos(0, 64), size(-2, 24);
  for (int round = 0; round < 40; ++round) {
    const std::uint64_t b = 1 + rng() % 3, k = 6 + rng() % 20, n = rng() % 2600;
    auto v = random_values(rng, b * k * n);
    for (std::uint64_t r = 0; r < b * n; ++r)
      for (std::uint64_t c = 0; c < 4; ++c) v[r * k + c] = c < 2 ? pos(rng) : size(rng);
    const float conf = std::array{0.25f, 0.5f, 0.0f, kNaN}[rng() % 4];
    const auto got = yolov5::decode_yolov5_batch(v, b, n, k, 0.45f, conf);
    ASSERT_EQ(got.size(), b);
    for (std::uint64_t img = 0; img < b; ++img)
      expect_same(got[img], plain_yolov5(v.data() + img * k * n, n, k, 0.45f, conf));
  }
}

template <class F>
std::string panic_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.message();
  }
  return "no panic";
}

TEST(DetectFailures, NegativeClassCountIsCapacityOverflowBeforeAnyRead) {
  const std::vector<float> none;
  const std::vector<float> some(3 * 7, 1.0f);
  EXPECT_EQ(panic_message([&] { yolov5::decode_yolov5_batch(some, 1, 7, 3, 0.5f, 0.5f); }),
            "capacity overflow");
  EXPECT_EQ(panic_message([&] { yolov5::decode_yolov5_batch(none, 2, 0, 4, 0.5f, 0.5f); }),
            "capacity overflow");
  EXPECT_EQ(panic_message([&] { yolov8::decode_yolov8_batch(some, 1, 3, 7, 0.5f, 0.5f); }),
            "capacity overflow");
  // 7 channels leave 3 for box and classes, whatever wraps in 64 bits.
  for (std::uint64_t vec_dims : {std::uint64_t{4}, std::uint64_t{7}, std::uint64_t{1} << 62,
                                 ~std::uint64_t{0} - 3, ~std::uint64_t{0}})
    EXPECT_EQ(
        panic_message([&] { yolov8::decode_yolov8_batch(some, 1, 7, 3, 0.5f, 0.5f, vec_dims); }),
        "capacity overflow");
  // No image, no decoder: nothing fails.
  EXPECT_TRUE(yolov8::decode_yolov8_batch(none, 0, 7, 3, 0.5f, 0.5f, ~std::uint64_t{0}).empty());
}

TEST(DetectFailures, PoseLayoutWithoutClassChannelFailsBeforeAnyRead) {
  // 4 + 3K channels (no class) or fewer, for a K whose 3K wraps in 64 bits too.
  const std::vector<float> some(10 * 3, 1.0f);
  for (std::uint64_t k :
       {std::uint64_t{2}, std::uint64_t{3}, (~std::uint64_t{0}) / 3 + 1, ~std::uint64_t{0}})
    EXPECT_EQ(panic_message([&] { yolov8_pose::decode_pose_batch(some, 1, 10, 3, k, 0.5f, kNaN); }),
              "capacity overflow");
  EXPECT_EQ(panic_message([&] { yolov8_pose::decode_pose_batch(some, 1, 4, 3, 0, 0.5f, kNaN); }),
            "capacity overflow");
  EXPECT_EQ(yolov8_pose::decode_pose_batch(some, 1, 10, 3, 1, 0.5f, kNaN).at(0).size(), 1u);
}

TEST(DetectFailures, PassingCandidateWithoutClassHasNoBucket) {
  const std::vector<float> rows(5 * 3, 0.0f);
  EXPECT_EQ(panic_message([&] { yolov5::decode_yolov5_batch(rows, 1, 3, 5, 0.5f, 0.0f); }),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_TRUE(yolov5::decode_yolov5_batch(rows, 1, 3, 5, 0.5f, 0.1f).at(0).empty());
  const std::vector<float> anchors(4 * 3000, 0.0f);
  EXPECT_EQ(panic_message([&] { yolov8::decode_yolov8_batch(anchors, 1, 4, 3000, 0.5f, kNaN); }),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_TRUE(yolov8::decode_yolov8_batch(anchors, 1, 4, 3000, 0.5f, 1e-9f).at(0).empty());
}

TEST(DetectFailures, BufferShorterThanBatchIsRangeEndOfFirstImage) {
  const std::vector<float> empty;
  EXPECT_EQ(panic_message([&] { yolov5::decode_yolov5_batch(empty, 2, 3, 85, 0.5f, 0.5f); }),
            "range end index 255 out of range for slice of length 0");
  EXPECT_EQ(panic_message([&] { yolov8::decode_yolov8_batch(empty, 3, 84, 10, 0.5f, 0.5f); }),
            "range end index 840 out of range for slice of length 0");
  EXPECT_EQ(panic_message([&] { yolov8::decode_yolov8_batch(empty, 1, 2, 10, 0.5f, 0.5f, 9); }),
            "range end index 20 out of range for slice of length 0");
  const std::vector<float> short_buffer(84 * 10 + 5, 0.0f);
  EXPECT_EQ(
      panic_message([&] { yolov8::decode_yolov8_batch(short_buffer, 2, 84, 10, 0.5f, 0.5f); }),
      "range end index 1680 out of range for slice of length 845");
}

}  // namespace
}  // namespace corvane::postprocess
