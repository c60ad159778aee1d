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
  // (byte - 0) / 255 is byte / 255 bit for bit: the subtraction is exact.
  static const PlaneValues values{{0.0f, 0.0f, 0.0f}, {255.0f, 255.0f, 255.0f}};
  return values;
}

PlaneValues mean_std_values(const std::array<float, 3>& mean, const std::array<float, 3>& stddev) {
  return {{mean[2], mean[1], mean[0]}, {stddev[2], stddev[1], stddev[0]}};
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

Letterbox standardised_input(const Image& src, const Planes& dst, const std::array<float, 3>& mean,
                             const std::array<float, 3>& stddev) {
  return fitted(src, dst, mean_std_values(mean, stddev));
}

Letterbox pose_input(const Image& src, const Planes& dst, float padding_rate) {
  return fitted(src, dst, imagenet_values(), margin(padding_rate, src.width),
                margin(padding_rate, src.height));
}

}  // namespace corvane::preprocess
