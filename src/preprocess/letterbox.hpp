// The letterbox shared by every preprocessing function: an interleaved 8-bit
// 3-channel image fitted into three float32 planes, aspect preserved,
// nearest-neighbour sampled, centred, channels reversed. The variants differ
// only in the margin of the fit and in the value each byte becomes, which
// they hand over as a mean and a divisor per output plane.
#pragma once

#include "core/records.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::preprocess {

// Rows x columns pixels of 3 bytes each, row-major.
struct Image {
  std::span<const std::uint8_t> pixels;
  std::uint64_t height;
  std::uint64_t width;
};

// Three consecutive planes of height x width values each, row-major.
struct Planes {
  std::span<float> values;
  std::uint64_t height;
  std::uint64_t width;
};

// What byte b of the source channel feeding output plane c (channel 2 - c)
// becomes: (float(b) - mean[c]) / stddev[c], one float32 subtraction and one
// true division. The kernel computes it per value, which gives exactly the
// bits a table of the 256 quotients would hold.
struct PlaneValues {
  std::array<float, 3> mean;  // by output plane
  std::array<float, 3> stddev;

  float operator()(std::size_t plane, std::uint8_t byte) const noexcept {
    return (static_cast<float>(byte) - mean[plane]) / stddev[plane];
  }
};

// float -> u64 rounding toward zero; negatives and NaN give 0, values beyond
// the range give 2^64 - 1.
std::uint64_t saturating_u64(float v) noexcept;

// round-half-away(padding_rate * float(extent)), saturated to u64.
std::uint64_t margin(float padding_rate, std::uint64_t extent) noexcept;

// The fit of a src_w x src_h image enlarged by margin_w columns on the left
// and right and margin_h rows on top and bottom into dst_w x dst_h. The
// enlarged size saturates, so an unbounded margin leaves an empty image
// rather than a wrapped one; new_w/new_h never exceed the destination,
// which float rounding of extents above 2^24 could otherwise cause.
Letterbox fit(std::uint64_t src_w, std::uint64_t src_h, std::uint64_t dst_w, std::uint64_t dst_h,
              std::uint64_t margin_w = 0, std::uint64_t margin_h = 0) noexcept;

// The source row/column sampled by destination index i: floor(ratio * i) in
// float32, kept inside an extent of `extent` (>= 1) for the same reason.
std::uint64_t sample_index(float ratio, std::uint64_t i, std::uint64_t extent) noexcept;

// Panics unless `src` holds height x width x 3 bytes and `dst` three planes
// of height x width values (sizes that overflow count as too long); returns
// the image's byte count.
std::uint64_t check_buffers(const Image& src, const Planes& dst);

// Writes the image area of `dst` and nothing else. `box` must come from
// `fit` for these sizes. Panics (before writing) if either buffer is shorter
// than its shape says.
void letterbox(const Image& src, const Planes& dst, const Letterbox& box,
               const PlaneValues& values);

}  // namespace corvane::preprocess
