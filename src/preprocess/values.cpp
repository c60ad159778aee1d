#include "preprocess/values.hpp"

namespace corvane::preprocess {
namespace {

Letterbox fitted(const Image& src, const Planes& dst, const PlaneValues& values,
                 std::uint64_t margin_w = 0, std::uint64_t margin_h = 0) {
  const Letterbox box = fit(src.width, src.height, dst.width, dst.height, margin_w, margin_h);
  letterbox(src, dst, box, values);
  return box;
}

}  // namespace

const PlaneValues& unit_values() {
  static const PlaneValues values = [] {
    PlaneValues v{};
    for (std::size_t b = 0; b < 256; ++b) v[0][b] = static_cast<float>(b) / 255.0f;
    v[1] = v[0];
    v[2] = v[0];
    return v;
  }();
  return values;
}

PlaneValues mean_std_values(const std::array<float, 3>& mean, const std::array<float, 3>& stddev) {
  PlaneValues v;
  for (std::size_t plane = 0; plane < 3; ++plane) {
    const std::size_t k = 2 - plane;
    for (std::size_t b = 0; b < 256; ++b)
      v[plane][b] = (static_cast<float>(b) - mean[k]) / stddev[k];
  }
  return v;
}

const PlaneValues& imagenet_values() {
  static const PlaneValues values = mean_std_values(kImagenetMean, kImagenetStd);
  return values;
}

Letterbox detector_input(const Image& src, const Planes& dst) {
  return fitted(src, dst, unit_values());
}

Letterbox classifier_input(const Image& src, const Planes& dst) {
  return fitted(src, dst, imagenet_values());
}

Letterbox standardised_input(const Image& src, const Planes& dst,
                             const std::array<float, 3>& mean,
                             const std::array<float, 3>& stddev) {
  return fitted(src, dst, mean_std_values(mean, stddev));
}

Letterbox pose_input(const Image& src, const Planes& dst, float padding_rate) {
  return fitted(src, dst, imagenet_values(), margin(padding_rate, src.width),
                margin(padding_rate, src.height));
}

}  // namespace corvane::preprocess
