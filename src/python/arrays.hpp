// NumPy array arguments: acceptance by type and element type, and the flat
// contiguous buffer a kernel computes on.
#pragma once

#include "python/object.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace corvane::python {

// A view of an accepted array argument: a private ndarray over the caller's
// memory, made when the argument was checked. Python code run by the
// conversion of a later argument can reinterpret the caller's array in place
// (its dtype, shape or strides); the private one is reachable by no Python
// code, so what the kernel reads is what was checked and borrowed. The Call
// that accepted it holds it and its borrow until the entry has returned.
template <class T>
class ArrayView {
 public:
  using Element = std::remove_const_t<T>;
  static_assert(std::is_same_v<Element, std::uint8_t> || std::is_same_v<Element, float>);

  ArrayView(PyObject* array, std::string_view name) noexcept : array_(array), name_(name) {}

  // The name of the parameter the array was passed as, for the messages that
  // refuse it.
  std::string_view name() const noexcept { return name_; }
  std::size_t ndim() const noexcept;
  // Extent of dimension k; a missing dimension is the bounds panic
  // ("the len is {ndim} but the index is {k}").
  std::uint64_t dim(std::size_t k) const;
  // Every extent, in order.
  std::vector<std::uint64_t> shape() const;
  // Product of all extents (1 for a 0-dimensional array).
  std::uint64_t size() const noexcept;
  // The elements in row-major order. Any array that is not C-contiguous, a
  // Fortran-ordered one too, is the NotContiguousError panic.
  std::span<T> data() const;

 private:
  PyObject* array_;
  std::string_view name_;
};

namespace arrays {

// Accepts `obj` as an array of element type T (uint8 or float32) and returns
// a new reference to a private view of it (same memory, shape and strides,
// element type exactly T, based on `obj`), on which it takes the borrow:
// shared for const T, exclusive for non-const T. The borrow is given back
// through that same view, so its key is the one it was taken with. Raises the
// TypeError of a wrong type (unprefixed) or the borrow panics.
template <class T>
Ref accept(PyObject* obj);

}  // namespace arrays
}  // namespace corvane::python
