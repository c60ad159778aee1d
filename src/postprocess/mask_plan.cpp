#include "postprocess/mask_plan.hpp"

#include <algorithm>
#include <cmath>
#include <ranges>

namespace corvane::postprocess::masks {
namespace {

// The centre of pixel u along an axis, in the letterboxed input.
float pixel_centre(std::size_t u, float ratio, std::uint32_t pad) {
  return (static_cast<float>(u) + 0.5f) / ratio + static_cast<float>(pad);
}

}  // namespace

Axis taps(std::size_t pixels, float ratio, std::uint32_t pad, std::uint64_t extent,
          std::uint64_t input) {
  const float scale = static_cast<float>(extent) / static_cast<float>(input);
  const float last = static_cast<float>(extent - 1);
  Axis out{std::vector<std::size_t>(pixels), std::vector<std::size_t>(pixels),
           std::vector<float>(pixels), std::vector<float>(pixels)};
  for (std::size_t u = 0; u < pixels; ++u) {
    const float centre = pixel_centre(u, ratio, pad);
    float p = centre * scale - 0.5f;
    p = std::min(std::max(p, 0.0f), last);
    const float whole = std::floor(p);
    const auto i0 = static_cast<std::size_t>(whole);
    out.i0[u] = i0;
    out.i1[u] = static_cast<std::size_t>(std::min<std::uint64_t>(i0 + 1, extent - 1));
    out.low[u] = p - whole;
    out.high[u] = 1.0f - out.low[u];
  }
  return out;
}

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
    windows.push_back(
        {begin, end, end - begin > 8 ? 0 : 0x0101010101010101u >> 8 * (8 - (end - begin))});
  }
}

}  // namespace corvane::postprocess::masks
