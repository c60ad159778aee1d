#include "postprocess/yolov5/detect.hpp"

#include "nms/candidates.hpp"

namespace corvane::postprocess::yolov5 {
namespace {

// Position of the objectness and of the first class score in a row.
constexpr std::uint64_t kObjectness = 4;
constexpr std::uint64_t kFirstClass = 5;

void decode_rows(const float* block, std::uint64_t row_len, std::uint64_t num_classes,
                 float conf_threshold, std::uint64_t begin, std::uint64_t end,
                 std::vector<nms::Detection>& out) {
  for (std::uint64_t i = begin; i < end; ++i) {
    const float* row = block + i * row_len;
    // Most rows fail here, having touched one cache line of the row.
    const float obj = row[kObjectness];
    if (conf_threshold > obj) continue;
    float best = 0.0f;
    std::uint64_t cls = 0;
    for (std::uint64_t j = 0; j < num_classes; ++j) {
      const float v = row[kFirstClass + j] * obj;
      if (v > best) {
        best = v;
        cls = j;
      }
    }
    if (conf_threshold > best) continue;
    // A passing row with no class column has no bucket to go to.
    if (num_classes == 0) panic_index_out_of_bounds(0, 0);
    const float hw = row[2] * 0.5f;
    const float hh = row[3] * 0.5f;
    out.push_back({row[0] - hw, row[1] - hh, row[0] + hw, row[1] + hh,
                   static_cast<std::uint32_t>(cls), best, i});
  }
}

}  // namespace

std::vector<nms::Detection> decode_yolov5_image(std::span<const float> block, std::uint64_t rows,
                                                std::uint64_t row_len, float iou_threshold,
                                                float conf_threshold) {
  // A row shorter than the objectness column means a negative class count.
  if (row_len < kFirstClass) panic_capacity_overflow();
  const std::uint64_t num_classes = row_len - kFirstClass;
  auto candidates = nms::collect_in_chunks<nms::Detection>(
      rows, [&](std::uint64_t begin, std::uint64_t end, std::vector<nms::Detection>& out) {
        decode_rows(block.data(), row_len, num_classes, conf_threshold, begin, end, out);
      });
  return nms::suppress_candidates(std::move(candidates), iou_threshold);
}

std::vector<std::vector<nms::Detection>> detect(std::span<const float> data, std::uint64_t images,
                                                std::uint64_t rows, std::uint64_t row_len,
                                                float iou_threshold, float conf_threshold) {
  return parallel::parallel_map_collect(std::size_t{0}, static_cast<std::size_t>(images),
                                        [&](std::size_t b) {
                                          const std::uint64_t block_len = nms::checked_mul(rows, row_len);
                                          return decode_yolov5_image(nms::image_block(data, b, block_len),
                                                                     rows, row_len, iou_threshold,
                                                                     conf_threshold);
                                        });
}

}  // namespace corvane::postprocess::yolov5
