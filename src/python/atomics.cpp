#include "python/atomics.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace corvane::python::atomics {
namespace {

// An unsigned byte in the struct-module notation: "B" or "c", alone or
// behind a byte-order mark that means this machine's order.
bool is_u8_format(const char* format) {
  if (format == nullptr) return true;
  const char native_mark = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == native_mark) ++format;
  return std::strcmp(format, "B") == 0 || std::strcmp(format, "c") == 0;
}

}  // namespace

SharedWord::SharedWord(PyObject* data_ptr) {
  if (PyObject_GetBuffer(data_ptr, &view_, PyBUF_FULL_RO) != 0) throw_python_error();
  // From here the destructor will not run if we throw, so release by hand.
  try {
    if (view_.shape == nullptr) raise(PyExc_BufferError, messages::kShapeIsNull);
    if (view_.strides == nullptr) raise(PyExc_BufferError, messages::kStridesIsNull);
    if (view_.itemsize != 1 || !is_u8_format(view_.format))
      raise(PyExc_BufferError, messages::kNotU8);
    // The word is written in place: an immutable object's bytes must never
    // change, and the four bytes must all belong to the buffer and be one
    // naturally aligned word for the atomic instructions.
    if (view_.readonly) raise(PyExc_BufferError, messages::kNotWritable);
    if (view_.len < 4)
      raise(PyExc_ValueError,
            "buffer must be at least 4 bytes long (got " + std::to_string(view_.len) + ")");
    // A strided or indirect view does not own the bytes that follow its
    // first element (with a negative stride they may lie past its memory).
    if (!PyBuffer_IsContiguous(&view_, 'A'))
      raise(PyExc_ValueError, messages::kNotContiguousBuffer);
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % 4 != 0)
      raise(PyExc_ValueError, messages::kNotAligned);
  } catch (...) {
    PyBuffer_Release(&view_);
    throw;
  }
}

SharedWord::~SharedWord() { PyBuffer_Release(&view_); }

}  // namespace corvane::python::atomics
