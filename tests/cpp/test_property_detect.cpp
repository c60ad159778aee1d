#include "core/records.hpp"
#include "nms/suppress.hpp"
#include "reference_nms.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace corvane::nms {
namespace {

PropertyDetection record(float x1, float score, std::uint32_t cls, std::uint64_t choice) {
  return {x1, 0.0f, x1 + 10.0f, 10.0f, cls, score, {{choice, 0.5f}, {kNoChoice, 0.0f}}};
}

TEST(PropertyDetection, CopiesNeverShareTheirList) {
  const PropertyDetection a = record(0, 0.9f, 0, 1);
  PropertyDetection b = a;
  EXPECT_NE(a.properties.data(), b.properties.data());
  b.properties[0].choice = 7;
  EXPECT_EQ(a.properties[0].choice, 1u);
}

TEST(PropertyDetection, SuppressionMovesSurvivorsWithTheirOwnLists) {
  std::vector<PropertyDetection> candidates = {record(0, 0.5f, 0, 1), record(0, 0.5f, 0, 2),
                                               record(100, 0.7f, 1, 3), record(1, 0.9f, 0, 4)};
  std::vector<const PropertyValue*> storage;
  for (const auto& c : candidates) storage.push_back(c.properties.data());
  const auto out = suppress_candidates(std::move(candidates), 0.5f);
  // Class 0: the 0.9 box suppresses both 0.5 boxes; class 1 keeps its box.
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].properties[0].choice, 4u);
  EXPECT_EQ(out[0].properties.data(), storage[3]);  // moved, not copied
  EXPECT_EQ(out[1].properties[0].choice, 3u);
  EXPECT_EQ(out[1].properties.data(), storage[2]);
  EXPECT_EQ(out[1].properties[1].choice, kNoChoice);
}

TEST(PropertyDetection, EqualScoresKeepTheEarlierRecordAndItsProperties) {
  std::vector<std::vector<PropertyDetection>> buckets(1);
  buckets[0] = {record(0, 0.5f, 0, 1), record(0, 0.5f, 0, 2)};
  const auto out = reference::suppress_by_class(std::move(buckets), 0.5f);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].properties[0].choice, 1u);
}

}  // namespace
}  // namespace corvane::nms
