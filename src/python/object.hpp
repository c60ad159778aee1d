// Owned Python references and the conversion of results to Python objects.
// Only the files of src/python/ include Python headers.
#pragma once

#include "core/messages.hpp"
#include "core/records.hpp"
#include "python/errors.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::python {

// Owns one strong reference. `steal` takes over a new reference, `borrow`
// adds one of its own.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference from an interpreter call, or the pending error thrown.
inline Ref checked(PyObject* p) {
  if (!p) throw_python_error();
  return Ref::steal(p);
}

// Python values of the internal scalars (floats widen exactly).
inline Ref to_py(float v) { return checked(PyFloat_FromDouble(static_cast<double>(v))); }
inline Ref to_py(double v) { return checked(PyFloat_FromDouble(v)); }
inline Ref to_py(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref to_py(std::int32_t v) { return checked(PyLong_FromLong(v)); }
inline Ref to_py(std::uint32_t v) { return checked(PyLong_FromUnsignedLong(v)); }
inline Ref to_py(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
inline Ref to_py(Ref&& v) { return std::move(v); }

// Python values of the result records (defined in results.cpp): tuples, with
// the field order each record documents.
Ref to_py(const Letterbox& box);        // (ratio, pad_x, pad_y), paddings as their low 32 bits
Ref to_py(const Padding& padding);      // (ratio, left, top, right, bottom)
Ref to_py(const AutoResize& resize);    // (ratio, new_w, new_h)
Ref to_py(const Detection& d);          // (x1, y1, x2, y2, class_id, score, index)
Ref to_py(const PropertyValue& p);      // (choice, score)
Ref to_py(const PropertyDetection& d);  // ((x1, y1, x2, y2, class_id, score), [property, ...])
Ref to_py(const Keypoint& k);           // (x, y, score)
Ref to_py(const PoseDetection& p);      // (x1, y1, x2, y2, class_id, score, index, [keypoint, ...])
Ref to_py(const Exchange& e);           // (ok, value)
Ref to_py(const OrientedDetection& d);  // (cx, cy, w, h, angle, class_id, score, index)
Ref to_py(const AffineCrop& c);         // (cx, cy, sw, sh)

template <class T>
Ref to_py(const std::vector<T>& items);
template <class T, std::size_t N>
Ref to_py(const std::array<T, N>& items);

template <class T>
using As = std::type_identity<T>;

// The annotation of each result in the type stub, which the build checks
// against the function table (tools/check_stub.py).
inline std::string result_type(As<void>) { return "None"; }
inline std::string result_type(As<bool>) { return "bool"; }
inline std::string result_type(As<std::uint32_t>) { return "int"; }
inline std::string result_type(As<Letterbox>) { return "_Letterbox"; }
inline std::string result_type(As<Padding>) { return "tuple[float, int, int, int, int]"; }
inline std::string result_type(As<AutoResize>) { return "tuple[float, int, int]"; }
inline std::string result_type(As<Detection>) { return "_Detection"; }
inline std::string result_type(As<PropertyDetection>) { return "_PropertyDetection"; }
inline std::string result_type(As<Keypoint>) { return "_Keypoint"; }
inline std::string result_type(As<PoseDetection>) { return "_PoseDetection"; }
inline std::string result_type(As<Exchange>) { return "tuple[bool, int]"; }
inline std::string result_type(As<OrientedDetection>) { return "_OrientedDetection"; }
inline std::string result_type(As<AffineCrop>) { return "_AffineCrop"; }
template <class T>
std::string result_type(As<std::vector<T>>);
template <class T, std::size_t N>
std::string result_type(As<std::array<T, N>>);
template <class T>
std::string result_type(As<std::vector<T>>) {
  return "list[" + result_type(As<T>{}) + "]";
}
template <class T, std::size_t N>
std::string result_type(As<std::array<T, N>>) {
  return "list[" + result_type(As<T>{}) + "]";
}

// A tuple of the given values, in order.
template <class... T>
Ref tuple(T&&... values) {
  Ref out = checked(PyTuple_New(sizeof...(T)));
  Py_ssize_t i = 0;
  // Items are converted one by one; a failure leaves the tuple with NULL
  // slots, which its deallocation tolerates.
  ((PyTuple_SET_ITEM(out.get(), i++, to_py(std::forward<T>(values)).release())), ...);
  return out;
}

// A list created at its final length and filled in place, item by item.
template <class Range>
Ref list_of(const Range& range) {
  Ref out = checked(PyList_New(static_cast<Py_ssize_t>(std::size(range))));
  Py_ssize_t i = 0;
  for (const auto& element : range) PyList_SET_ITEM(out.get(), i++, to_py(element).release());
  return out;
}

template <class T>
Ref to_py(const std::vector<T>& items) {
  return list_of(items);
}

template <class T, std::size_t N>
Ref to_py(const std::array<T, N>& items) {
  return list_of(items);
}

}  // namespace corvane::python
