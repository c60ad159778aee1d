#include "python/errors.hpp"

#include "python/object.hpp"

namespace corvane::python {

void throw_python_error() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::kNoExceptionSet);
  throw PyErrorAlreadySet{};
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_python_error();
}

void raise_value(std::string_view param, const std::string& message) {
  raise(PyExc_ValueError, "argument '" + std::string(param) + "': " + message);
}

#if PY_VERSION_HEX >= 0x030C0000

ErrorScope::ErrorScope() noexcept : exception_(PyErr_GetRaisedException()) {}

void ErrorScope::set_pending(PyObject* exception) noexcept { PyErr_SetRaisedException(exception); }

#else

// The 3.12 forms: the value normalised to an instance, its traceback kept on it.
ErrorScope::ErrorScope() noexcept {
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (value && trace) PyException_SetTraceback(value, trace);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  exception_ = value;
}

void ErrorScope::set_pending(PyObject* exception) noexcept {
  if (!exception) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
}

#endif

std::string type_qualname(PyObject* obj) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  const char* utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8;
}

void prefix_type_error(std::string_view param) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  ErrorScope pending;
  if (Py_TYPE(pending.exception()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return;
  Ref error = Ref::steal(pending.take());
  Ref text = checked(PyObject_Str(error.get()));
  const std::string prefix = "argument '" + std::string(param) + "': ";
  Ref message = checked(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
  Ref replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  // Setting the cause, even to none, also suppresses the context in reports;
  // setting it pending (rather than raising it) keeps the replacement free of
  // a context taken from whatever exception the caller is handling.
  PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));  // steals the cause
  ErrorScope::set_pending(replacement.release());
}

std::string take_error_text() {
  ErrorScope pending;
  Ref error = Ref::steal(pending.take());
  std::string text = "unknown error";
  if (error) {
    Ref str = Ref::steal(PyObject_Str(error.get()));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    text = std::string(Py_TYPE(error.get())->tp_name) + ": " + (utf8 ? utf8 : "<unprintable>");
  }
  PyErr_Clear();
  return text;
}

}  // namespace corvane::python
