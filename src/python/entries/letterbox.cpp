#include "python/entries/entries.hpp"

#include "preprocess/resize_linear.hpp"

#include <string>

namespace corvane::python::entries {

// Shapes and the fit are refused before the buffers are taken, so nothing
// has been written when any check fails.
Letterbox letterbox_linear(ImageArray src, TensorArray dst, std::uint8_t pad_value) {
  if (src.ndim() != 3 || src.dim(2) != 3 || src.dim(0) == 0 || src.dim(1) == 0)
    raise_value(src.name(),
                "expected a BGR image of shape (h, w, 3) with h, w >= 1, got " + shape_text(src));
  if (dst.ndim() != 3 || dst.dim(0) != 3 || dst.dim(1) == 0 || dst.dim(2) == 0)
    raise_value(dst.name(), "expected float32 planes of shape (3, H, W) with H, W >= 1, got " +
                                shape_text(dst));
  const std::uint64_t h = src.dim(0), w = src.dim(1), dh = dst.dim(1), dw = dst.dim(2);
  const Letterbox box = preprocess::linear_fit(w, h, dw, dh);
  if (box.new_w == 0 || box.new_h == 0)
    raise_value(src.name(), "a " + std::to_string(w) + "x" + std::to_string(h) +
                                " image fitted into " + std::to_string(dw) + "x" +
                                std::to_string(dh) + " is " + std::to_string(box.new_w) + "x" +
                                std::to_string(box.new_h) + " pixels: nothing to resample");
  const auto pixels = src.data();
  const auto values = dst.data();
  preprocess::letterbox_linear({pixels, h, w}, {values, dh, dw}, box, pad_value);
  return box;
}

}  // namespace corvane::python::entries
