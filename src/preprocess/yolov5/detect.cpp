#include "preprocess/yolov5/detect.hpp"

namespace corvane::preprocess::yolov5 {

const PlaneValues& detect_values() {
  static const PlaneValues values = [] {
    PlaneValues v{};
    for (int b = 0; b < 256; ++b) v[0][b] = static_cast<float>(b) / 255.0f;
    v[1] = v[0];
    v[2] = v[0];
    return v;
  }();
  return values;
}

Letterbox detect(const Image& src, const Planes& dst) {
  const Letterbox box = fit(src.width, src.height, dst.width, dst.height);
  letterbox(src, dst, box, detect_values());
  return box;
}

}  // namespace corvane::preprocess::yolov5
