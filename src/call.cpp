#include "call.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "core/panic.hpp"

namespace corvane {
namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrorAlreadySet{};
}

[[noreturn]] void raise_mismatch(PyObject* obj, const char* target) {
  raise(PyExc_TypeError,
        "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

[[noreturn]] void raise_range() {
  raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    // Appended piece by piece: GCC 12 cannot bound the copy of a literal
    // prepended to a temporary string and warns (-Wrestrict).
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

std::int32_t to_i32(PyObject* obj) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
  if (v < INT32_MIN || v > INT32_MAX) raise_range();
  return static_cast<std::int32_t>(v);
}

std::uint64_t to_u64(PyObject* obj) {
  if (PyLong_Check(obj)) {
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorAlreadySet{};
    return v;
  }
  Ref index = checked(PyNumber_Index(obj));
  return to_u64(index.get());
}

std::uint32_t to_u32(PyObject* obj) {
  std::uint64_t v = to_u64(obj);
  if (v > UINT32_MAX) raise_range();
  return static_cast<std::uint32_t>(v);
}

float to_f32(PyObject* obj) {
  double v;
  if (PyFloat_CheckExact(obj)) {
    v = PyFloat_AS_DOUBLE(obj);
  } else {
    v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrorAlreadySet{};
  }
  return static_cast<float>(v);  // nearest float32; beyond its range an infinity
}

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
    return false;
  const char* dot = std::strrchr(type->tp_name, '.');
  std::string_view name = dot ? dot + 1 : type->tp_name;
  return name == "bool_" || name == "bool";
}

bool to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!type->tp_as_number || !type->tp_as_number->nb_bool)
      raise(PyExc_TypeError, "object of type '" + type_qualname(obj) +
                                 "' does not define a '__bool__' conversion");
    int truth = type->tp_as_number->nb_bool(obj);
    if (truth < 0) throw_python_error();
    return truth != 0;
  }
  raise_mismatch(obj, "PyBool");
}

// Items of a sequence argument (a str is refused), each converted by `item`.
template <class T, class F>
std::vector<T> to_vector(PyObject* obj, F item) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_mismatch(obj, "Sequence");
  std::vector<T> out;
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0)
    PyErr_Clear();
  else
    out.reserve(static_cast<std::size_t>(hint));
  Ref iter = checked(PyObject_GetIter(obj));
  while (Ref next = Ref::steal(PyIter_Next(iter.get()))) out.push_back(item(next.get()));
  if (PyErr_Occurred()) throw PyErrorAlreadySet{};
  return out;
}

ScalePad to_scale_pad(PyObject* obj) {
  if (!PyTuple_Check(obj)) raise_mismatch(obj, "PyTuple");
  Py_ssize_t n = PyTuple_GET_SIZE(obj);
  if (n != 3)
    raise(PyExc_ValueError,
          "expected tuple of length 3, but got tuple of length " + std::to_string(n));
  return {to_f32(PyTuple_GET_ITEM(obj, 0)), to_u32(PyTuple_GET_ITEM(obj, 1)),
          to_u32(PyTuple_GET_ITEM(obj, 2))};
}

// A TypeError (exactly that type) of converting `param` is raised again as a
// new TypeError naming the parameter, keeping the original's cause.
void prefix_type_error(std::string_view param) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_trace = Ref::steal(trace);
  if (type != PyExc_TypeError) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_trace.release());
    return;
  }
  Ref text = checked(PyObject_Str(value));
  const std::string prefix = "argument '" + std::string(param) + "': ";
  Ref message = checked(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
  Ref replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  // Setting the cause, even to none, also suppresses the context in reports;
  // restoring (rather than raising) keeps the replacement free of a context
  // taken from whatever exception the caller is handling.
  PyException_SetCause(replacement.get(), PyException_GetCause(value));  // steals the cause
  PyErr_Restore(Py_NewRef(PyExc_TypeError), replacement.release(), nullptr);
}

[[noreturn]] void raise_value(std::string_view param, const std::string& message) {
  raise(PyExc_ValueError, "argument '" + std::string(param) + "': " + message);
}

// The items of a sequence (a str is refused) as new references.
std::vector<Ref> items_of(PyObject* obj) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_mismatch(obj, "Sequence");
  Ref fast = checked(PySequence_Fast(obj, "expected a sequence"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  std::vector<Ref> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    out.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i)));
  return out;
}

// An int (or an object with __index__) as a Python int, or null when `obj` is
// no integer at all (no error left set).
Ref as_int(PyObject* obj) {
  if (PyFloat_Check(obj)) return Ref();
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorAlreadySet{};
    PyErr_Clear();
  }
  return index;
}

// The value of an int that is >= 0, else -1 (negative or beyond 63 bits).
long long non_negative(PyObject* integer) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
  return overflow != 0 || v < 0 ? -1 : v;
}

// The value of an int >= 0 (a float is no int), else -1.
long long non_negative_int(PyObject* obj) {
  Ref integer = as_int(obj);
  return integer ? non_negative(integer.get()) : -1;
}

}  // namespace

std::string type_qualname(PyObject* obj) {
  Ref name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  const char* utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8;
}

Call::Call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs_flags,
           PyObject* kwnames)
    : signature_(signature) {
  // Only the error paths need the name as text; building it on every call
  // would allocate for every name longer than the small-string buffer.
  const auto function = [&] { return std::string(signature.name) + "()"; };
  const std::size_t n = signature.params.size();
  const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargs_flags));
  if (nargs > n)
    raise(PyExc_TypeError, function() + " takes " + std::to_string(n) +
                               " positional arguments but " + std::to_string(nargs) +
                               (nargs == 1 ? " was" : " were") + " given");
  for (std::size_t i = 0; i < nargs; ++i) bound_[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t length = 0;
    // A name that has no UTF-8 form (a lone surrogate, or no str at all, which
    // only C callers can pass) cannot equal a parameter name either.
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (!utf8) PyErr_Clear();
    std::string_view name = utf8 ? std::string_view(utf8, static_cast<std::size_t>(length))
                                 : std::string_view();
    std::size_t slot = 0;
    while (utf8 && slot < n && signature.params[slot] != name) ++slot;
    if (!utf8 || slot == n) {
      // Formatted by the interpreter, so that any name object shows as its str().
      PyObject* message = PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                               function().c_str(), keyword);
      if (message) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
      }
      throw_python_error();
    }
    if (bound_[slot])
      raise(PyExc_TypeError,
            function() + " got multiple values for argument '" + std::string(name) + "'");
    bound_[slot] = args[nargs + static_cast<std::size_t>(k)];
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < n; ++i)
    if (!bound_[i]) missing.push_back(signature.params[i]);
  if (!missing.empty()) {
    std::string message = function();
    message += " missing ";
    message += std::to_string(missing.size());
    message += missing.size() == 1 ? " required positional argument: "
                                   : " required positional arguments: ";
    message += quoted_list(missing);
    raise(PyExc_TypeError, message);
  }
}

Call::~Call() { release_arrays(); }

std::size_t Call::index_of(std::string_view param) const {
  for (std::size_t i = 0; i < signature_.params.size(); ++i)
    if (signature_.params[i] == param) return i;
  throw Panic("no parameter '" + std::string(param) + "' in " + signature_.name);
}

PyObject* Call::object(std::string_view param) const { return bound_[index_of(param)]; }

template <class F>
auto Call::convert(std::string_view param, F&& f) -> decltype(f(static_cast<PyObject*>(nullptr))) {
  PyObject* obj = object(param);
  try {
    return f(obj);
  } catch (const PyErrorAlreadySet&) {
    prefix_type_error(param);
    throw;
  }
}

std::int32_t Call::i32(std::string_view param) { return convert(param, to_i32); }
std::uint32_t Call::u32(std::string_view param) { return convert(param, to_u32); }
std::uint64_t Call::u64(std::string_view param) { return convert(param, to_u64); }
float Call::f32(std::string_view param) { return convert(param, to_f32); }

std::vector<bool> Call::bools(std::string_view param) {
  return convert(param, [](PyObject* obj) { return to_vector<bool>(obj, to_bool); });
}

std::vector<std::uint64_t> Call::u64s(std::string_view param) {
  return convert(param, [](PyObject* obj) { return to_vector<std::uint64_t>(obj, to_u64); });
}

std::vector<ScalePad> Call::scale_pads(std::string_view param) {
  return convert(param, [](PyObject* obj) { return to_vector<ScalePad>(obj, to_scale_pad); });
}

std::uint64_t Call::index(std::string_view param, std::uint64_t limit) {
  return convert(param, [limit](PyObject* obj) -> std::uint64_t {
    Ref integer = checked(PyNumber_Index(obj));
    const long long v = non_negative(integer.get());
    return v < 0 ? limit : static_cast<std::uint64_t>(v);
  });
}

std::vector<MaskBox> Call::mask_boxes(std::string_view param) {
  return convert(param, [param](PyObject* obj) {
    std::vector<MaskBox> out;
    const std::vector<Ref> detections = items_of(obj);
    out.reserve(detections.size());
    for (std::size_t d = 0; d < detections.size(); ++d) {
      const std::vector<Ref> items = items_of(detections[d].get());
      const std::string which = "detection " + std::to_string(d);
      if (items.size() < 7)
        raise_value(param, which + " has " + std::to_string(items.size()) +
                               " items, expected at least 7");
      const long long i = non_negative_int(items[6].get());
      if (i < 0) raise_value(param, which + ": item 6 (the anchor index) is not an int >= 0");
      out.push_back({to_f32(items[0].get()), to_f32(items[1].get()), to_f32(items[2].get()),
                     to_f32(items[3].get()), static_cast<std::uint64_t>(i)});
    }
    return out;
  });
}

std::array<std::uint64_t, 2> Call::positive_pair(std::string_view param) {
  return convert(param, [param](PyObject* obj) {
    const auto refuse = [param] { raise_value(param, "expected two positive ints"); };
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) refuse();
    const std::vector<Ref> items = items_of(obj);
    if (items.size() != 2) refuse();
    std::array<std::uint64_t, 2> out{};
    for (std::size_t k = 0; k < 2; ++k) {
      const long long v = non_negative_int(items[k].get());
      if (v <= 0) refuse();
      out[k] = static_cast<std::uint64_t>(v);
    }
    return out;
  });
}

ScalePad Call::letterbox(std::string_view param) {
  return convert(param, [param](PyObject* obj) {
    const auto refuse = [param] {
      raise_value(param, "expected (ratio, pad_x, pad_y): a finite ratio > 0 and two ints >= 0");
    };
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) refuse();
    const std::vector<Ref> items = items_of(obj);
    if (items.size() != 3) refuse();
    if (!PyNumber_Check(items[0].get())) refuse();
    const float ratio = to_f32(items[0].get());
    if (!(std::isfinite(ratio) && ratio > 0.0f)) refuse();
    std::array<std::uint32_t, 2> pads{};
    for (std::size_t k = 0; k < 2; ++k) {
      const long long v = non_negative_int(items[k + 1].get());
      if (v < 0 || v > static_cast<long long>(UINT32_MAX)) refuse();
      pads[k] = static_cast<std::uint32_t>(v);
    }
    return ScalePad{ratio, pads[0], pads[1]};
  });
}

std::array<float, 3> Call::f32x3(std::string_view param) {
  return convert(param, [](PyObject* obj) {
    if (!PySequence_Check(obj)) raise_mismatch(obj, "Sequence");
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw_python_error();
    if (n != 3)
      raise(PyExc_ValueError, "expected a sequence of length 3 (got " + std::to_string(n) + ")");
    std::array<float, 3> out{};
    for (Py_ssize_t i = 0; i < 3; ++i) {
      Ref item = checked(PySequence_GetItem(obj, i));
      out[static_cast<std::size_t>(i)] = to_f32(item.get());
    }
    return out;
  });
}

template <class T>
Array<T> Call::array(std::string_view param) {
  // Room for the record first: once the borrow is taken, keeping track of it
  // must not be able to fail, or the array would stay borrowed for good.
  borrows_.reserve(borrows_.size() + 1);
  PyObject* obj = convert(param, [](PyObject* o) {
    arrays::accept<T>(o);
    return o;
  });
  // accept() succeeded: the borrow is ours until release_arrays().
  Py_INCREF(obj);
  borrows_.push_back({obj, !std::is_const_v<T>});
  return Array<T>(obj);
}

template Array<const std::uint8_t> Call::array<const std::uint8_t>(std::string_view);
template Array<const float> Call::array<const float>(std::string_view);
template Array<float> Call::array<float>(std::string_view);
template Array<std::uint8_t> Call::array<std::uint8_t>(std::string_view);

void Call::release_arrays() noexcept {
  for (bool exclusive : {true, false})
    for (const Borrow& b : borrows_)
      if (b.exclusive == exclusive) arrays::release(b.array, b.exclusive);
  for (const Borrow& b : borrows_) Py_DECREF(b.array);
  borrows_.clear();
}

}  // namespace corvane
