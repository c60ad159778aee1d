#include "python/entries/entries.hpp"

#include "preprocess/padding.hpp"

namespace corvane::python::entries {

Padding get_padding(std::int32_t src_w, std::int32_t src_h, std::int32_t width,
                    std::int32_t height) {
  return preprocess::padding(src_w, src_h, width, height);
}

AutoResize get_auto_resize(std::int32_t src_w, std::int32_t src_h, std::int32_t width,
                           std::int32_t height) {
  return preprocess::auto_resize(src_w, src_h, width, height);
}

}  // namespace corvane::python::entries
