#include "preprocess/rtmpose/float32.hpp"

#include "preprocess/yolov5/classify.hpp"

namespace corvane::preprocess::rtmpose {

Letterbox pose_input(const Image& src, const Planes& dst, float padding_rate) {
  const Letterbox box = fit(src.width, src.height, dst.width, dst.height,
                            margin(padding_rate, src.width), margin(padding_rate, src.height));
  letterbox(src, dst, box, yolov5::classify_values());
  return box;
}

}  // namespace corvane::preprocess::rtmpose
