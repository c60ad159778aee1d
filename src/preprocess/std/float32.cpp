#include "preprocess/std/float32.hpp"

namespace corvane::preprocess::mean_std {

PlaneValues values(const std::array<float, 3>& mean, const std::array<float, 3>& stddev) {
  PlaneValues v;
  for (int plane = 0; plane < 3; ++plane) {
    const int k = 2 - plane;
    for (int b = 0; b < 256; ++b) v[plane][b] = (static_cast<float>(b) - mean[k]) / stddev[k];
  }
  return v;
}

Letterbox standardise(const Image& src, const Planes& dst, const std::array<float, 3>& mean,
                      const std::array<float, 3>& stddev) {
  const Letterbox box = fit(src.width, src.height, dst.width, dst.height);
  letterbox(src, dst, box, values(mean, stddev));
  return box;
}

}  // namespace corvane::preprocess::mean_std
