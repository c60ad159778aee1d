#include "postprocess/yolov5.hpp"

#include "core/simd.hpp"
#include "postprocess/decode.hpp"

#include <algorithm>

namespace corvane::postprocess::yolov5 {
namespace {

// Position of the objectness and of the first class score in a row.
constexpr std::uint64_t kObjectness = 4;
constexpr std::uint64_t kFirstClass = 5;

using simd::kLanes;

// The running maximum of scores[j] * obj over j, started at 0 and moved only
// by a strictly greater product. Its value does not depend on the order of
// the comparisons (it is the largest positive product, or 0), so the products
// are compared lane by lane and the lanes folded afterwards, which removes the
// serial dependency of a one-by-one scan. Every clone computes the same IEEE
// products and comparisons, so all give the same bits.
CORVANE_CLONES
float best_product(const float* scores, std::uint64_t count, float obj) {
  std::uint64_t j = 0;
  float best = 0.0f;
  if (count >= kLanes) {
    simd::Floats lanes = {}, v;
    const simd::Floats scale = simd::Floats{} + obj;
    for (; j + kLanes <= count; j += kLanes) {
      simd::load(v, scores + j);
      v = v * scale;
      lanes = v > lanes ? v : lanes;
    }
    for (std::uint64_t l = 0; l < kLanes; ++l) best = lanes[l] > best ? lanes[l] : best;
  }
  for (; j < count; ++j) {
    const float v = scores[j] * obj;
    best = v > best ? v : best;
  }
  return best;
}

// Rows tested for objectness before any of them is decoded.
constexpr std::uint64_t kBatchRows = 512;

void decode_rows(const float* block, std::uint64_t row_len, std::uint64_t num_classes,
                 float conf_threshold, std::uint64_t begin, std::uint64_t end,
                 std::vector<Detection>& out) {
  std::uint64_t passing[kBatchRows];
  for (std::uint64_t r0 = begin; r0 < end; r0 += kBatchRows) {
    const std::uint64_t r1 = std::min(end, r0 + kBatchRows);
    // First the objectness of every row, without a branch: most rows fail
    // here, having touched one cache line, and the loads stream at full rate
    // instead of restarting after each mispredicted passing row.
    std::uint64_t count = 0;
    for (std::uint64_t i = r0; i < r1; ++i) {
      passing[count] = i;
      count += !(conf_threshold > block[i * row_len + kObjectness]);
    }
    for (std::uint64_t k = 0; k < count; ++k) {
      const std::uint64_t i = passing[k];
      const float* row = block + i * row_len;
      const float obj = row[kObjectness];
      const float* scores = row + kFirstClass;
      const float best = best_product(scores, num_classes, obj);
      if (conf_threshold > best) continue;
      // A passing row with no class column has no bucket to go to.
      if (num_classes == 0) panic_index_out_of_bounds(0, 0);
      // The class is where a one-by-one scan would have stopped moving: the
      // first product equal to the maximum (class 0 when the maximum is 0).
      std::uint64_t cls = 0;
      // Bounded by the class count: another writer may have changed the row
      // since the maximum was taken, and then no class holds it.
      if (best > 0.0f) {
        while (cls < num_classes && !(scores[cls] * obj == best)) ++cls;
        if (cls == num_classes) cls = 0;
      }
      const Corners box = corners(row[0], row[1], row[2], row[3]);
      out.push_back({box.x1, box.y1, box.x2, box.y2, static_cast<std::uint32_t>(cls), best, i});
    }
  }
}

std::vector<Detection> decode_image(std::span<const float> block, std::uint64_t rows,
                                    std::uint64_t row_len, float iou_threshold,
                                    float conf_threshold) {
  // A row shorter than the objectness column means a negative class count.
  if (row_len < kFirstClass) panic_capacity_overflow();
  const std::uint64_t num_classes = row_len - kFirstClass;
  return collect_and_suppress<Detection>(
      rows, iou_threshold,
      [&](std::uint64_t begin, std::uint64_t end, std::vector<Detection>& out) {
        decode_rows(block.data(), row_len, num_classes, conf_threshold, begin, end, out);
      });
}

}  // namespace

std::vector<std::vector<Detection>> decode_yolov5_batch(std::span<const float> data,
                                                        std::uint64_t images, std::uint64_t rows,
                                                        std::uint64_t row_len, float iou_threshold,
                                                        float conf_threshold) {
  return for_each_image(data, images, rows, row_len, [&](std::span<const float> block) {
    return decode_image(block, rows, row_len, iou_threshold, conf_threshold);
  });
}

}  // namespace corvane::postprocess::yolov5
