#include "postprocess/masks.hpp"

#include "parallel/pool.hpp"
#include "postprocess/mask_plan.hpp"
#include "postprocess/mask_rows.hpp"

#include <algorithm>
#include <vector>

namespace corvane::postprocess::masks {
namespace {

// One parallel pass over strips of prototype rows. For each row of a strip,
// a row of every plane is read from memory once and serves every box that
// taps it: the box computes its logits there, into the newer of its two
// rows of logits, and then writes the output rows whose lower tap is this
// row. Most of a mask's pixels lie in areas where all four taps have one
// sign; those are filled without arithmetic, and the interpolation runs
// only where the classes of the taps leave a pixel open. A strip also
// computes the row above it, which the strip above computes too. Each output
// byte depends on its own box and pixel alone, so the split never changes a
// result.

// Strips of the pass per worker.
constexpr std::size_t kStripsPerWorker = 2;

// Rows of logits, in floats, of a round of boxes; boxes beyond
// it wait for the next round, which bounds memory for many large boxes.
constexpr std::size_t kRoundFloats = std::size_t{1} << 18;

// A strip's storage, kept by its thread between strips and calls: a large
// block freed at the end of each strip would go back to the system and fault
// back in page by page at the next. A strip never waits for other tasks, so
// no other strip runs on this thread meanwhile. Bounded: past kKeptBytes it
// goes back to the system when the strip ends, so that one large call does
// not pin its scratch in every worker for the life of the process.
struct StripStorage {
  static constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

  std::vector<float> floats;  // staged row, rows of logits, kept rows
  std::vector<std::size_t> next;
  std::vector<std::uint8_t> classes;
  std::vector<Segment> segments;

  void trim() {
    const std::size_t bytes = floats.capacity() * sizeof(float) +
                              next.capacity() * sizeof(std::size_t) + classes.capacity() +
                              segments.capacity() * sizeof(Segment);
    // Assigning {} would keep the capacity.
    if (bytes > kKeptBytes) *this = StripStorage();
  }
};

// The strip of prototype rows [y0, y1) of a round.
void strip(const Work& work, std::size_t y0, std::size_t y1, std::size_t logit,
           std::size_t classes) {
  thread_local StripStorage storage;
  std::vector<float>& memory = storage.floats;
  std::vector<std::size_t>& next = storage.next;
  std::vector<std::uint8_t>& class_memory = storage.classes;
  std::vector<Segment>& segments = storage.segments;
  const std::size_t staged =
      (work.tapped.size() + kLanes) * static_cast<std::size_t>(work.protos.masks);
  std::size_t widest = 0;
  for (const Region& region : work.regions) widest = std::max(widest, region.columns.size());
  const std::size_t kept = 2 * widest + kLanes;
  memory.resize(std::max(memory.size(), staged + logit + kept));
  class_memory.resize(std::max(class_memory.size(), classes + work.tapped.size() + 8));
  segments.resize(std::max(segments.size(), widest / kLanes + 1));
  const Scratch scratch{
      memory.data(),       memory.data() + staged,        memory.data() + staged + logit,
      class_memory.data(), class_memory.data() + classes, segments.data()};
  // Each box's first output row whose lower tap is in the strip.
  next.resize(work.regions.size());
  std::size_t first = y1;
  for (std::size_t i = 0; i < work.regions.size(); ++i) {
    const Region& region = work.regions[i];
    const auto* i1 = work.y.i1.data();
    next[i] =
        static_cast<std::size_t>(std::partition_point(i1 + region.rows.begin, i1 + region.rows.end,
                                                      [y0](std::size_t t) { return t < y0; }) -
                                 i1);
    if (region.proto_rows.end > y0) first = std::min(first, region.proto_rows.begin);
  }
  for (std::size_t y = std::max(first, y0 == 0 ? 0 : y0 - 1); y < y1; ++y)
    proto_row(work, y0, y, scratch, next.data());
  storage.trim();
}

// The pass for a round of boxes.
void draw(Work work, std::size_t logit, std::size_t classes) {
  std::size_t y_begin = SIZE_MAX, y_end = 0;
  work.tapped = {SIZE_MAX, 0};
  for (const Region& region : work.regions) {
    y_begin = std::min(y_begin, region.proto_rows.begin);
    y_end = std::max(y_end, region.proto_rows.end);
    work.tapped = {std::min(work.tapped.begin, region.proto_columns.begin),
                   std::max(work.tapped.end, region.proto_columns.end)};
  }
  // The work of each prototype row, roughly: a box spreads its output pixels
  // evenly over its rows, plus one row's width for its logits and pass along
  // x there.
  std::vector<std::size_t> work_of(y_end - y_begin, 0);
  std::size_t total = 0;
  for (const Region& region : work.regions) {
    const std::size_t width = region.columns.size();
    const std::size_t share = width + width * region.rows.size() / region.proto_rows.size();
    for (std::size_t t = region.proto_rows.begin; t < region.proto_rows.end; ++t)
      work_of[t - y_begin] += share;
    total += share * region.proto_rows.size();
  }
  // Strips of about equal work, kStripsPerWorker per worker: each costs a row
  // computed twice, and a few per worker let idle workers take over.
  const std::size_t strips = std::min(work_of.size(), kStripsPerWorker * parallel::num_threads());
  std::vector<std::size_t> bounds{y_begin};
  std::size_t done = 0;
  for (std::size_t t = 0; t < work_of.size(); ++t) {
    done += work_of[t];
    if (t + 1 < work_of.size() && done * strips >= total * bounds.size())
      bounds.push_back(y_begin + t + 1);
  }
  bounds.push_back(y_end);
  parallel::parallel_for(0, bounds.size() - 1, [&](std::size_t i) {
    strip(work, bounds[i], bounds[i + 1], logit, classes);
  });
}

}  // namespace

// No state is kept between calls but the strips' storage: each call builds
// its taps and box records afresh. Keeping the taps of the last geometry
// saved 81k of the 3.1M instructions this code runs for a 20-box 1280x720
// frame (2.6%, callgrind), too little for a cache per thread and the
// re-entry guard it needed.
void build(const Coefficients& pred, const Prototypes& protos, std::span<const MaskBox> boxes,
           const MaskGeometry& geometry, const MaskPlanes& dst) {
  // The boxes' pixels first: a call whose boxes cover none does nothing.
  std::vector<Region> regions;
  std::size_t reach_x = 0, reach_y = 0;
  for (std::size_t d = 0; d < boxes.size(); ++d) {
    const Range columns = inside(static_cast<std::size_t>(dst.width), geometry.ratio,
                                 geometry.pad_x, boxes[d].x1, boxes[d].x2);
    const Range rows = inside(static_cast<std::size_t>(dst.height), geometry.ratio, geometry.pad_y,
                              boxes[d].y1, boxes[d].y2);
    if (columns.size() == 0 || rows.size() == 0) continue;
    regions.push_back({d, columns, rows, {}, {}, 0, 0, 0, 0, 0});
    reach_x = std::max(reach_x, columns.end);
    reach_y = std::max(reach_y, rows.end);
  }
  if (regions.empty()) return;

  const Axis x = taps(reach_x, geometry.ratio, geometry.pad_x, protos.width, geometry.in_w);
  const Axis y = taps(reach_y, geometry.ratio, geometry.pad_y, protos.height, geometry.in_h);
  // Each box's coefficients side by side: in the prediction they are a
  // channel apart, a cache line each.
  const std::size_t masks = static_cast<std::size_t>(protos.masks);
  const std::size_t anchors = static_cast<std::size_t>(pred.anchors);
  const float* first_coefficient =
      pred.data.data() + static_cast<std::size_t>(pred.channels - protos.masks) * anchors;
  std::vector<float> coefficients(boxes.size() * masks);
  std::vector<Run> runs;
  std::vector<Window> windows;
  for (Region& region : regions) {
    const std::size_t d = region.detection;
    region.proto_columns = {x.i0[region.columns.begin], x.i1[region.columns.end - 1] + 1};
    region.proto_rows = {y.i0[region.rows.begin], y.i1[region.rows.end - 1] + 1};
    add_runs(x, region, runs);
    add_windows(x, region, windows);
    for (std::size_t m = 0; m < masks; ++m)
      coefficients[d * masks + m] =
          first_coefficient[m * anchors + static_cast<std::size_t>(boxes[d].index)];
  }
  // Rounds of boxes whose rows of logits fit kRoundFloats together (at least
  // one box each).
  for (std::size_t begin = 0; begin < regions.size();) {
    std::size_t end = begin, logit = 0, classes = 0;
    do {
      regions[end].logit = logit;
      regions[end].classes = classes;
      logit += 2 * logit_stride(regions[end]);
      classes += 2 * chunks(regions[end]);
      ++end;
    } while (end < regions.size() && logit + 2 * logit_stride(regions[end]) <= kRoundFloats);
    draw({coefficients.data(),
          protos,
          std::span(regions).subspan(begin, end - begin),
          runs,
          windows,
          x,
          y,
          dst,
          {0, 0}},
         logit, classes);
    begin = end;
  }
}

}  // namespace corvane::postprocess::masks
