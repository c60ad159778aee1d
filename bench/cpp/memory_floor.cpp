// The memory floor of the bilinear letterbox's benchmark cases: one pass
// that reads the frame rows the letterbox reads and writes the whole tensor,
// with no arithmetic, split over the process-wide pool into bands of
// destination rows as the letterbox splits them. No letterbox can take
// less. (The Python tables' floor, NumPy's fill, writes and does not read,
// on one thread.) The pool is sized by RAYON_NUM_THREADS: run it with 1 and
// with 2.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/simd.hpp"
#include "parallel/pool.hpp"
#include "timing.hpp"

namespace {

namespace simd = corvane::simd;

struct Case {
  const char* name;
  std::size_t width, height, side;
  std::size_t every;  // the letterbox reads every `every`-th frame row
};

using Chunk = simd::Vec<std::uint64_t, 8>;

// The bytes of rows [first, last) of the frame, OR-ed together.
CORVANE_CLONES void read_rows(const std::uint8_t* frame, std::size_t stride, std::size_t first,
                              std::size_t last, Chunk& acc) {
  for (std::size_t y = first; y < last; ++y)
    for (std::size_t x = 0; x + sizeof(Chunk) <= stride; x += sizeof(Chunk)) {
      Chunk v;
      simd::load(v, frame + y * stride + x);
      acc |= v;
    }
}

CORVANE_CLONES void fill_row(float* row, std::size_t n) { std::fill_n(row, n, 0.5f); }

}  // namespace

int main() {
  const std::size_t threads = corvane::parallel::num_threads();
  const char* env = std::getenv("RAYON_NUM_THREADS");
  std::printf(
      "letterbox memory floor (read the frame rows, write the tensor), %zu worker(s) "
      "(RAYON_NUM_THREADS=%s)\n",
      threads, env ? env : "unset");
  std::printf("%-40s %10s %10s\n", "case", "median us", "best us");
  const Case cases[] = {{"1280x720 -> 3x640x640", 1280, 720, 640, 1},
                        {"1920x1080 -> 3x640x640", 1920, 1080, 640, 3},
                        {"320x240 -> 3x640x640", 320, 240, 640, 1},
                        {"1096x847 -> 3x1024x1024", 1096, 847, 1024, 1}};
  std::atomic<std::uint64_t> sink{0};
  for (const Case& c : cases) {
    const std::size_t stride = c.width * 3, plane = c.side * c.side;
    std::vector<std::uint8_t> frame(c.height * stride, 7);
    // 16 bytes into a cache line, where NumPy's large arrays start.
    std::vector<float> tensor(3 * plane + 20);
    const auto address = reinterpret_cast<std::uintptr_t>(tensor.data());
    float* const out = tensor.data() + (64 - address % 64) % 64 / sizeof(float) + 4;
    const std::size_t read = (c.height + c.every - 1) / c.every;
    const std::size_t bands = std::min<std::size_t>(c.side, threads == 1 ? 1 : 4 * threads);
    const corvane::bench::Timing t = corvane::bench::measure(101, 20, [&] {
      corvane::parallel::parallel_for(0, bands, [&](std::size_t band) {
        const std::size_t begin = c.side * band / bands, end = c.side * (band + 1) / bands;
        Chunk acc{};
        // This band's frame rows, read at the pace of its tensor rows.
        const std::size_t from = read * band / bands, to = read * (band + 1) / bands;
        std::size_t done = from;
        for (std::size_t y = begin; y < end; ++y) {
          const std::size_t due = from + (to - from) * (y + 1 - begin) / (end - begin);
          for (; done < due; ++done)
            read_rows(frame.data(), stride, done * c.every, done * c.every + 1, acc);
          for (std::size_t p = 0; p < 3; ++p) fill_row(out + p * plane + y * c.side, c.side);
        }
        sink += acc[0];
      });
    });
    corvane::bench::print_row(c.name, t);
  }
  if (sink.load() == 42) std::puts("");  // keeps the reads observable
  return 0;
}
