#include "entries/entries.hpp"
#include "preprocess/letterbox.hpp"
#include "preprocess/rtmpose/float32.hpp"
#include "preprocess/std/float32.hpp"
#include "preprocess/yolov5/classify.hpp"
#include "preprocess/yolov5/detect.hpp"

#include <cstdint>
#include <string>

namespace corvane::entries {
namespace {

// Python's repr of the shape tuple: "(4, 5, 2)", "(5,)", "()".
template <class T>
std::string shape_text(const Array<T>& array) {
  std::string out = "(";
  for (std::size_t k = 0; k < array.ndim(); ++k) {
    if (k > 0) out += ", ";
    out += std::to_string(array.dim(k));
  }
  if (array.ndim() == 1) out += ",";
  return out + ")";
}

[[noreturn]] void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw PyErrorAlreadySet{};
}

// The source image and the destination planes of one call, taken in the
// order the failures are reported: the four extents (bounds panics for too
// few dimensions), the source's and then the destination's contiguous
// buffer, and only then the shape checks that keep the kernel inside both
// buffers. Nothing has been written when any of them fails.
struct Buffers {
  preprocess::Image image;
  preprocess::Planes planes;
};

Buffers buffers(const Array<const std::uint8_t>& src, const Array<float>& dst) {
  const std::uint64_t h = src.dim(0);
  const std::uint64_t w = src.dim(1);
  const std::uint64_t dh = dst.dim(1);
  const std::uint64_t dw = dst.dim(2);
  const auto pixels = src.data();
  const auto values = dst.data();

  if (src.ndim() != 3 || src.dim(2) != 3)
    raise_value_error("src must have shape (H, W, 3), got " + shape_text(src));
  // At least three planes, and at least 3 * DH * DW values also when a
  // trailing dimension of a (3, DH, DW, ...) array is 0.
  std::uint64_t plane, needed;
  const bool fits = !__builtin_mul_overflow(dh, dw, &plane) &&
                    !__builtin_mul_overflow(plane, std::uint64_t{3}, &needed) &&
                    values.size() >= needed;
  if (dst.dim(0) < 3 || !fits)
    raise_value_error("dst must have at least 3 planes of " + std::to_string(dh) + "x" +
                      std::to_string(dw) + " values, got shape " + shape_text(dst));
  return {{pixels, h, w}, {values, dh, dw}};
}

PyObject* result(Call& call, const preprocess::Letterbox& box) {
  call.release_arrays();
  // The paddings go back as their low 32 bits.
  return tuple(box.ratio, static_cast<std::uint32_t>(box.pad_x),
               static_cast<std::uint32_t>(box.pad_y))
      .release();
}

}  // namespace

PyObject* yolov5_det_preprocess(Call& call) {
  auto src = call.array<const std::uint8_t>("src");
  auto dst = call.array<float>("dst");
  const Buffers b = buffers(src, dst);
  return result(call, preprocess::yolov5::detect(b.image, b.planes));
}

PyObject* yolov5_cls_preprocess(Call& call) {
  auto src = call.array<const std::uint8_t>("src");
  auto dst = call.array<float>("dst");
  const Buffers b = buffers(src, dst);
  return result(call, preprocess::yolov5::classify(b.image, b.planes));
}

PyObject* std_preprocess(Call& call) {
  auto src = call.array<const std::uint8_t>("src");
  auto dst = call.array<float>("dst");
  const auto mean = call.f32x3("mean_val");
  const auto stddev = call.f32x3("std_val");
  const Buffers b = buffers(src, dst);
  return result(call, preprocess::mean_std::standardise(b.image, b.planes, mean, stddev));
}

PyObject* rtmpose_preprocess(Call& call) {
  auto src = call.array<const std::uint8_t>("src");
  auto dst = call.array<float>("dst");
  const float padding_rate = call.f32("padding_rate");
  const Buffers b = buffers(src, dst);
  return result(call, preprocess::rtmpose::pose_input(b.image, b.planes, padding_rate));
}

}  // namespace corvane::entries
