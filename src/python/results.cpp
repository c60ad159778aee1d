#include "python/object.hpp"

namespace corvane::python {

Ref to_py(const Letterbox& box) {
  return tuple(box.ratio, static_cast<std::uint32_t>(box.pad_x),
               static_cast<std::uint32_t>(box.pad_y));
}

Ref to_py(const Padding& p) { return tuple(p.ratio, p.left, p.top, p.right, p.bottom); }

Ref to_py(const AutoResize& r) { return tuple(r.ratio, r.new_w, r.new_h); }

Ref to_py(const Detection& d) {
  return tuple(d.x1, d.y1, d.x2, d.y2, d.class_id, d.score, d.index);
}

Ref to_py(const PropertyValue& p) { return tuple(p.choice, p.score); }

Ref to_py(const PropertyDetection& d) {
  return tuple(tuple(d.x1, d.y1, d.x2, d.y2, d.class_id, d.score), list_of(d.properties));
}

Ref to_py(const Keypoint& k) { return tuple(k.x, k.y, k.score); }

Ref to_py(const PoseDetection& p) {
  const Detection& d = p.detection;
  return tuple(d.x1, d.y1, d.x2, d.y2, d.class_id, d.score, d.index, list_of(p.keypoints));
}

Ref to_py(const Exchange& e) { return tuple(e.ok, e.value); }

Ref to_py(const OrientedDetection& d) {
  return tuple(d.cx, d.cy, d.w, d.h, d.angle, d.class_id, d.score, d.index);
}
Ref to_py(const AffineCrop& c) { return tuple(c.cx, c.cy, c.sw, c.sh); }

}  // namespace corvane::python
