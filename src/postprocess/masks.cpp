#include "postprocess/masks.hpp"

#include "parallel/pool.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace corvane::postprocess::masks {
namespace {

// Output rows per task. A task computes the logits of just the prototype rows
// its band taps, so a band boundary costs a row or two computed twice, and
// every output byte depends on its own box and pixel alone: the result is the
// same for any number of workers.
constexpr std::size_t kBandRows = 64;

// One source pixel along an axis: its centre in model-input units and its two
// bilinear taps on the prototype grid.
struct Tap {
  float centre;     // X(u) or Y(v)
  std::uint32_t i0;  // floor of the clamped proto coordinate
  std::uint32_t i1;  // min(i0 + 1, extent - 1)
  float low;         // weight of i1: coordinate - i0
  float high;        // weight of i0: 1 - low
};

std::vector<Tap> taps(std::uint64_t pixels, float ratio, std::uint32_t pad, std::uint64_t extent,
                      std::uint64_t input) {
  const float scale = static_cast<float>(extent) / static_cast<float>(input);
  const float last = static_cast<float>(extent - 1);
  std::vector<Tap> out(pixels);
  for (std::uint64_t u = 0; u < pixels; ++u) {
    const float centre = (static_cast<float>(u) + 0.5f) / ratio + static_cast<float>(pad);
    float p = centre * scale - 0.5f;
    p = std::min(std::max(p, 0.0f), last);
    const float whole = std::floor(p);
    const auto i0 = static_cast<std::uint32_t>(whole);
    const auto i1 = static_cast<std::uint32_t>(std::min<std::uint64_t>(i0 + 1, extent - 1));
    const float low = p - whole;
    out[u] = {centre, i0, i1, low, 1.0f - low};
  }
  return out;
}

// The pixels whose centres c satisfy lo <= c < hi; contiguous because the
// centres never decrease. A NaN bound gives an empty range.
struct Range {
  std::size_t begin;
  std::size_t end;
};

Range inside(const std::vector<Tap>& axis, float lo, float hi) {
  const auto first = std::partition_point(axis.begin(), axis.end(),
                                          [lo](const Tap& t) { return !(t.centre >= lo); });
  const auto last = std::partition_point(axis.begin(), axis.end(),
                                         [hi](const Tap& t) { return t.centre < hi; });
  const auto begin = static_cast<std::size_t>(first - axis.begin());
  const auto end = static_cast<std::size_t>(last - axis.begin());
  return {begin, std::max(begin, end)};
}

struct Task {
  std::size_t detection;
  Range columns;
  Range rows;  // one band of the box's rows
};

// The loops are plain float32 multiplies and adds, so wider vectors give the
// same bits; the AVX2 clone is picked at load time where the CPU has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void run(const Task& task, const Coefficients& pred, const Prototypes& protos,
         const MaskBox& box, const std::vector<Tap>& tx, const std::vector<Tap>& ty,
         const Planes& dst) {
  const std::size_t x_first = tx[task.columns.begin].i0;
  const std::size_t x_last = tx[task.columns.end - 1].i1;
  const std::size_t y_first = ty[task.rows.begin].i0;
  const std::size_t y_last = ty[task.rows.end - 1].i1;
  const std::size_t cols = x_last - x_first + 1;
  const std::size_t rows = y_last - y_first + 1;
  const std::size_t width = task.columns.end - task.columns.begin;
  const std::size_t plane = static_cast<std::size_t>(protos.height * protos.width);
  const std::size_t coefficient0 = static_cast<std::size_t>(pred.channels - protos.masks);

  // Logits of the tapped prototype pixels, each summed over m in order from
  // 0.0; the loop over m is outside only to sweep contiguous memory.
  std::vector<float> logits(rows * cols, 0.0f);
  for (std::size_t m = 0; m < protos.masks; ++m) {
    const float c = pred.data[(coefficient0 + m) * pred.anchors + box.index];
    const float* proto = protos.data.data() + m * plane;
    for (std::size_t r = 0; r < rows; ++r) {
      const float* src = proto + (y_first + r) * protos.width + x_first;
      float* acc = logits.data() + r * cols;
      for (std::size_t k = 0; k < cols; ++k) acc[k] = acc[k] + c * src[k];
    }
  }

  // Along x once per tapped prototype row: a = hx * L(y, x0) + lx * L(y, x1').
  std::vector<float> along_x(rows * width);
  for (std::size_t r = 0; r < rows; ++r) {
    const float* l = logits.data() + r * cols;
    float* out = along_x.data() + r * width;
    for (std::size_t k = 0; k < width; ++k) {
      const Tap& t = tx[task.columns.begin + k];
      out[k] = t.high * l[t.i0 - x_first] + t.low * l[t.i1 - x_first];
    }
  }

  // Along y once per output row: value = hy * a + ly * b, then > 0.
  std::uint8_t* base = dst.data.data() + task.detection * dst.height * dst.width;
  for (std::size_t v = task.rows.begin; v < task.rows.end; ++v) {
    // Locals, not the tap: a byte store may alias any object, which would
    // force a reload of the weights after every pixel.
    const Tap& t = ty[v];
    const float hy = t.high, ly = t.low;
    const float* a = along_x.data() + (t.i0 - y_first) * width;
    const float* b = along_x.data() + (t.i1 - y_first) * width;
    std::uint8_t* out = base + v * dst.width + task.columns.begin;
    for (std::size_t k = 0; k < width; ++k) {
      const float value = hy * a[k] + ly * b[k];
      out[k] = value > 0.0f ? 1 : 0;
    }
  }
}

}  // namespace

void build(const Coefficients& pred, const Prototypes& protos, std::span<const MaskBox> boxes,
           const MaskGeometry& geometry, const Planes& dst) {
  const std::vector<Tap> tx =
      taps(dst.width, geometry.ratio, geometry.pad_x, protos.width, geometry.in_w);
  const std::vector<Tap> ty =
      taps(dst.height, geometry.ratio, geometry.pad_y, protos.height, geometry.in_h);
  std::vector<Task> tasks;
  for (std::size_t d = 0; d < boxes.size(); ++d) {
    const Range columns = inside(tx, boxes[d].x1, boxes[d].x2);
    const Range rows = inside(ty, boxes[d].y1, boxes[d].y2);
    if (columns.begin == columns.end) continue;
    for (std::size_t v = rows.begin; v < rows.end; v += kBandRows)
      tasks.push_back({d, columns, {v, std::min(v + kBandRows, rows.end)}});
  }
  parallel::parallel_for(0, tasks.size(), [&](std::size_t i) {
    const Task& task = tasks[i];
    run(task, pred, protos, boxes[task.detection], tx, ty, dst);
  });
}

}  // namespace corvane::postprocess::masks
