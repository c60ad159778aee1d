// The parameter kinds of the module's functions and their conversions from
// Python objects. An entry declares each parameter by its C++ type; the
// binder (function.hpp) picks the conversion by that type, so a parameter
// type without one does not compile.
#pragma once

#include "core/records.hpp"
#include "python/arrays.hpp"
#include "python/call.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::python {

// Kinds beyond the plain C++ types.

// An image of a batch: an int >= 0. A negative one or one beyond 63 bits
// reads as UINT64_MAX, which every range check refuses.
struct BatchIndex {
  std::uint64_t value;
};

// Exactly two positive ints (a ValueError otherwise).
struct PositivePair {
  std::uint64_t first;
  std::uint64_t second;
};

// (finite ratio > 0, int >= 0, int >= 0) as the preprocessing functions
// return it (a ValueError otherwise).
struct LetterboxArgument {
  ScalePad value;
};

// The argument being converted: parameter k of a call.
struct Arg {
  Call& call;
  std::size_t k;
  PyObject* object() const noexcept { return call.object(k); }
  std::string_view name() const noexcept { return call.name(k); }
};

// A value an entry's messages name: the converted value and the name of its
// parameter, taken from the row so that renaming a parameter renames it in
// every message. (An array argument knows its name itself.)
template <class T>
struct Named {
  T value;
  std::string_view name;
};

PyObject* convert(const Arg& arg, As<PyObject*>);  // the object itself, borrowed
float convert(const Arg& arg, As<float>);
std::int32_t convert(const Arg& arg, As<std::int32_t>);
std::uint32_t convert(const Arg& arg, As<std::uint32_t>);
// 0..255; beyond it the OverflowError of every integer kind.
std::uint8_t convert(const Arg& arg, As<std::uint8_t>);
std::uint64_t convert(const Arg& arg, As<std::uint64_t>);
std::vector<bool> convert(const Arg& arg, As<std::vector<bool>>);
std::vector<std::uint64_t> convert(const Arg& arg, As<std::vector<std::uint64_t>>);
// Exactly three numbers (sequence check, length 3, items by index).
std::array<float, 3> convert(const Arg& arg, As<std::array<float, 3>>);
// A sequence of (ratio, pad_x, pad_y) tuples.
std::vector<ScalePad> convert(const Arg& arg, As<std::vector<ScalePad>>);
BatchIndex convert(const Arg& arg, As<BatchIndex>);
// Sequences whose items 0-3 are numbers (the box) and item 6 a whole number
// (the anchor index: an int, or an integral float as in a row of a NumPy
// array of detections); a ValueError for a short item or another index.
std::vector<MaskBox> convert(const Arg& arg, As<std::vector<MaskBox>>);
PositivePair convert(const Arg& arg, As<PositivePair>);
LetterboxArgument convert(const Arg& arg, As<LetterboxArgument>);

// Person boxes: sequences whose items 0-3 are finite numbers (x1, y1, x2, y2)
// with x1 <= x2, y1 <= y2 and not both sides 0; further items (a detection's
// class, score and index) are ignored. A ValueError otherwise.
std::vector<CropBox> convert(const Arg& arg, As<std::vector<CropBox>>);
// Crop regions as the crop preprocessing returns them: sequences of exactly
// four finite numbers (cx, cy, sw, sh), sw and sh > 0. A ValueError otherwise.
std::vector<AffineCrop> convert(const Arg& arg, As<std::vector<AffineCrop>>);

// A NumPy array: ArrayView<const T> takes a shared borrow, ArrayView<T> an
// exclusive one, both held by the call until it releases its arrays.
template <class T>
ArrayView<T> convert(const Arg& arg, As<ArrayView<T>>) {
  // Room for the record first: once the borrow is taken, keeping track of it
  // must not be able to fail, or the array would stay borrowed for good.
  arg.call.reserve_borrow();
  Ref view = arrays::accept<T>(arg.object());
  PyObject* kept = view.get();
  arg.call.keep_borrow(std::move(view), !std::is_const_v<T>);
  return ArrayView<T>(kept, arg.name());
}

template <class T>
Named<T> convert(const Arg& arg, As<Named<T>>) {
  return {convert(arg, As<T>{}), arg.name()};
}

// The annotation of each kind in the type stub, which the build checks
// against the function table (tools/check_stub.py).
constexpr std::string_view parameter_type(As<PyObject*>) { return "_Buffer"; }
constexpr std::string_view parameter_type(As<float>) { return "SupportsFloat"; }
constexpr std::string_view parameter_type(As<std::int32_t>) { return "SupportsIndex"; }
constexpr std::string_view parameter_type(As<std::uint32_t>) { return "SupportsIndex"; }
constexpr std::string_view parameter_type(As<std::uint8_t>) { return "SupportsIndex"; }
constexpr std::string_view parameter_type(As<std::uint64_t>) { return "SupportsIndex"; }
constexpr std::string_view parameter_type(As<BatchIndex>) { return "SupportsIndex"; }
constexpr std::string_view parameter_type(As<std::vector<bool>>) {
  return "Sequence[bool | np.bool_]";
}
constexpr std::string_view parameter_type(As<std::vector<std::uint64_t>>) {
  return "Sequence[SupportsIndex]";
}
constexpr std::string_view parameter_type(As<std::array<float, 3>>) {
  return "Sequence[SupportsFloat]";
}
constexpr std::string_view parameter_type(As<std::vector<ScalePad>>) {
  return "Sequence[tuple[SupportsFloat, SupportsIndex, SupportsIndex]]";
}
constexpr std::string_view parameter_type(As<std::vector<MaskBox>>) {
  return "Sequence[Sequence[SupportsFloat]]";
}
constexpr std::string_view parameter_type(As<PositivePair>) {
  return "tuple[SupportsIndex, SupportsIndex]";
}
constexpr std::string_view parameter_type(As<LetterboxArgument>) {
  return "tuple[SupportsFloat, SupportsIndex, SupportsIndex]";
}
constexpr std::string_view parameter_type(As<std::vector<CropBox>>) {
  return "Sequence[Sequence[SupportsFloat]]";
}
constexpr std::string_view parameter_type(As<std::vector<AffineCrop>>) {
  return "Sequence[Sequence[SupportsFloat]]";
}
template <class T>
constexpr std::string_view parameter_type(As<ArrayView<T>>) {
  return std::is_same_v<std::remove_const_t<T>, float> ? "_Tensor" : "_Image";
}
template <class T>
constexpr std::string_view parameter_type(As<Named<T>>) {
  return parameter_type(As<T>{});
}

// Parameter k of the call as a T; a TypeError of the conversion is prefixed
// with the parameter's name.
template <class T>
T convert_argument(Call& call, std::size_t k) {
  const Arg arg{call, k};
  try {
    return convert(arg, As<T>{});
  } catch (const PyErrorAlreadySet&) {
    prefix_type_error(arg.name());
    throw;
  }
}

}  // namespace corvane::python
