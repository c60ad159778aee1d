// Planning of the mask build: where each box's pixels are, which prototype
// pixels their taps read, and how its columns group into runs and chunks.
// Plain index and float32 arithmetic, no vector code; the row kernels and the
// build read these records.
#pragma once

#include "core/simd.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::postprocess::masks {

// Along x, runs of eight output columns whose taps lie within eight
// consecutive logits of a row: one load and two lane permutations pick all
// sixteen taps. The logits are summed eight lanes at a time as well, and the
// pass along y takes sixteen pixels at a time. Every lane does the scalar
// float32 operations in the scalar order, so each instruction set gives the
// same bits.
inline constexpr std::size_t kRun = 8;
using simd::kLanes;

// The taps of the first source pixels along one axis, one array per quantity.
struct Axis {
  std::vector<std::size_t> i0;  // floor of the clamped proto coordinate
  std::vector<std::size_t> i1;  // min(i0 + 1, extent - 1)
  std::vector<float> low;       // weight of i1: coordinate - i0
  std::vector<float> high;      // weight of i0: 1 - low
};

// The taps of pixels [0, pixels) along an axis of `extent` prototype pixels,
// of a letterboxed input `input` pixels long.
Axis taps(std::size_t pixels, float ratio, std::uint32_t pad, std::uint64_t extent,
          std::uint64_t input);

// Consecutive indices [begin, end).
struct Range {
  std::size_t begin;
  std::size_t end;
  std::size_t size() const { return end - begin; }
  bool contains(std::size_t i) const { return begin <= i && i < end; }
};

// Of `pixels` pixels, those whose centres c satisfy lo <= c < hi;
// contiguous because the centres never decrease. A NaN bound gives an empty
// range. Found by bisection on the centres themselves, so that a box costs
// no work or memory in proportion to the destination.
Range inside(std::size_t pixels, float ratio, std::uint32_t pad, float lo, float hi);

// Up to eight consecutive output columns of a box, from column k of its
// range. When their taps lie within eight logits from `base` (relative to the
// box's first tapped column), `pick` holds each column's two offsets from
// base; otherwise the columns are done one by one.
struct Run {
  Run() {}  // filled in place; its picks are read only when `picked`
  std::size_t k;
  std::size_t count;
  bool picked;
  std::size_t base;
  std::int32_t pick0[kRun];
  std::int32_t pick1[kRun];
};

// One box: its pixels, the prototype pixels their taps touch, its runs, and
// where its rows of logits and chunk classes are in a strip's scratch.
struct Region {
  std::size_t detection;
  Range columns;
  Range rows;
  Range proto_columns;
  Range proto_rows;
  std::size_t first_run;
  std::size_t runs;
  std::size_t first_window;  // of its chunks, as many as chunks()
  std::size_t logit;         // where its two rows of logits are in a strip's scratch
  std::size_t classes;       // where its two rows of chunk classes are
};

// The logits a chunk's taps touch in a row of its box: [begin, end), and
// when there are at most eight, the low bit of each of their bytes.
struct Window {
  std::size_t begin;
  std::size_t end;
  std::uint64_t lanes;  // 0 when more than eight
};

// The floats between a box's two rows of logits: a row plus a run's padding.
inline std::size_t logit_stride(const Region& region) {
  return region.proto_columns.size() + kRun - 1;
}

// Chunks of sixteen output columns of a box, as along y takes them (none for
// a box narrower than sixteen).
inline std::size_t chunks(const Region& region) {
  const std::size_t width = region.columns.size();
  return width < kLanes ? 0 : (width + kLanes - 1) / kLanes;
}

// Appends the runs of `region` (from the taps `x`) to `runs`, and sets its
// first_run and runs.
void add_runs(const Axis& x, Region& region, std::vector<Run>& runs);

// Appends the windows of the chunks of `region` to `windows`, and sets its
// first_window.
void add_windows(const Axis& x, Region& region, std::vector<Window>& windows);

}  // namespace corvane::postprocess::masks
