#include "entries/entries.hpp"
#include "preprocess/padding.hpp"

namespace corvane::entries {

PyObject* get_padding(Call& call) {
  const auto src_w = call.i32("src_w"), src_h = call.i32("src_h");
  const auto width = call.i32("width"), height = call.i32("height");
  const auto p = preprocess::padding(src_w, src_h, width, height);
  return tuple(p.ratio, p.left, p.top, p.right, p.bottom).release();
}

PyObject* get_auto_resize(Call& call) {
  const auto src_w = call.i32("src_w"), src_h = call.i32("src_h");
  const auto width = call.i32("width"), height = call.i32("height");
  const auto r = preprocess::auto_resize(src_w, src_h, width, height);
  return tuple(r.ratio, r.new_w, r.new_h).release();
}

}  // namespace corvane::entries
