#include "preprocess/yolov5/classify.hpp"

#include "preprocess/std/float32.hpp"

namespace corvane::preprocess::yolov5 {

const PlaneValues& classify_values() {
  static const PlaneValues values = mean_std::values(kImagenetMean, kImagenetStd);
  return values;
}

Letterbox classify(const Image& src, const Planes& dst) {
  const Letterbox box = fit(src.width, src.height, dst.width, dst.height);
  letterbox(src, dst, box, classify_values());
  return box;
}

}  // namespace corvane::preprocess::yolov5
