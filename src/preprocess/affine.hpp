// Top-down affine crops of person boxes, the input that pose models such as
// RTMPose are trained on: each box is enlarged by a quarter, fixed to the
// aspect of the model input and warped without rotation so that its centre
// lands on the centre of the input. Samples are bilinear with the pixels
// outside the frame taken as 0, rounded to a byte, then normalised with the
// ImageNet statistics of each colour (plane 0 red, from byte 2).
//
// The arithmetic, in this order, for a crop (cx, cy, sw, sh) of a W x H input
// and an h x w frame (double unless marked float32):
//   k = W / sw; tx = W * 0.5 - cx * k; ty = H * 0.5 - cy * k   (frame -> input)
//   D = 1 / (k * k); a = k * D; bx = -(a * tx); by = -(a * ty)   (input -> frame,
//       the general inverse of a 2x3 affine map with its zero terms dropped)
//   sx = a * x + bx for input column x, sy = a * y + by for input row y
//   x0 = floor(sx), fx = float32(sx - x0); y0 and fy likewise
//   p00..p11 = the bytes at (x0 | x0 + 1, y0 | y0 + 1), 0 outside the frame
//   r0 = fma(fx, p01 - p00, p00); r1 = fma(fx, p11 - p10, p10);
//   v = fma(fy, r1 - r0, r0)   (float32, each fma rounded once)
//   byte = v rounded half to even; value = (float32(byte) - mean) / std, the
//       true quotient (computed without a division, see detail::normalised)
// This is byte for byte what cv2.warpAffine (OpenCV 5.1, 8-bit, INTER_LINEAR,
// constant border 0) makes of the forward matrix [[k, 0, tx], [0, k, ty]].
#pragma once

#include "core/records.hpp"
#include "core/simd.hpp"
#include "preprocess/letterbox.hpp"

#include <cmath>
#include <cstdint>
#include <span>

namespace corvane::preprocess {

// Crops written one after another, each three planes of height x width.
struct CropPlanes {
  std::span<float> values;
  std::uint64_t height;
  std::uint64_t width;
};

// The region of `box` that fills a width x height input: centre
// ((x1 + x2) * 0.5, (y1 + y2) * 0.5), size ((x2 - x1) * 1.25, (y2 - y1) * 1.25),
// then the side that is short for the aspect ar = width / height lengthened:
// (sw, sw / ar) when sw > sh * ar, else (sh * ar, sh).
AffineCrop affine_crop(const CropBox& box, std::uint64_t width, std::uint64_t height) noexcept;

// Frame position of input pixel (x, y): (a * x + bx, a * y + by).
struct FrameMap {
  double a;
  double bx;
  double by;
};

FrameMap frame_map(const AffineCrop& crop, std::uint64_t width, std::uint64_t height) noexcept;

// A map that every input pixel can be sent through: a finite scale above 0
// and finite offsets.
bool usable(const FrameMap& map) noexcept;

// Writes the whole of crop i into image i of `dst` for every crop. Panics,
// before writing, when a buffer is shorter than its shape or a crop's map is
// not usable. `byte_permutes` takes the frame's bytes into lanes with byte
// permutes; it must be false where simd::byte_permutes() is. Both ways give
// the same bits (the tests run both).
void affine_crops(const Image& frame, std::span<const AffineCrop> crops, const CropPlanes& dst,
                  bool byte_permutes = simd::byte_permutes());

namespace detail {

// (byte - mean) / stddev without a division: the product with rcp = 1 /
// stddev, corrected once by its residual. For the ImageNet statistics this is
// the quotient itself, bit for bit, for every byte of every plane (a test
// checks all of them); a division per value would cost more than the rest of
// the arithmetic.
CORVANE_INLINE float normalised(float byte, float mean, float stddev, float rcp) noexcept {
  const float d = byte - mean;
  const float q = d * rcp;
  return std::fma(std::fma(-q, stddev, d), rcp, q);
}

}  // namespace detail
}  // namespace corvane::preprocess
