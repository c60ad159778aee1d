#include "python/convert.hpp"

#include <cmath>
#include <cstring>

namespace corvane::python {
namespace {

[[noreturn]] void raise_mismatch(PyObject* obj, const char* target) {
  raise(PyExc_TypeError, "'" + type_qualname(obj) + messages::kCannotConvert + target + "'");
}

[[noreturn]] void raise_range() { raise(PyExc_OverflowError, messages::kIntegerRange); }

std::int32_t to_i32(PyObject* obj) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_python_error();
  if (v < INT32_MIN || v > INT32_MAX) raise_range();
  return static_cast<std::int32_t>(v);
}

std::uint64_t to_u64(PyObject* obj) {
  if (PyLong_Check(obj)) {
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
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

double to_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_python_error();
  return v;
}

float to_f32(PyObject* obj) {
  return static_cast<float>(to_f64(obj));  // nearest float32; beyond its range an infinity
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
      raise(PyExc_TypeError,
            "object of type '" + type_qualname(obj) + "' does not define a '__bool__' conversion");
    int truth = type->tp_as_number->nb_bool(obj);
    if (truth < 0) throw_python_error();
    return truth != 0;
  }
  raise_mismatch(obj, "PyBool");
}

// Items of a sequence argument (a str is refused), each converted by `item`.
template <class T, class F>
std::vector<T> to_vector(PyObject* obj, F item) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, messages::kStrToVec);
  if (!PySequence_Check(obj)) raise_mismatch(obj, "Sequence");
  std::vector<T> out;
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0)
    PyErr_Clear();
  else
    out.reserve(static_cast<std::size_t>(hint));
  Ref iter = checked(PyObject_GetIter(obj));
  while (Ref next = Ref::steal(PyIter_Next(iter.get()))) out.push_back(item(next.get()));
  if (PyErr_Occurred()) throw_python_error();
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

// The items of a sequence (a str is refused) as new references.
std::vector<Ref> items_of(PyObject* obj) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_mismatch(obj, "Sequence");
  Ref fast = checked(PySequence_Fast(obj, messages::kNotASequence));
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
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
    PyErr_Clear();
  }
  return index;
}

// The value of an int that is >= 0, else -1 (negative or beyond 63 bits).
long long non_negative(PyObject* integer) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_python_error();
  return overflow != 0 || v < 0 ? -1 : v;
}

// The value of an int >= 0 (a float is no int), else -1.
long long non_negative_int(PyObject* obj) {
  Ref integer = as_int(obj);
  return integer ? non_negative(integer.get()) : -1;
}

// An anchor index: an int >= 0, or a real number of such a value, since the
// rows of np.array(detections) hold the index as a float; else -1.
long long anchor_index(PyObject* obj) {
  if (Ref integer = as_int(obj)) return non_negative(integer.get());
  const PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (!PyFloat_Check(obj) && !(number && number->nb_float)) return -1;
  const double v = to_f64(obj);
  return v >= 0.0 && v < 0x1p63 && std::floor(v) == v ? static_cast<long long>(v) : -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The conversions, one per parameter kind.

PyObject* convert(const Arg& arg, As<PyObject*>) { return arg.object(); }
float convert(const Arg& arg, As<float>) { return to_f32(arg.object()); }
std::int32_t convert(const Arg& arg, As<std::int32_t>) { return to_i32(arg.object()); }
std::uint32_t convert(const Arg& arg, As<std::uint32_t>) { return to_u32(arg.object()); }

std::uint8_t convert(const Arg& arg, As<std::uint8_t>) {
  const std::uint64_t v = to_u64(arg.object());
  if (v > UINT8_MAX) raise_range();
  return static_cast<std::uint8_t>(v);
}
std::uint64_t convert(const Arg& arg, As<std::uint64_t>) { return to_u64(arg.object()); }

std::vector<bool> convert(const Arg& arg, As<std::vector<bool>>) {
  return to_vector<bool>(arg.object(), to_bool);
}

std::vector<std::uint64_t> convert(const Arg& arg, As<std::vector<std::uint64_t>>) {
  return to_vector<std::uint64_t>(arg.object(), to_u64);
}

std::vector<ScalePad> convert(const Arg& arg, As<std::vector<ScalePad>>) {
  return to_vector<ScalePad>(arg.object(), to_scale_pad);
}

std::array<float, 3> convert(const Arg& arg, As<std::array<float, 3>>) {
  PyObject* obj = arg.object();
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
}

BatchIndex convert(const Arg& arg, As<BatchIndex>) {
  Ref integer = checked(PyNumber_Index(arg.object()));
  const long long v = non_negative(integer.get());
  return {v < 0 ? UINT64_MAX : static_cast<std::uint64_t>(v)};
}

std::vector<MaskBox> convert(const Arg& arg, As<std::vector<MaskBox>>) {
  PyObject* obj = arg.object();
  const std::string_view param = arg.name();
  std::vector<MaskBox> out;
  const std::vector<Ref> detections = items_of(obj);
  out.reserve(detections.size());
  for (std::size_t d = 0; d < detections.size(); ++d) {
    const std::vector<Ref> items = items_of(detections[d].get());
    const std::string which = "detection " + std::to_string(d);
    if (items.size() < 7)
      raise_value(param,
                  which + " has " + std::to_string(items.size()) + " items, expected at least 7");
    const long long i = anchor_index(items[6].get());
    if (i < 0) raise_value(param, which + messages::kNotAnAnchorIndex);
    out.push_back({to_f32(items[0].get()), to_f32(items[1].get()), to_f32(items[2].get()),
                   to_f32(items[3].get()), static_cast<std::uint64_t>(i)});
  }
  return out;
}

namespace {

// The n items of a sequence argument (a str is no sequence here), or the
// ValueError `refusal` of the parameter.
std::vector<Ref> exactly(const Arg& arg, std::size_t n, const char* refusal) {
  PyObject* obj = arg.object();
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_value(arg.name(), refusal);
  std::vector<Ref> items = items_of(obj);
  if (items.size() != n) raise_value(arg.name(), refusal);
  return items;
}

}  // namespace

PositivePair convert(const Arg& arg, As<PositivePair>) {
  const auto refuse = [&arg] { raise_value(arg.name(), messages::kNotTwoPositiveInts); };
  const std::vector<Ref> items = exactly(arg, 2, messages::kNotTwoPositiveInts);
  std::array<std::uint64_t, 2> out{};
  for (std::size_t k = 0; k < 2; ++k) {
    const long long v = non_negative_int(items[k].get());
    if (v <= 0) refuse();
    out[k] = static_cast<std::uint64_t>(v);
  }
  return {out[0], out[1]};
}

LetterboxArgument convert(const Arg& arg, As<LetterboxArgument>) {
  const auto refuse = [&arg] { raise_value(arg.name(), messages::kNotALetterbox); };
  const std::vector<Ref> items = exactly(arg, 3, messages::kNotALetterbox);
  if (!PyNumber_Check(items[0].get())) refuse();
  const float ratio = to_f32(items[0].get());
  if (!(std::isfinite(ratio) && ratio > 0.0f)) refuse();
  std::array<std::uint32_t, 2> pads{};
  for (std::size_t k = 0; k < 2; ++k) {
    const long long v = non_negative_int(items[k + 1].get());
    if (v < 0 || v > static_cast<long long>(UINT32_MAX)) refuse();
    pads[k] = static_cast<std::uint32_t>(v);
  }
  return {ScalePad{ratio, pads[0], pads[1]}};
}

// ---------------------------------------------------------------------------
// Affine crops: person boxes in, crop regions out and back.

namespace {

// Items 0 to n - 1 (of exactly n when `exact`, else of at least n) of a
// sequence item of the argument as doubles, all finite, or
// the ValueError naming the item.
std::vector<double> finite_numbers(const Arg& arg, const std::string& which, PyObject* obj,
                                   std::size_t n, bool exact, const char* expected) {
  const std::vector<Ref> items = items_of(obj);
  if (items.size() < n || (exact && items.size() > n))
    raise_value(arg.name(),
                which + " has " + std::to_string(items.size()) + " items, expected " + expected);
  std::vector<double> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    out[k] = to_f64(items[k].get());
    if (!std::isfinite(out[k]))
      raise_value(arg.name(), which + " is not finite, expected " + expected);
  }
  return out;
}

}  // namespace

std::vector<CropBox> convert(const Arg& arg, As<std::vector<CropBox>>) {
  const std::vector<Ref> boxes = items_of(arg.object());
  std::vector<CropBox> out;
  out.reserve(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const std::string which = "box " + std::to_string(i);
    const std::vector<double> v =
        finite_numbers(arg, which, boxes[i].get(), 4, false, messages::kPersonBox);
    if (!(v[0] <= v[2] && v[1] <= v[3]) || (v[0] == v[2] && v[1] == v[3]))
      raise_value(arg.name(), which + " is empty or reversed, expected " + messages::kPersonBox);
    out.push_back({v[0], v[1], v[2], v[3]});
  }
  return out;
}

std::vector<AffineCrop> convert(const Arg& arg, As<std::vector<AffineCrop>>) {
  const std::vector<Ref> crops = items_of(arg.object());
  std::vector<AffineCrop> out;
  out.reserve(crops.size());
  for (std::size_t i = 0; i < crops.size(); ++i) {
    const std::string which = "crop " + std::to_string(i);
    const std::vector<double> v =
        finite_numbers(arg, which, crops[i].get(), 4, true, messages::kCropRegion);
    if (!(v[2] > 0.0 && v[3] > 0.0))
      raise_value(arg.name(), which + " has a size <= 0, expected " + messages::kCropRegion);
    out.push_back({v[0], v[1], v[2], v[3]});
  }
  return out;
}

}  // namespace corvane::python
