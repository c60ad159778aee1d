#include "postprocess/masks.hpp"

#include "core/simd.hpp"
#include "parallel/pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ranges>
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

// Along x, runs of eight output columns whose taps lie within eight
// consecutive logits of a row: one load and two lane permutations pick all
// sixteen taps. The logits are summed eight lanes at a time as well, and the
// pass along y takes sixteen pixels at a time. Every lane does the scalar
// float32 operations in the scalar order, so each instruction set gives the
// same bits.
constexpr std::size_t kRun = 8;
using simd::kLanes;
using RunFloats = simd::Vec<float, kRun>;
using RunIndices = simd::Vec<std::int32_t, kRun>;

// What a thread keeps between calls, of each of its two kinds of storage
// (the geometry and box records of the calls it makes, the scratch of the
// strips it runs): past this, storage goes back to the system when the call
// or strip that needed it ends.
constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

template <class T>
std::size_t bytes_of(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// The centre of pixel u along an axis, in the letterboxed input.
float pixel_centre(std::size_t u, float ratio, std::uint32_t pad) {
  return (static_cast<float>(u) + 0.5f) / ratio + static_cast<float>(pad);
}

// The taps of the first source pixels along one axis, one array per quantity.
struct Axis {
  std::vector<float> centre;    // X(u) or Y(v)
  std::vector<std::size_t> i0;  // floor of the clamped proto coordinate
  std::vector<std::size_t> i1;  // min(i0 + 1, extent - 1)
  std::vector<float> low;       // weight of i1: coordinate - i0
  std::vector<float> high;      // weight of i0: 1 - low
};

std::size_t bytes_of(const Axis& axis) {
  return bytes_of(axis.centre) + bytes_of(axis.i0) + bytes_of(axis.i1) + bytes_of(axis.low) +
         bytes_of(axis.high);
}

Axis taps(std::size_t pixels, float ratio, std::uint32_t pad, std::uint64_t extent,
          std::uint64_t input) {
  const float scale = static_cast<float>(extent) / static_cast<float>(input);
  const float last = static_cast<float>(extent - 1);
  Axis out{std::vector<float>(pixels), std::vector<std::size_t>(pixels),
           std::vector<std::size_t>(pixels), std::vector<float>(pixels),
           std::vector<float>(pixels)};
  for (std::size_t u = 0; u < pixels; ++u) {
    const float centre = pixel_centre(u, ratio, pad);
    float p = centre * scale - 0.5f;
    p = std::min(std::max(p, 0.0f), last);
    const float whole = std::floor(p);
    const auto i0 = static_cast<std::size_t>(whole);
    out.centre[u] = centre;
    out.i0[u] = i0;
    out.i1[u] = static_cast<std::size_t>(std::min<std::uint64_t>(i0 + 1, extent - 1));
    out.low[u] = p - whole;
    out.high[u] = 1.0f - out.low[u];
  }
  return out;
}

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
Range inside(std::size_t pixels, float ratio, std::uint32_t pad, float lo, float hi) {
  const auto all = std::views::iota(std::size_t{0}, pixels);
  const auto centre = [&](std::size_t u) { return pixel_centre(u, ratio, pad); };
  const auto at = [&](auto below) {
    return static_cast<std::size_t>(std::ranges::partition_point(all, below) - all.begin());
  };
  const std::size_t begin = at([&](std::size_t u) { return !(centre(u) >= lo); });
  const std::size_t end = at([&](std::size_t u) { return centre(u) < hi; });
  return {begin, std::max(begin, end)};
}

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
  std::size_t logit;    // where its two rows of logits are in a strip's scratch
  std::size_t classes;  // where its two rows of chunk classes are
};

// The logits a chunk's taps touch in a row of its box: [begin, end), and
// when there are at most eight, the low bit of each of their bytes.
struct Window {
  std::size_t begin;
  std::size_t end;
  std::uint64_t lanes;  // 0 when more than eight
};

// The floats between a box's two rows of logits: a row plus a run's padding.
std::size_t logit_stride(const Region& region) { return region.proto_columns.size() + kRun - 1; }

// Chunks of sixteen output columns of a box, as along y takes them (none for
// a box narrower than sixteen).
std::size_t chunks(const Region& region) {
  const std::size_t width = region.columns.size();
  return width < kLanes ? 0 : (width + kLanes - 1) / kLanes;
}

void add_runs(const Axis& x, Region& region, std::vector<Run>& runs) {
  const std::size_t width = region.columns.size();
  const std::size_t* i0 = x.i0.data() + region.columns.begin;
  const std::size_t* i1 = x.i1.data() + region.columns.begin;
  region.first_run = runs.size();
  // Filled in place: a copy of a run built field by field would read back
  // what was just stored in narrower pieces, which stalls.
  const auto add = [&runs](std::size_t k, std::size_t count, bool picked,
                           std::size_t base) -> Run& {
    Run& run = runs.emplace_back();
    run.k = k;
    run.count = count;
    run.picked = picked;
    run.base = base;
    return run;
  };
  if (width < kRun) {
    add(0, width, false, 0);
  } else {
    // The last run overlaps the one before it rather than leaving a tail; its
    // columns get the same values twice.
    for (std::size_t s = 0; s < width; s += kRun) {
      const std::size_t k = std::min(s, width - kRun);
      Run& run = add(k, kRun, i1[k + kRun - 1] - i0[k] < kRun, i0[k] - region.proto_columns.begin);
      for (std::size_t j = 0; run.picked && j < kRun; ++j) {
        run.pick0[j] = static_cast<std::int32_t>(i0[k + j] - i0[k]);
        run.pick1[j] = static_cast<std::int32_t>(i1[k + j] - i0[k]);
      }
    }
  }
  region.runs = runs.size() - region.first_run;
}

void add_windows(const Axis& x, Region& region, std::vector<Window>& windows) {
  const std::size_t width = region.columns.size();
  const std::size_t first = region.proto_columns.begin;
  const std::size_t* i0 = x.i0.data() + region.columns.begin;
  const std::size_t* i1 = x.i1.data() + region.columns.begin;
  region.first_window = windows.size();
  for (std::size_t s = 0; s < width && width >= kLanes; s += kLanes) {
    const std::size_t k = std::min(s, width - kLanes);
    const std::size_t begin = i0[k] - first, end = i1[k + kLanes - 1] - first + 1;
    windows.push_back({begin, end, end - begin > 8 ? 0 : 0x0101010101010101u >> 8 * (8 - (end - begin))});
  }
}

// Logits of `Blocks` runs of eight staged pixels of a row, the first at
// column k and each next one 8 further but none past `cols`, into `row`,
// each summed over m in order from 0.0. The sums stay in registers while
// the planes stream past.
template <std::size_t Blocks>
CORVANE_INLINE void logit_blocks(const float* coefficient, std::size_t masks, const float* src,
                                 std::size_t plane, std::size_t k, std::size_t cols, float* row) {
  std::size_t at[Blocks];
  RunFloats acc[Blocks];
  for (std::size_t j = 0; j < Blocks; ++j) {
    at[j] = std::min(k + j * kRun, cols - kRun);
    acc[j] = RunFloats{};
  }
  for (std::size_t m = 0; m < masks; ++m) {
    const float c = coefficient[m];
    const float* p = src + m * plane;
    for (std::size_t j = 0; j < Blocks; ++j) {
      RunFloats v;
      simd::load(v, p + at[j]);
      acc[j] = acc[j] + c * v;
    }
  }
  for (std::size_t j = 0; j < Blocks; ++j) simd::store(row + at[j], acc[j]);
}

// L(y, x) = sum over m of c[m] * protos[m, y, x] for the `cols` staged
// pixels at `src` (plane m at src + m * plane), into `row`.
CORVANE_INLINE void logit_row(const float* coefficient, std::size_t masks, const float* src,
                              std::size_t plane, std::size_t cols, float* row) {
  if (cols < kRun) {  // narrower than a run: the planes one at a time
    std::fill(row, row + cols, 0.0f);
    for (std::size_t m = 0; m < masks; ++m) {
      const float c = coefficient[m];
      const float* p = src + m * plane;
      for (std::size_t k = 0; k < cols; ++k) row[k] = row[k] + c * p[k];
    }
    return;
  }
  // The last run overlaps the one before it rather than leaving a tail,
  // giving its pixels the same sums again.
  for (std::size_t k = 0; k < cols; k += 4 * kRun) {
    switch (std::min<std::size_t>(4, (cols - k + kRun - 1) / kRun)) {
      case 4:
        logit_blocks<4>(coefficient, masks, src, plane, k, cols, row);
        break;
      case 3:
        logit_blocks<3>(coefficient, masks, src, plane, k, cols, row);
        break;
      case 2:
        logit_blocks<2>(coefficient, masks, src, plane, k, cols, row);
        break;
      default:
        logit_blocks<1>(coefficient, masks, src, plane, k, cols, row);
        break;
    }
  }
}

// Along x for one row of logits: a = hx * L(y, x0) + lx * L(y, x1') for
// the columns of runs [r0, r1) of the box, into `out`. `logit` has room for
// a run's load past its last value.
CORVANE_INLINE void along_x(const Axis& x, const Region& region, const Run* runs, std::size_t r0,
                            std::size_t r1, const float* logit, float* out) {
  const std::size_t first = region.proto_columns.begin;
  const std::size_t* i0 = x.i0.data() + region.columns.begin;
  const std::size_t* i1 = x.i1.data() + region.columns.begin;
  const float* high = x.high.data() + region.columns.begin;
  const float* low = x.low.data() + region.columns.begin;
  for (std::size_t r = r0; r < r1; ++r) {
    const Run& run = runs[r];
    if (!run.picked) {
      for (std::size_t k = run.k; k < run.k + run.count; ++k)
        out[k] = high[k] * logit[i0[k] - first] + low[k] * logit[i1[k] - first];
      continue;
    }
    RunIndices pick0, pick1;
    RunFloats l, hx, lx, x0, x1;
    simd::load(pick0, run.pick0);
    simd::load(pick1, run.pick1);
    simd::load(l, logit + run.base);
    simd::load(hx, high + run.k);
    simd::load(lx, low + run.k);
    simd::permute(x0, l, pick0);
    simd::permute(x1, l, pick1);
    const RunFloats a = hx * x0 + lx * x1;
    simd::store(out + run.k, a);
  }
}

// What every pixel of a chunk of a row pair gets, when one value fits all:
// whether the four taps of each of its pixels are all plainly positive or all
// at most zero. With all taps <= 0 (-inf included), every product and sum of
// the interpolation is <= 0 or NaN, so every pixel gets 0. With all taps in
// [2^-100, 2^100], each pass along an axis has a weight >= 0.5 (the two sum
// to 1), so its result lies in [2^-102, 2^102]: no underflow to zero, no
// infinity to meet a zero weight, and every pixel gets 1. A chunk's class is
// the AND of the classes of its two tap rows: kPositive or kNotPositive when
// both rows agree, 0 (compute each pixel) otherwise.
constexpr std::uint8_t kPositive = 1;
constexpr std::uint8_t kNotPositive = 2;

// The classes of one tap row's chunks of a box from its row of logits: the
// class of each logit into `flags` (room for 8 past the row's last), then
// the AND of those each chunk's window holds, eight at a time.
CORVANE_INLINE void classify_row(const Region& region, const Window* windows, const float* logit,
                                 std::uint8_t* flags, std::uint8_t* out) {
  const std::size_t cols = region.proto_columns.size();
  for (std::size_t t = 0; t < cols; ++t) {
    const float l = logit[t];
    flags[t] = static_cast<std::uint8_t>(
        static_cast<std::uint8_t>((l >= 0x1p-100f) & (l <= 0x1p100f)) |
        static_cast<std::uint8_t>(l <= 0.0f) << 1);
  }
  const auto settled = [flags](std::size_t at, std::uint64_t lanes) {
    std::uint64_t word;
    simd::load(word, flags + at);
    return static_cast<std::uint8_t>(((word & lanes) == lanes) |
                                     (((word >> 1) & lanes) == lanes) << 1);
  };
  constexpr std::uint64_t kBytes = 0x0101010101010101u;
  for (std::size_t c = 0; c < chunks(region); ++c) {
    const Window& window = windows[c];
    if (window.lanes != 0) {
      out[c] = settled(window.begin, window.lanes);
      continue;
    }
    std::uint8_t all = kPositive | kNotPositive;
    for (std::size_t t = window.begin; t < window.end; t += 8)
      all &= settled(t, kBytes >> 8 * (8 - std::min<std::size_t>(8, window.end - t)));
    out[c] = all;
  }
}

// Columns [begin, end) of a box's output rows that one class covers.
struct Segment {
  std::size_t begin;
  std::size_t end;
  std::uint8_t both;  // the AND of the two tap rows' chunk classes
};

// The segments of a row pair from its tap rows' chunk classes: runs of
// chunks of one class. The last chunk overlaps the one before it, so two
// segments may share columns; both give those columns their exact values.
CORVANE_INLINE std::size_t segments_of(const std::uint8_t* class_a, const std::uint8_t* class_b,
                                       std::size_t width, Segment* out) {
  std::size_t n = 0;
  for (std::size_t c = 0, s = 0; s < width; s += kLanes, ++c) {
    const std::size_t k = std::min(s, width - kLanes);
    const std::uint8_t both = class_a[c] & class_b[c];
    if (n > 0 && out[n - 1].both == both) {
      out[n - 1].end = k + kLanes;
    } else {
      out[n++] = {k, k + kLanes, both};
    }
  }
  return n;
}

// What every strip reads.
struct Work {
  const float* coefficients;  // box d's M at d * M
  const Prototypes& protos;
  std::span<const Region> regions;
  const std::vector<Run>& runs;
  const std::vector<Window>& windows;
  const Axis& x;
  const Axis& y;
  const Planes& dst;
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

// Bytes [0, n) of `out` set to `value`, n >= 16. Stores that straddle two
// cache lines cost twice, so past the first one they start on 32-byte
// boundaries.
CORVANE_INLINE void fill(std::uint8_t* out, std::size_t n, std::uint8_t value) {
  using Bytes = simd::Vec<std::uint8_t, 32>;
  using Half = simd::Vec<std::uint8_t, 16>;
  if (n < sizeof(Bytes)) {
    const Half half = Half{} + value;
    simd::store(out, half);
    simd::store(out + n - sizeof half, half);
    return;
  }
  const Bytes bytes = Bytes{} + value;
  simd::store(out, bytes);
  std::uint8_t* const last = out + n - sizeof bytes;
  const std::size_t skew = reinterpret_cast<std::uintptr_t>(out) % sizeof bytes;
  for (std::uint8_t* at = out + (sizeof bytes - skew); at < last; at += sizeof bytes)
    simd::store(at, bytes);
  simd::store(last, bytes);
}

// 1 where hy * a > -(ly * b), else 0, for n >= 16 pixels: sixteen at a
// time in a loop of fixed length, which the compiler turns into vectors for
// each instruction set; the last sixteen overlap rather than leave a tail.
CORVANE_INLINE void threshold(float hy, const float* __restrict a, float ly,
                              const float* __restrict b, std::size_t n,
                              std::uint8_t* __restrict out) {
  for (std::size_t s = 0; s < n; s += kLanes) {
    const std::size_t k = std::min(s, n - kLanes);
    for (std::size_t j = k; j < k + kLanes; ++j) out[j] = hy * a[j] > -(ly * b[j]) ? 1 : 0;
  }
}

// Output rows [v0, v1) of a box, whose lower taps are its prototype row held
// in `logits` (row t at (t % 2) * stride, with its chunk classes at
// `classes` + (t % 2) * chunks): value = hy * a + ly * b, with a and b the
// two tap rows interpolated along x, then 1 where value > 0 (false for NaN),
// else 0. Rows with the same taps share their segments, and a and b are
// interpolated (into `kept`, two rows of the box's width) only for the
// segments that the classes do not settle. The sum itself is never formed:
// under the IEEE mode every call runs in (round to nearest, no flush to
// zero), the rounded sum of two floats is > 0 exactly when the exact sum is,
// that is when hy * a > -(ly * b); with infinities and NaN both tests are
// false or true together too. Sixteen pixels at a time; as along x, the last
// sixteen of a segment overlap rather than leaving a tail.
CORVANE_CLONES
void along_y(const Work& work, const Region& region, const float* __restrict logits,
             std::size_t stride, const std::uint8_t* __restrict classes,
             float* __restrict kept, Segment* __restrict segments, std::size_t v0,
             std::size_t v1, std::uint8_t* __restrict out) {
  const std::size_t width = region.columns.size();
  const std::size_t count = chunks(region);
  const Run* runs = work.runs.data() + region.first_run;
  const std::size_t* i0 = work.y.i0.data();
  const std::size_t* i1 = work.y.i1.data();
  const std::size_t row_stride = static_cast<std::size_t>(work.dst.width);
  float* const a = kept;
  float* const b = kept + width;
  std::size_t pair = SIZE_MAX, n = 0;
  for (std::size_t v = v0; v < v1; ++v, out += row_stride) {
    const float hy = work.y.high[v], ly = work.y.low[v];
    if (i0[v] != pair) {  // rows with one lower tap share their upper tap too
      pair = i0[v];
      const float* la = logits + (i0[v] % 2) * stride;
      const float* lb = logits + (i1[v] % 2) * stride;
      if (width < kLanes) {
        n = 0;
        along_x(work.x, region, runs, 0, region.runs, la, a);
        along_x(work.x, region, runs, 0, region.runs, lb, b);
      } else {
        n = segments_of(classes + (i0[v] % 2) * count, classes + (i1[v] % 2) * count, width,
                        segments);
        for (std::size_t g = 0; g < n; ++g) {
          if (segments[g].both) continue;
          const std::size_t r0 = segments[g].begin / kRun;
          const std::size_t r1 = std::min(region.runs, (segments[g].end + kRun - 1) / kRun);
          along_x(work.x, region, runs, r0, r1, la, a);
          along_x(work.x, region, runs, r0, r1, lb, b);
        }
      }
    }
    if (width < kLanes) {
      for (std::size_t k = 0; k < width; ++k) out[k] = hy * a[k] > -(ly * b[k]) ? 1 : 0;
      continue;
    }
    for (std::size_t g = 0; g < n; ++g) {
      const Segment& segment = segments[g];
      if (segment.both) {
        fill(out + segment.begin, segment.end - segment.begin, segment.both & kPositive);
        continue;
      }
      threshold(hy, a + segment.begin, ly, b + segment.begin, segment.end - segment.begin,
                out + segment.begin);
    }
  }
}

// Prototype row y of the strip starting at row `strip`: the row's tapped
// pixels of every plane are first copied together, since in place, planes a
// multiple of 4 KiB apart would share cache sets and evict each other. Then
// each box that taps the row and has output rows in the strip takes its
// logits there; all of them first, so that their stores have landed before
// the pass along x loads them across store boundaries. Then each classifies
// its row and writes its output rows whose lower tap is y (from `next[i]`
// on, for box i) once y is in the strip.
CORVANE_CLONES
void proto_row(const Work& work, std::size_t strip, std::size_t y, const Scratch& scratch,
               std::size_t* __restrict next) {
  const Prototypes& protos = work.protos;
  const std::size_t plane = static_cast<std::size_t>(protos.height * protos.width);
  const std::size_t masks = static_cast<std::size_t>(protos.masks);
  const std::size_t staged = work.tapped.size() + kLanes;
  const std::size_t plane_width = static_cast<std::size_t>(work.dst.width);
  auto taps_row = [&](const Region& region) {
    return region.proto_rows.contains(y) && region.proto_rows.end > strip;
  };
  // Only the columns that the boxes tapping this row need.
  Range used{SIZE_MAX, 0};
  for (const Region& region : work.regions)
    if (taps_row(region))
      used = {std::min(used.begin, region.proto_columns.begin),
              std::max(used.end, region.proto_columns.end)};
  if (used.end == 0) return;
  const float* src = protos.data.data() + y * static_cast<std::size_t>(protos.width) + used.begin;
  for (std::size_t m = 0; m < masks; ++m)
    std::memcpy(scratch.stage + m * staged, src + m * plane, used.size() * sizeof(float));
  for (const Region& region : work.regions) {
    if (!taps_row(region)) continue;
    const std::size_t cols = region.proto_columns.size();
    float* const logit = scratch.logit + region.logit + (y % 2) * logit_stride(region);
    logit_row(work.coefficients + region.detection * masks, masks,
              scratch.stage + (region.proto_columns.begin - used.begin), staged, cols,
              logit);
    std::fill(logit + cols, logit + cols + kRun - 1, 0.0f);
  }
  for (std::size_t i = 0; i < work.regions.size(); ++i) {
    const Region& region = work.regions[i];
    if (!taps_row(region)) continue;
    const std::size_t stride = logit_stride(region);
    float* const logits = scratch.logit + region.logit;
    std::uint8_t* const classes = scratch.classes + region.classes;
    classify_row(region, work.windows.data() + region.first_window, logits + (y % 2) * stride,
                 scratch.flags,
                 classes + (y % 2) * chunks(region));
    if (y < strip) continue;
    const std::size_t v0 = next[i];
    std::size_t v1 = v0;
    while (v1 < region.rows.end && work.y.i1[v1] == y) ++v1;
    next[i] = v1;
    if (v1 == v0) continue;
    along_y(work, region, logits, stride, classes, scratch.kept, scratch.segments, v0, v1,
            work.dst.data.data() + region.detection * work.dst.height * plane_width +
                v0 * plane_width + region.columns.begin);
  }
}

// The strip of prototype rows [y0, y1) of a round.
void strip(const Work& work, std::size_t y0, std::size_t y1, std::size_t logit,
           std::size_t classes) {
  // Kept by the thread between strips and calls: freed memory would go back
  // to the system and fault back in page by page. A strip never waits for
  // other tasks, so no other strip runs on this thread meanwhile.
  thread_local std::vector<float> memory;
  thread_local std::vector<std::size_t> next;
  thread_local std::vector<std::uint8_t> class_memory;
  thread_local std::vector<Segment> segments;
  const std::size_t staged =
      (work.tapped.size() + kLanes) * static_cast<std::size_t>(work.protos.masks);
  std::size_t widest = 0;
  for (const Region& region : work.regions) widest = std::max(widest, region.columns.size());
  const std::size_t kept = 2 * widest + kLanes;
  memory.resize(std::max(memory.size(), staged + logit + kept));
  class_memory.resize(std::max(class_memory.size(), classes + work.tapped.size() + 8));
  segments.resize(std::max(segments.size(), widest / kLanes + 1));
  const Scratch scratch{memory.data(), memory.data() + staged, memory.data() + staged + logit,
                        class_memory.data(), class_memory.data() + classes,
                        segments.data()};
  // Each box's first output row whose lower tap is in the strip.
  next.resize(work.regions.size());
  std::size_t first = y1;
  for (std::size_t i = 0; i < work.regions.size(); ++i) {
    const Region& region = work.regions[i];
    const auto* i1 = work.y.i1.data();
    next[i] = static_cast<std::size_t>(
        std::partition_point(i1 + region.rows.begin, i1 + region.rows.end,
                             [y0](std::size_t t) { return t < y0; }) -
        i1);
    if (region.proto_rows.end > y0) first = std::min(first, region.proto_rows.begin);
  }
  for (std::size_t y = std::max(first, y0 == 0 ? 0 : y0 - 1); y < y1; ++y)
    proto_row(work, y0, y, scratch, next.data());
  if (bytes_of(memory) + bytes_of(next) + bytes_of(class_memory) + bytes_of(segments) >
      kKeptBytes) {
    // Assigning {} would keep the capacity.
    memory = std::vector<float>();
    next = std::vector<std::size_t>();
    class_memory = std::vector<std::uint8_t>();
    segments = std::vector<Segment>();
  }
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
  const std::size_t strips =
      std::min(work_of.size(), kStripsPerWorker * parallel::num_threads());
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

// The geometry the taps depend on.
struct Grid {
  std::uint64_t width, height;            // of the destination
  std::uint64_t proto_width, proto_height;
  std::uint64_t in_w, in_h;
  float ratio;
  std::uint32_t pad_x, pad_y;
  bool operator==(const Grid&) const = default;
};

// What a thread keeps between calls: the taps of the last geometry (a video
// keeps it from frame to frame), as far as its boxes reached, and the
// storage of the boxes.
struct Reuse {
  Grid grid{};
  Axis x, y;
  std::vector<Region> regions;
  std::vector<Run> runs;
  std::vector<Window> windows;
  std::vector<float> coefficients;

  std::size_t bytes() const {
    return bytes_of(x) + bytes_of(y) + bytes_of(regions) + bytes_of(runs) + bytes_of(windows) +
           bytes_of(coefficients);
  }
};

}  // namespace

void build(const Coefficients& pred, const Prototypes& protos, std::span<const MaskBox> boxes,
           const MaskGeometry& geometry, const Planes& dst) {
  // A call made on a thread while another call there waits gets storage of
  // its own.
  thread_local Reuse by_thread;
  thread_local bool busy = false;
  Reuse own;
  Reuse& reuse = busy ? own : by_thread;
  struct Busy {
    bool was;
    Busy() : was(busy) { busy = true; }
    ~Busy() { busy = was; }
  } const mark;

  struct Trim {
    Reuse& reuse;
    ~Trim() {
      if (reuse.bytes() > kKeptBytes) reuse = Reuse{};
    }
  } const trim{reuse};

  // The boxes' pixels first: a call whose boxes cover none does nothing.
  std::vector<Region>& regions = reuse.regions;
  std::vector<Run>& runs = reuse.runs;
  regions.clear();
  runs.clear();
  reuse.windows.clear();
  std::size_t reach_x = 0, reach_y = 0;
  for (std::size_t d = 0; d < boxes.size(); ++d) {
    const Range columns = inside(static_cast<std::size_t>(dst.width), geometry.ratio,
                                 geometry.pad_x, boxes[d].x1, boxes[d].x2);
    const Range rows = inside(static_cast<std::size_t>(dst.height), geometry.ratio,
                              geometry.pad_y, boxes[d].y1, boxes[d].y2);
    if (columns.size() == 0 || rows.size() == 0) continue;
    regions.push_back({d, columns, rows, {}, {}, 0, 0, 0, 0, 0});
    reach_x = std::max(reach_x, columns.end);
    reach_y = std::max(reach_y, rows.end);
  }
  if (regions.empty()) return;

  const Grid grid{dst.width,     dst.height,    protos.width,   protos.height,  geometry.in_w,
                  geometry.in_h, geometry.ratio, geometry.pad_x, geometry.pad_y};
  if (!(reuse.grid == grid) || reuse.x.centre.size() < reach_x ||
      reuse.y.centre.size() < reach_y) {
    reuse.x = taps(reach_x, geometry.ratio, geometry.pad_x, protos.width, geometry.in_w);
    reuse.y = taps(reach_y, geometry.ratio, geometry.pad_y, protos.height, geometry.in_h);
    reuse.grid = grid;
  }
  const Axis& x = reuse.x;
  const Axis& y = reuse.y;
  // Each box's coefficients side by side: in the prediction they are a
  // channel apart, a cache line each.
  const std::size_t masks = static_cast<std::size_t>(protos.masks);
  const std::size_t anchors = static_cast<std::size_t>(pred.anchors);
  const float* first_coefficient =
      pred.data.data() + static_cast<std::size_t>(pred.channels - protos.masks) * anchors;
  reuse.coefficients.resize(boxes.size() * masks);
  for (Region& region : regions) {
    const std::size_t d = region.detection;
    region.proto_columns = {x.i0[region.columns.begin], x.i1[region.columns.end - 1] + 1};
    region.proto_rows = {y.i0[region.rows.begin], y.i1[region.rows.end - 1] + 1};
    add_runs(x, region, runs);
    add_windows(x, region, reuse.windows);
    for (std::size_t m = 0; m < masks; ++m)
      reuse.coefficients[d * masks + m] =
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
    draw({reuse.coefficients.data(), protos, std::span(regions).subspan(begin, end - begin), runs,
          reuse.windows, x, y, dst,
          {0, 0}},
         logit, classes);
    begin = end;
  }
}

}  // namespace corvane::postprocess::masks
