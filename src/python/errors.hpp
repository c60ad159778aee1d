// How a Python error travels through the C++ side of the module: it is set in
// the interpreter, then carried up to the entry wrapper as a C++ exception,
// which returns NULL to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

namespace corvane::python {

// Throws the pending Python error as PyErrorAlreadySet. A call into the
// interpreter that failed without setting one becomes SystemError, so that
// the wrapper never returns NULL with no error set.
[[noreturn]] void throw_python_error();

// A Python error is pending. Made only by throw_python_error(): every other
// way to fail towards Python (raise(), checked()) goes through it.
class PyErrorAlreadySet : public std::exception {
 public:
  const char* what() const noexcept override { return "a Python exception is pending"; }

 private:
  PyErrorAlreadySet() = default;
  friend void throw_python_error();
};

// Sets `type` with `message` and throws it.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// The ValueError "argument '{param}': {message}".
[[noreturn]] void raise_value(std::string_view param, const std::string& message);

// A TypeError (exactly that type) pending from converting `param` is raised
// again as a new TypeError "argument '{param}': ..." keeping its cause.
void prefix_type_error(std::string_view param);

// Qualified name of obj's type, as the type-mismatch messages show it.
std::string type_qualname(PyObject* obj);

// Text of the pending Python error ("Type: message"), clearing it.
std::string take_error_text();

// Holds the pending Python error (none is fine) from construction to the end
// of the scope, with no error set in between, and then sets it again, so that
// Python code can run meanwhile without losing or seeing it. The one place
// that knows how an error is held: as one exception object since 3.12, as
// (type, value, traceback) before.
class ErrorScope {
 public:
  ErrorScope() noexcept;
  ~ErrorScope() {
    if (restore_) set_pending(exception_);
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

  // The held exception (an instance), or null.
  PyObject* exception() const noexcept { return exception_; }
  // Hands the held exception (a new reference, or null) to the caller; it is
  // then not set again at the end of the scope.
  PyObject* take() noexcept {
    restore_ = false;
    PyObject* out = exception_;
    exception_ = nullptr;
    return out;
  }
  // Sets `exception` (stolen; null clears) as the pending error as it is: no
  // context is added to it, unlike raising it.
  static void set_pending(PyObject* exception) noexcept;

 private:
  PyObject* exception_ = nullptr;
  bool restore_ = true;
};

}  // namespace corvane::python
