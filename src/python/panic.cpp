#include "python/panic.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvane::python {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when the native code called from Python fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_type() {
  if (!g_panic_type) {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (!type) {
      PyErr_Print();
      std::fputs(messages::kNoPanicType, stderr);
      std::abort();
    }
    g_panic_type = type;  // kept for the life of the process
  }
  return g_panic_type;
}

void raise_panic(const Panic& failure) noexcept {
  const char* message =
      failure.message().empty() ? messages::kNoMessage : failure.message().c_str();
  std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", failure.thread_name().c_str(),
               failure.where().file_name(), static_cast<unsigned>(failure.where().line()),
               static_cast<unsigned>(failure.where().column()), message);
  // The failure is a C++ exception thrown where it arose (on a worker too), so
  // a debugger stopping at every throw shows the stack of its origin.
  std::fputs(
      "note: run under gdb with `catch throw` to obtain a backtrace of where the "
      "failure arose\n",
      stderr);
  std::fflush(stderr);
  PyObject* text = PyUnicode_FromString(message);
  if (!text) return;  // MemoryError is pending instead
  PyErr_SetObject(panic_type(), text);
  Py_DECREF(text);
}

}  // namespace corvane::python
