#include "python/entries/entries.hpp"

#include "preprocess/values.hpp"

#include <cstdint>

namespace corvane::python::entries {
namespace {

// The source image and the destination planes of one call, taken in the
// order the failures are reported: the four extents (bounds panics for too
// few dimensions), the source's and then the destination's contiguous
// buffer, and only then the shape checks that keep the kernel inside both
// buffers. Nothing has been written when any of them fails.
struct Buffers {
  preprocess::Image image;
  preprocess::Planes planes;
};

Buffers buffers(const ImageArray& src, const TensorArray& dst) {
  const std::uint64_t h = src.dim(0);
  const std::uint64_t w = src.dim(1);
  const std::uint64_t dh = dst.dim(1);
  const std::uint64_t dw = dst.dim(2);
  const auto pixels = src.data();
  const auto values = dst.data();

  if (src.ndim() != 3 || src.dim(2) != 3)
    raise(PyExc_ValueError,
          std::string(src.name()) + " must have shape (H, W, 3), got " + shape_text(src));
  // At least three planes, and at least 3 * DH * DW values also when a
  // trailing dimension of a (3, DH, DW, ...) array is 0.
  std::uint64_t plane, needed;
  const bool fits = !__builtin_mul_overflow(dh, dw, &plane) &&
                    !__builtin_mul_overflow(plane, std::uint64_t{3}, &needed) &&
                    values.size() >= needed;
  if (dst.dim(0) < 3 || !fits)
    raise(PyExc_ValueError, std::string(dst.name()) + " must have at least 3 planes of " +
                                std::to_string(dh) + "x" + std::to_string(dw) +
                                " values, got shape " + shape_text(dst));
  return {{pixels, h, w}, {values, dh, dw}};
}

}  // namespace

Letterbox yolov5_det_preprocess(ImageArray src, TensorArray dst) {
  const Buffers b = buffers(src, dst);
  return preprocess::detector_input(b.image, b.planes);
}

Letterbox yolov5_cls_preprocess(ImageArray src, TensorArray dst) {
  const Buffers b = buffers(src, dst);
  return preprocess::classifier_input(b.image, b.planes);
}

Letterbox std_preprocess(ImageArray src, TensorArray dst, std::array<float, 3> mean_val,
                         std::array<float, 3> std_val) {
  const Buffers b = buffers(src, dst);
  return preprocess::standardised_input(b.image, b.planes, mean_val, std_val);
}

Letterbox rtmpose_preprocess(ImageArray src, TensorArray dst, float padding_rate) {
  const Buffers b = buffers(src, dst);
  return preprocess::pose_input(b.image, b.planes, padding_rate);
}

}  // namespace corvane::python::entries
