// The mask build against the plain per-pixel steps in float32: centre,
// clamped prototype coordinate, logits summed over m from 0.0, along x, then
// along y, then > 0. Every byte must match, and bytes outside the boxes keep
// what was there.
#include "postprocess/masks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace masks = corvane::postprocess::masks;
using corvane::MaskBox;
using corvane::MaskGeometry;

namespace {

constexpr std::uint8_t kUntouched = 0xAB;

struct Case {
  std::uint64_t channels, anchors, m, mh, mw, planes, height, width;
  std::vector<float> pred, protos;
  std::vector<MaskBox> boxes;
  MaskGeometry geometry;
};

struct Tap {
  std::size_t i0, i1;
  float high, low;
};

Tap tap(std::size_t u, float ratio, std::uint32_t pad, std::uint64_t extent, std::uint64_t input,
        float& centre) {
  centre = (static_cast<float>(u) + 0.5f) / ratio + static_cast<float>(pad);
  const float scale = static_cast<float>(extent) / static_cast<float>(input);
  const float p = std::min(std::max(centre * scale - 0.5f, 0.0f), static_cast<float>(extent - 1));
  const auto i0 = static_cast<std::size_t>(std::floor(p));
  const float low = p - std::floor(p);
  return {i0, std::min<std::size_t>(i0 + 1, extent - 1), 1.0f - low, low};
}

std::vector<std::uint8_t> reference(const Case& c) {
  std::vector<std::uint8_t> out(c.planes * c.height * c.width, kUntouched);
  const MaskGeometry& g = c.geometry;
  for (std::size_t d = 0; d < c.boxes.size(); ++d) {
    const MaskBox& box = c.boxes[d];
    const auto logit = [&](std::size_t y, std::size_t x) {
      float sum = 0.0f;
      for (std::size_t m = 0; m < c.m; ++m)
        sum = sum + c.pred[(c.channels - c.m + m) * c.anchors + box.index] *
                        c.protos[(m * c.mh + y) * c.mw + x];
      return sum;
    };
    for (std::size_t v = 0; v < c.height; ++v) {
      float cy, cx;
      const Tap ty = tap(v, g.ratio, g.pad_y, c.mh, g.in_h, cy);
      if (!(cy >= box.y1 && cy < box.y2)) continue;
      for (std::size_t u = 0; u < c.width; ++u) {
        const Tap tx = tap(u, g.ratio, g.pad_x, c.mw, g.in_w, cx);
        if (!(cx >= box.x1 && cx < box.x2)) continue;
        const float a = tx.high * logit(ty.i0, tx.i0) + tx.low * logit(ty.i0, tx.i1);
        const float b = tx.high * logit(ty.i1, tx.i0) + tx.low * logit(ty.i1, tx.i1);
        out[(d * c.height + v) * c.width + u] = ty.high * a + ty.low * b > 0.0f ? 1 : 0;
      }
    }
  }
  return out;
}

void expect_reference(const Case& c) {
  std::vector<std::uint8_t> got(c.planes * c.height * c.width, kUntouched);
  masks::build({c.pred, c.channels, c.anchors}, {c.protos, c.m, c.mh, c.mw}, c.boxes, c.geometry,
               {got, c.height, c.width});
  const std::vector<std::uint8_t> want = reference(c);
  for (std::size_t i = 0; i < want.size(); ++i)
    ASSERT_EQ(int{got[i]}, int{want[i]})
        << "byte " << i << " of " << c.planes << "x" << c.height << "x" << c.width << ", protos "
        << c.m << "x" << c.mh << "x" << c.mw;
}

// Values that settle whole chunks (one sign over a box), sit at the edges of
// the settled classes, or poison the interpolation.
float draw_value(std::mt19937& rng, int mode) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  static const float awkward[] = {0.0f,
                                  -0.0f,
                                  1e-40f,
                                  0x1p-149f,
                                  0x1p-100f,
                                  0x1p-101f,
                                  0x1p100f,
                                  0x1p101f,
                                  1.0f,
                                  -1.0f,
                                  kInf,
                                  -kInf,
                                  std::numeric_limits<float>::quiet_NaN()};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(awkward) - 1);
  std::normal_distribution<float> normal(mode == 2 ? 2.0f : 0.0f, 1.0f);
  if (mode == 1 && rng() % 2 == 0) return awkward[pick(rng)];
  return normal(rng);
}

Case random_case(std::mt19937& rng) {
  const auto in = [&](std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
  };
  const auto real = [&](float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
  };
  Case c;
  c.m = in(1, 6);
  c.channels = 4 + in(0, 2) + c.m;
  c.anchors = in(1, 9);
  c.mh = in(1, 24);
  c.mw = in(1, 40);
  c.height = in(1, 48);
  c.width = in(1, 160);
  c.geometry = {in(8, 96), in(8, 96), real(0.2f, 2.5f), static_cast<std::uint32_t>(in(0, 9)),
                static_cast<std::uint32_t>(in(0, 9))};
  const int mode = static_cast<int>(in(0, 2));
  c.pred.resize(c.channels * c.anchors);
  c.protos.resize(c.m * c.mh * c.mw);
  for (float& v : c.pred) v = draw_value(rng, mode);
  for (float& v : c.protos) v = draw_value(rng, mode);
  const std::size_t count = in(0, 4);
  for (std::size_t d = 0; d < count; ++d) {
    const float x = real(-10.0f, static_cast<float>(c.geometry.in_w));
    const float y = real(-10.0f, static_cast<float>(c.geometry.in_h));
    c.boxes.push_back({x, y, x + real(-2.0f, static_cast<float>(c.geometry.in_w)),
                       y + real(-2.0f, static_cast<float>(c.geometry.in_h)), in(0, c.anchors - 1)});
  }
  if (!c.boxes.empty() && in(0, 9) == 0) c.boxes[0].x2 = std::numeric_limits<float>::quiet_NaN();
  c.planes = c.boxes.size() + in(0, 1);
  return c;
}

TEST(Masks, MatchesPlainStepsOnRandomCases) {
  std::mt19937 rng(25);
  for (int rep = 0; rep < 400; ++rep) expect_reference(random_case(rng));
}

// Boxes whose rows of logits overflow one round, over a wide prototype grid
// whose taps lie too far apart for a run to pick them.
TEST(Masks, ManyWideBoxesTakeSeveralRounds) {
  std::mt19937 rng(7);
  Case c = random_case(rng);
  c.m = 2, c.channels = 6, c.anchors = 3, c.mh = 2, c.mw = 2048, c.height = 2, c.width = 64;
  c.geometry = {64, 2, 1.0f, 0, 0};
  c.pred.resize(c.channels * c.anchors);
  c.protos.resize(c.m * c.mh * c.mw);
  for (float& v : c.pred) v = draw_value(rng, 0);
  for (float& v : c.protos) v = draw_value(rng, 0);
  c.boxes.clear();
  for (std::uint64_t d = 0; d < 70; ++d) c.boxes.push_back({0.0f, 0.0f, 64.0f, 2.0f, d % 3});
  c.planes = c.boxes.size();
  expect_reference(c);
}

}  // namespace
