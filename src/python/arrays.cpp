#include "python/arrays.hpp"

#define CORVANE_DEFINES_ARRAY_API
#include "python/numpy.hpp"
#include "python/registry.hpp"

#include "core/panic.hpp"

#include <string>

namespace corvane::python {
namespace {

PyObject* g_multiarray = nullptr;  // kept for the process

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

template <class Element>
constexpr int kTypeNumber = std::is_same_v<Element, float> ? NPY_FLOAT32 : NPY_UINT8;

// The `multiarray` module of the running NumPy, or NULL with an error set.
PyObject* import_multiarray() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return nullptr;
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return nullptr;
  Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return nullptr;
  Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_obj) return nullptr;
  unsigned long major = PyLong_AsUnsignedLong(major_obj.get());
  if (PyErr_Occurred()) return nullptr;
  if (major > 255) {
    PyErr_SetString(PyExc_OverflowError, messages::kIntegerRange);
    return nullptr;
  }
  return PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

}  // namespace

PyObject* numpy_multiarray() {
  if (g_multiarray) return g_multiarray;
  Ref module = Ref::steal(import_multiarray());
  if (module) {
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    void* table = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (table) {
      PyArray_API = static_cast<void**>(table);
      PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
      g_multiarray = module.release();
      return g_multiarray;
    }
  }
  throw Panic(messages::kNumpyCapsule + take_error_text());
}

// ---------------------------------------------------------------------------

template <class T>
std::size_t ArrayView<T>::ndim() const noexcept {
  return static_cast<std::size_t>(PyArray_NDIM(as_array(array_)));
}

template <class T>
std::uint64_t ArrayView<T>::dim(std::size_t k) const {
  check_index(ndim(), k);
  return static_cast<std::uint64_t>(PyArray_DIMS(as_array(array_))[k]);
}

template <class T>
std::vector<std::uint64_t> ArrayView<T>::shape() const {
  std::vector<std::uint64_t> extents(ndim());
  for (std::size_t k = 0; k < extents.size(); ++k) extents[k] = dim(k);
  return extents;
}

template <class T>
std::uint64_t ArrayView<T>::size() const noexcept {
  std::uint64_t n = 1;
  for (std::size_t k = 0; k < ndim(); ++k)
    n *= static_cast<std::uint64_t>(PyArray_DIMS(as_array(array_))[k]);
  return n;
}

template <class T>
std::span<T> ArrayView<T>::data() const {
  // Kernels address the buffer in row-major order, so only C order will do:
  // a Fortran-ordered array (a transposed model output, say) would be read
  // against its shape. Arrays that are both (1-D, unit dimensions) carry the
  // C flag too.
  if (!(PyArray_FLAGS(as_array(array_)) & NPY_ARRAY_C_CONTIGUOUS))
    throw Panic(messages::kNotContiguous);
  return {static_cast<T*>(PyArray_DATA(as_array(array_))), static_cast<std::size_t>(size())};
}

template class ArrayView<const std::uint8_t>;
template class ArrayView<const float>;
template class ArrayView<float>;
template class ArrayView<std::uint8_t>;

namespace arrays {

template <class T>
Ref accept(PyObject* obj) {
  using Element = std::remove_const_t<T>;
  numpy_multiarray();
  PyArray_Descr* wanted = nullptr;
  if (PyArray_Check(obj)) {
    wanted = PyArray_DescrFromType(kTypeNumber<Element>);
    if (!wanted) throw_python_error();
    PyArray_Descr* have = PyArray_DESCR(as_array(obj));
    if (have != wanted && !PyArray_EquivTypes(have, wanted)) Py_CLEAR(wanted);
  }
  if (!wanted) {
    std::string message = "'";  // appended, not prepended: GCC 12 cannot bound the copy of a
                                // literal prepended to a temporary (-Wrestrict)
    message += type_qualname(obj);
    message += messages::kCannotConvert;
    message += "PyArray<T, D>'";
    raise(PyExc_TypeError, message);
  }
  // A base-class ndarray runs no Python code when made (no __array_finalize__),
  // so nothing can change `obj` between its check and this copy of its layout.
  PyArrayObject* array = as_array(obj);
  Ref view = Ref::steal(PyArray_NewFromDescr(
      &PyArray_Type, wanted, PyArray_NDIM(array), PyArray_DIMS(array), PyArray_STRIDES(array),
      PyArray_DATA(array), PyArray_FLAGS(array) & NPY_ARRAY_WRITEABLE, nullptr));
  if (!view) throw_python_error();
  if (PyArray_SetBaseObject(as_array(view.get()), Py_NewRef(obj)) < 0) throw_python_error();
  registry::acquire(view.get(), !std::is_const_v<T>);
  return view;
}

template Ref accept<const std::uint8_t>(PyObject*);
template Ref accept<const float>(PyObject*);
template Ref accept<float>(PyObject*);
template Ref accept<std::uint8_t>(PyObject*);

}  // namespace arrays
}  // namespace corvane::python
