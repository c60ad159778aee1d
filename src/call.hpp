// One call of a module function: its arguments bound to the parameters, the
// conversions by parameter kind, and the array borrows it holds.
//
// An entry converts its arguments in parameter order by calling the accessors
// below; every accessor applies the "argument '{name}': " prefix to a
// TypeError of its conversion. Borrows are given back by release_arrays()
// (or the destructor), writable ones first.
#pragma once

#include "arrays.hpp"
#include "core/records.hpp"
#include "object.hpp"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvane {

struct Signature {
  const char* name;                    // the function's Python name
  std::vector<std::string_view> params;  // all positional-or-keyword, all required
};

class Call {
 public:
  // Binds the vectorcall arguments to the parameters; raises the binding
  // TypeErrors.
  Call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
       PyObject* kwnames);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // The bound object itself (borrowed reference).
  PyObject* object(std::string_view param) const;

  std::int32_t i32(std::string_view param);
  std::uint32_t u32(std::string_view param);
  std::uint64_t u64(std::string_view param);
  float f32(std::string_view param);
  std::vector<bool> bools(std::string_view param);
  std::vector<std::uint64_t> u64s(std::string_view param);
  // Exactly three numbers (sequence check, length 3, items by index).
  std::array<float, 3> f32x3(std::string_view param);
  std::vector<ScalePad> scale_pads(std::string_view param);
  // A non-negative int; a negative one or one beyond 64 bits is `limit`
  // itself, so that a range check of the caller refuses it.
  std::uint64_t index(std::string_view param, std::uint64_t limit);
  // Sequences whose items 0-3 are numbers (the box) and item 6 an int (the
  // anchor index); a ValueError for a short item or a negative index.
  std::vector<MaskBox> mask_boxes(std::string_view param);
  // Exactly two positive ints (ValueError otherwise).
  std::array<std::uint64_t, 2> positive_pair(std::string_view param);
  // (finite positive ratio, non-negative int, non-negative int), ValueError
  // otherwise.
  ScalePad letterbox(std::string_view param);

  // Accepts a NumPy array: const T takes a shared borrow, T an exclusive one.
  template <class T>
  Array<T> array(std::string_view param);

  // Gives back every borrow of the call, writable ones first.
  void release_arrays() noexcept;

 private:
  std::size_t index_of(std::string_view param) const;
  template <class F>
  auto convert(std::string_view param, F&& f) -> decltype(f(static_cast<PyObject*>(nullptr)));

  struct Borrow {
    PyObject* array;
    bool exclusive;
  };
  const Signature& signature_;
  std::array<PyObject*, 8> bound_{};
  std::vector<Borrow> borrows_;
};

}  // namespace corvane
