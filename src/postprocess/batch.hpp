// How the decoders walk a batch: one pool task per image, and inside an
// image the rows or anchors cut into chunks that the pool may spread over its
// workers. Chunk outputs are joined in chunk order, so the candidates of an
// image come out in ascending index whatever the split.
#pragma once

#include "core/concatenate.hpp"
#include "core/panic.hpp"
#include "parallel/pool.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace corvane::postprocess {

// Image b's block of `block_len` values. A buffer shorter than the batch (a
// zero extent after the ones that locate images) fails like a slice whose end
// is past the buffer.
inline std::span<const float> image_block(std::span<const float> data, std::uint64_t b,
                                          std::uint64_t block_len) {
  const std::uint64_t begin = checked_mul(b, block_len);
  std::uint64_t end;
  if (__builtin_add_overflow(begin, block_len, &end)) panic_capacity_overflow();
  check_range_end(end, data.size());
  return data.subspan(begin, block_len);
}

// Rows or anchors per chunk: enough work per task to amortise its scheduling,
// small enough that one image spreads over the workers.
inline constexpr std::uint64_t kPositionChunk = 1024;

// decode_range(begin, end, out) appends the candidates of positions
// [begin, end) to out, in ascending position. Returns the candidates of
// [0, count) in order.
template <class R, class DecodeRange>
std::vector<R> collect_in_chunks(std::uint64_t count, const DecodeRange& decode_range) {
  const std::uint64_t chunks = count / kPositionChunk + (count % kPositionChunk != 0);
  if (chunks <= 1) {
    std::vector<R> out;
    decode_range(std::uint64_t{0}, count, out);
    return out;
  }
  auto parts = parallel::parallel_map_collect(
      std::size_t{0}, static_cast<std::size_t>(chunks), [&decode_range, count](std::size_t c) {
        std::vector<R> part;
        const std::uint64_t begin = c * kPositionChunk;
        decode_range(begin, std::min(count, begin + kPositionChunk), part);
        return part;
      });
  return concatenate(std::move(parts));
}

// The images worth running of a batch whose image blocks have `block_len`
// values. Image b fails once its block ends past the buffer, so every image
// after the first short one could only report a failure of a higher index,
// which is never the one surfaced; leaving them out keeps a huge batch over a
// short (zero-size) buffer from allocating a result slot per image first.
inline std::uint64_t images_to_decode(std::uint64_t images, std::uint64_t data_len,
                                      std::uint64_t extent_a, std::uint64_t extent_b) {
  std::uint64_t block_len;
  // Every image fails computing its block length; image 0 is reported.
  if (__builtin_mul_overflow(extent_a, extent_b, &block_len))
    return std::min<std::uint64_t>(images, 1);
  if (block_len == 0) return images;
  return std::min(images, data_len / block_len + 1);
}

// decode_image(block) for the block of extent_a * extent_b values of every
// image b of [0, images), in image order. Images are the pool tasks. A lone
// image is one pool operation too, so that its own loops (chunks, then
// classes) are timed as a whole when the pool decides whether waking a
// worker pays.
template <class DecodeImage>
auto for_each_image(std::span<const float> data, std::uint64_t images, std::uint64_t extent_a,
                    std::uint64_t extent_b, const DecodeImage& decode_image) {
  const auto decode_at = [&](std::size_t b) {
    return decode_image(image_block(data, b, checked_mul(extent_a, extent_b)));
  };
  using Result = std::invoke_result_t<const decltype(decode_at)&, std::size_t>;
  const std::uint64_t run = images_to_decode(images, data.size(), extent_a, extent_b);
  if (run != 1)
    return parallel::parallel_map_collect(std::size_t{0}, static_cast<std::size_t>(run), decode_at);
  std::vector<Result> out;
  out.push_back(parallel::run_in_pool([&decode_at] { return decode_at(std::size_t{0}); }));
  return out;
}

}  // namespace corvane::postprocess
