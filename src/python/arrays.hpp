// NumPy array arguments: acceptance by type and element type, and the flat
// contiguous buffer a kernel computes on.
#pragma once

#include "python/object.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace corvane::python {

// A view of an accepted array argument. The Call that accepted it holds the
// array's reference and its borrow until the entry has returned.
template <class T>
class ArrayView {
 public:
  using Element = std::remove_const_t<T>;
  static_assert(std::is_same_v<Element, std::uint8_t> || std::is_same_v<Element, float>);

  explicit ArrayView(PyObject* array) noexcept : array_(array) {}

  std::size_t ndim() const noexcept;
  // Extent of dimension k; a missing dimension is the bounds panic
  // ("the len is {ndim} but the index is {k}").
  std::uint64_t dim(std::size_t k) const;
  // Product of all extents (1 for a 0-dimensional array).
  std::uint64_t size() const noexcept;
  // The elements in row-major order. Any array that is not C-contiguous, a
  // Fortran-ordered one too, is the NotContiguousError panic.
  std::span<T> data() const;

 private:
  PyObject* array_;
};

namespace arrays {

// Accepts `obj` as an array of element type T (uint8 or float32) and takes
// the borrow: shared for const T, exclusive for non-const T. Raises the
// TypeError of a wrong type (unprefixed) or the borrow panics.
template <class T>
void accept(PyObject* obj);

}  // namespace arrays
}  // namespace corvane::python
