// The plain value records that kernels produce and the Python layer converts:
// one header, so that every result shape is seen at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace corvane {

// Where a letterboxed image lands: `ratio` source pixels per destination
// pixel, a `new_w` x `new_h` image whose top-left corner is at (`pad_x`,
// `pad_y`).
struct Letterbox {
  float ratio;
  std::uint64_t new_w;
  std::uint64_t new_h;
  std::uint64_t pad_x;
  std::uint64_t pad_y;
};

// Letterbox geometry answered without touching arrays: the ratio and the
// resized size, or the ratio and the four paddings, in 32-bit signed ints.
struct AutoResize {
  float ratio;
  std::int32_t new_w;
  std::int32_t new_h;
};

struct Padding {
  float ratio;
  std::int32_t left;
  std::int32_t top;
  std::int32_t right;
  std::int32_t bottom;
};

// A box decoder's survivor, box in model-input units (corners).
struct Detection {
  float x1;
  float y1;
  float x2;
  float y2;
  std::uint32_t class_id;
  float score;
  // Row (YOLOv5) or anchor (YOLOv8) of the candidate within its image.
  std::uint64_t index;
};

// An oriented-box decoder's survivor: centre, size and angle (radians) in
// model-input units, the angle regularised into [0, pi/2] with w and h
// swapped where that turned the box by a quarter.
struct OrientedDetection {
  float cx;
  float cy;
  float w;
  float h;
  float angle;
  std::uint32_t class_id;
  float score;
  std::uint64_t index;  // anchor of the candidate within its image
};

// The choice of a property group none of whose values is above 0.
inline constexpr std::uint64_t kNoChoice = std::numeric_limits<std::uint64_t>::max();

struct PropertyValue {
  std::uint64_t choice;  // position of the winning channel within its group
  float score;           // its value; 0 with kNoChoice
};

// A detection that also carries, for each property group of the model
// output, the winning channel of the group and its value. It owns its
// property list: moving a record (as sorting does) moves the list, copying
// copies it, so no two records ever share one. The properties never take
// part in suppression (the decoder reads them for the survivors only). Its
// leading fields repeat Detection's on purpose: suppression is generic in
// the record and reads them by name.
struct PropertyDetection {
  float x1;
  float y1;
  float x2;
  float y2;
  std::uint32_t class_id;
  float score;
  std::vector<PropertyValue> properties;
};

struct Keypoint {
  float x;
  float y;
  float score;
};

inline constexpr std::size_t kKeypointCount = 17;

// A pose head's survivor: its detection and its keypoints in channel order,
// in model-input units like the box, each with the model's visibility as
// its score. The keypoints take no part in suppression.
struct PoseDetection {
  Detection detection;
  std::vector<Keypoint> keypoints;
};

// A crop's letterbox: source pixels per model-input pixel, and the
// model-input columns left of and rows above the image.
struct ScalePad {
  float ratio;
  std::uint32_t pad_x;
  std::uint32_t pad_y;
};

// A detection's box in model-input units and the anchor its mask
// coefficients belong to.
struct MaskBox {
  float x1;
  float y1;
  float x2;
  float y2;
  std::uint64_t index;
};

// Model-input size and the letterbox that maps source pixels into it.
struct MaskGeometry {
  std::uint64_t in_w;
  std::uint64_t in_h;
  float ratio;
  std::uint32_t pad_x;
  std::uint32_t pad_y;
};

// One compare-and-exchange attempt on a shared word from the value just read:
// `value` is that old value when `ok`, else what the exchange found instead.
struct Exchange {
  bool ok;
  std::uint32_t value;
};

// A person box in frame pixels (corners), as a detector reports it.
struct CropBox {
  double x1;
  double y1;
  double x2;
  double y2;
};

// Where an affine crop was taken from: the centre and the size, in frame
// pixels, of the region that fills the model input.
struct AffineCrop {
  double cx;
  double cy;
  double sw;
  double sh;
};

}  // namespace corvane
