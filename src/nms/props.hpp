// The property detection record: a detection that also carries, for each
// property group of the model output, the winning channel of the group and
// its value. Suppressed with the same generic class-wise NMS as Detection
// (detect.hpp); the properties ride along and never take part.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace corvane::nms {

// The choice of a group none of whose values is above 0.
inline constexpr std::uint64_t kNoChoice = std::numeric_limits<std::uint64_t>::max();

struct PropertyValue {
  std::uint64_t choice;  // position of the winning channel within its group
  float score;           // its value; 0 with kNoChoice
};

// Owns its property list: moving a record (as sorting does) moves the list,
// copying copies it, so no two records ever share one.
struct PropertyDetection {
  float x1;
  float y1;
  float x2;
  float y2;
  std::uint32_t class_id;
  float score;
  std::vector<PropertyValue> properties;
};

}  // namespace corvane::nms
