// The row kernels of the mask build, cloned per instruction set: the logits
// of a prototype row, the interpolation along x and along y, the threshold.
#pragma once

#include "postprocess/mask_plan.hpp"
#include "postprocess/masks.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::postprocess::masks {

// Columns [begin, end) of a box's output rows that one class covers.
struct Segment {
  std::size_t begin;
  std::size_t end;
  std::uint8_t both;  // the AND of the two tap rows' chunk classes
};

// What every strip reads.
struct Work {
  const float* coefficients;  // box d's M at d * M
  const Prototypes& protos;
  std::span<const Region> regions;
  const std::vector<Run>& runs;
  const std::vector<Window>& windows;
  const Axis& x;
  const Axis& y;
  const MaskPlanes& dst;
  Range tapped;  // prototype columns some box of the round taps
};

// A strip's scratch: the staged prototype row, each box's two rows of logits
// (each with a run's padding) and their chunk classes, and what along y
// needs for one box at a time.
struct Scratch {
  float* stage;
  float* logit;
  float* kept;  // two rows of the widest box
  std::uint8_t* classes;
  std::uint8_t* flags;  // a row of logit classes
  Segment* segments;    // of one row pair
};

// Prototype row y of the strip starting at row `strip`: the row's tapped
// pixels of every plane are first copied together, since in place, planes a
// multiple of 4 KiB apart would share cache sets and evict each other. Then
// each box that taps the row and has output rows in the strip takes its
// logits there; all of them first, so that their stores have landed before
// the pass along x loads them across store boundaries. Then each classifies
// its row and writes its output rows whose lower tap is y (from `next[i]`
// on, for box i) once y is in the strip. Cloned per instruction set.
void proto_row(const Work& work, std::size_t strip, std::size_t y, const Scratch& scratch,
               std::size_t* __restrict next);

}  // namespace corvane::postprocess::masks
