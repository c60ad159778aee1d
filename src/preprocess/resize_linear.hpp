// The letterbox of the common training pipelines: an interleaved BGR image
// resized with 8-bit bilinear interpolation in OpenCV's fixed-point
// arithmetic, centred in three float32 planes (R, G, B) of byte / 255, and
// the margins filled with one padding byte. Unlike the nearest-neighbour
// letterbox it writes every value of the destination.
#pragma once

#include "core/records.hpp"
#include "core/simd.hpp"
#include "preprocess/letterbox.hpp"

#include <cstdint>

namespace corvane::preprocess {

// The fit, in double: r = min(dst_h / src_h, dst_w / src_w); the image
// becomes round(src * r) pixels (halves to even) and lands at
// round(margin / 2 - 0.1), so an odd margin leaves its extra pixel right and
// below. `ratio` is 1 / r rounded to float32. A size that rounds to 0 comes
// back as 0; the caller refuses it.
Letterbox linear_fit(std::uint64_t src_w, std::uint64_t src_h, std::uint64_t dst_w,
                     std::uint64_t dst_h) noexcept;

// How a row's horizontal sums are made where the processor has byte
// permutes and the weights are general: kept, each source row's sums made
// once and kept while destination rows read them, or direct, each
// destination row making both its source rows' sums in registers. kAuto
// takes direct where keeping two rows of sums would fill half the L1 data
// cache or more and the height is not upscaled (each source row is then
// read by two destination rows at most); the tests take each way on any
// size.
enum class RowSums { kAuto, kKept, kDirect };

// Writes all of `dst`: the image area from `src` as `box` (from linear_fit,
// new_w and new_h >= 1) places it, everything else float(pad) / 255. Panics
// before writing if a buffer is shorter than its shape or the box does not
// fit. `byte_permutes` resamples rows with byte permutes; it must be false
// where simd::byte_permutes() is. All ways give the same bytes (the tests
// run them all).
void letterbox_linear(const Image& src, const Planes& dst, const Letterbox& box, std::uint8_t pad,
                      bool byte_permutes = simd::byte_permutes(), RowSums sums = RowSums::kAuto);

}  // namespace corvane::preprocess
