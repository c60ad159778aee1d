// The only file that includes NumPy's headers. NumPy is located lazily (never
// at import of corvane), and its API table is taken from its capsule by hand
// so that the same build runs against NumPy 1.x and 2.x.
#include "arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL corvane_ARRAY_API
#include <numpy/arrayobject.h>

#include "core/panic.hpp"

#include <cstring>
#include <numeric>
#include <string>
#include <unordered_map>

namespace corvane {
namespace {

// ---------------------------------------------------------------------------
// Locating NumPy

// Text of the pending Python error ("Type: message"), clearing it.
std::string take_error_text() {
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  std::string text = "unknown error";
  if (value) {
    Ref str = Ref::steal(PyObject_Str(value));
    const char* name = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "Error";
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    text = std::string(name) + ": " + (utf8 ? utf8 : "<unprintable>");
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  return text;
}

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
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return nullptr;
  }
  return PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

PyObject* g_multiarray = nullptr;  // kept for the process

// Makes NumPy's API table usable; the first call locates NumPy.
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
  throw Panic("Failed to access NumPy array API capsule: " + take_error_text());
}

// ---------------------------------------------------------------------------
// The borrow registry, shared with every extension module of the process that
// follows the same protocol through the capsule below.

constexpr const char* kRegistryName = "_RUST_NUMPY_BORROW_CHECKING_API";

struct BorrowKey {
  char* range_start;
  char* range_end;
  char* data;
  npy_intp gcd_strides;

  bool operator==(const BorrowKey&) const = default;

  bool empty() const { return range_start == range_end; }

  // Views whose elements can never coincide do not conflict: disjoint byte
  // ranges, or interleaved ones whose first elements differ by a
  // non-multiple of the common stride.
  bool conflicts(const BorrowKey& other) const {
    if (empty() || other.empty()) return false;
    if (range_start >= other.range_end || other.range_start >= range_end) return false;
    npy_intp gcd = std::gcd(gcd_strides, other.gcd_strides);
    npy_intp diff = data - other.data;
    return gcd == 0 ? diff == 0 : diff % gcd == 0;
  }
};

struct BorrowKeyHash {
  std::size_t operator()(const BorrowKey& k) const noexcept {
    std::size_t h = std::hash<void*>{}(k.range_start);
    h = h * 31 + std::hash<void*>{}(k.range_end);
    h = h * 31 + std::hash<void*>{}(k.data);
    return h * 31 + std::hash<npy_intp>{}(k.gcd_strides);
  }
};

// Per base address: the borrow keys and their counts (> 0 shared, -1 exclusive).
using Borrows = std::unordered_map<BorrowKey, std::int64_t, BorrowKeyHash>;
using Registry = std::unordered_map<void*, Borrows>;

struct Shared {
  std::uint64_t version;
  void* flags;
  int (*acquire)(void* flags, PyArrayObject* array);
  int (*acquire_mut)(void* flags, PyArrayObject* array);
  void (*release)(void* flags, PyArrayObject* array);
  void (*release_mut)(void* flags, PyArrayObject* array);
};
static_assert(sizeof(Shared) == 6 * 8);

void* base_address(PyArrayObject* array) {
  PyObject* current = reinterpret_cast<PyObject*>(array);
  for (;;) {
    PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(current));
    if (!base) return current;
    if (!PyArray_Check(base)) return base;
    current = base;
  }
}

BorrowKey borrow_key(PyArrayObject* array) {
  char* data = static_cast<char*>(PyArray_DATA(array));
  const int ndim = PyArray_NDIM(array);
  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  BorrowKey key{data, data, data, ndim == 0 ? 1 : 0};
  bool empty = ndim == 0;
  for (int d = 0; d < ndim; ++d) {
    if (shape[d] == 0) empty = true;
    key.gcd_strides = std::gcd(key.gcd_strides, strides[d] < 0 ? -strides[d] : strides[d]);
  }
  if (!empty) {
    for (int d = 0; d < ndim; ++d) {
      npy_intp span = (shape[d] - 1) * strides[d];
      if (span >= 0)
        key.range_end += span;
      else
        key.range_start += span;
    }
    key.range_end += PyArray_ITEMSIZE(array);
  }
  return key;
}

// Grants or refuses a borrow of `array` under its base; `grant` decides on
// the base's current borrows and records the new one. A refusal leaves no
// empty base entry behind.
template <class Grant>
int acquire_key(void* flags, PyArrayObject* array, Grant grant) {
  auto& registry = *static_cast<Registry*>(flags);
  auto [base, inserted] = registry.try_emplace(base_address(array));
  int code = grant(base->second, borrow_key(array));
  if (code != 0 && base->second.empty()) registry.erase(base);
  return code;
}

int acquire_shared(void* flags, PyArrayObject* array) {
  return acquire_key(flags, array, [](Borrows& borrows, const BorrowKey& key) {
    if (auto found = borrows.find(key); found != borrows.end()) {
      if (found->second < 0 || found->second == INT64_MAX) return -1;
      ++found->second;
      return 0;
    }
    for (const auto& [other, count] : borrows)
      if (count < 0 && key.conflicts(other)) return -1;
    borrows.emplace(key, 1);
    return 0;
  });
}

int acquire_exclusive(void* flags, PyArrayObject* array) {
  if (!PyArray_ISWRITEABLE(array)) return -2;
  return acquire_key(flags, array, [](Borrows& borrows, const BorrowKey& key) {
    if (borrows.contains(key)) return -1;
    for (const auto& [other, count] : borrows)
      if (count != 0 && key.conflicts(other)) return -1;
    borrows.emplace(key, -1);
    return 0;
  });
}

// Drops `key` under `base` when `drop` says so, and the base once it is empty.
template <class Drop>
void release_key(void* flags, PyArrayObject* array, Drop drop) {
  auto& registry = *static_cast<Registry*>(flags);
  auto base = registry.find(base_address(array));
  if (base == registry.end()) return;
  auto found = base->second.find(borrow_key(array));
  if (found != base->second.end() && drop(found->second)) base->second.erase(found);
  if (base->second.empty()) registry.erase(base);
}

void release_shared(void* flags, PyArrayObject* array) {
  release_key(flags, array, [](std::int64_t& count) { return --count == 0; });
}

void release_exclusive(void* flags, PyArrayObject* array) {
  release_key(flags, array, [](std::int64_t&) { return true; });
}

void destroy_registry(PyObject* capsule) {
  auto* shared = static_cast<Shared*>(PyCapsule_GetPointer(capsule, kRegistryName));
  if (!shared) return;
  delete static_cast<Registry*>(shared->flags);
  delete shared;
}

const Shared* g_shared = nullptr;  // cached for the process; the capsule is never released

[[noreturn]] void registry_error(const std::string& why) {
  throw Panic("Interal borrow checking API error: " + why);
}

// The registry record: the one already published by another module, or ours.
const Shared& shared_registry() {
  if (g_shared) return *g_shared;
  PyObject* multiarray = numpy_multiarray();
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray, kRegistryName));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) registry_error(take_error_text());
    PyErr_Clear();
    auto* shared = new Shared{1,
                              new Registry,
                              &acquire_shared,
                              &acquire_exclusive,
                              &release_shared,
                              &release_exclusive};
    capsule = Ref::steal(PyCapsule_New(shared, kRegistryName, &destroy_registry));
    if (!capsule) {
      delete static_cast<Registry*>(shared->flags);
      delete shared;
      registry_error(take_error_text());
    }
    if (PyObject_SetAttrString(multiarray, kRegistryName, capsule.get()) < 0)
      registry_error(take_error_text());
  }
  if (!PyCapsule_CheckExact(capsule.get()))
    registry_error("the attribute " + std::string(kRegistryName) + " is not a capsule");
  // The attribute is what identifies the registry; whatever name its
  // publisher gave the capsule, the record is read the same way.
  const char* name = PyCapsule_GetName(capsule.get());
  if (!name && PyErr_Occurred()) registry_error(take_error_text());
  auto* shared = static_cast<const Shared*>(PyCapsule_GetPointer(capsule.get(), name));
  if (!shared) registry_error(take_error_text());
  if (shared->version == 0) registry_error("the registry's version is 0");
  g_shared = shared;
  capsule.release();  // the record must outlive every later call
  return *g_shared;
}

// -2 (not writeable) is a refusal only an exclusive acquire can give.
void check_acquired(int code, bool exclusive) {
  if (code == 0) return;
  if (code == -1) throw Panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
  if (code == -2 && exclusive)
    throw Panic("called `Result::unwrap()` on an `Err` value: NotWriteable");
  throw Panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

template <class Element>
constexpr int kTypeNumber = std::is_same_v<Element, float> ? NPY_FLOAT32 : NPY_UINT8;

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

}  // namespace

// ---------------------------------------------------------------------------

template <class T>
std::size_t Array<T>::ndim() const noexcept {
  return static_cast<std::size_t>(PyArray_NDIM(as_array(array_)));
}

template <class T>
std::uint64_t Array<T>::dim(std::size_t k) const {
  check_index(ndim(), k);
  return static_cast<std::uint64_t>(PyArray_DIMS(as_array(array_))[k]);
}

template <class T>
std::uint64_t Array<T>::size() const noexcept {
  std::uint64_t n = 1;
  for (std::size_t k = 0; k < ndim(); ++k)
    n *= static_cast<std::uint64_t>(PyArray_DIMS(as_array(array_))[k]);
  return n;
}

template <class T>
std::span<T> Array<T>::data() const {
  // Kernels address the buffer in row-major order, so only C order will do:
  // a Fortran-ordered array (a transposed model output, say) would be read
  // against its shape. Arrays that are both (1-D, unit dimensions) carry the
  // C flag too.
  if (!(PyArray_FLAGS(as_array(array_)) & NPY_ARRAY_C_CONTIGUOUS))
    throw Panic("called `Result::unwrap()` on an `Err` value: NotContiguousError");
  return {static_cast<T*>(PyArray_DATA(as_array(array_))), static_cast<std::size_t>(size())};
}

template class Array<const std::uint8_t>;
template class Array<const float>;
template class Array<float>;
template class Array<std::uint8_t>;

namespace arrays {

template <class T>
void accept(PyObject* obj) {
  using Element = std::remove_const_t<T>;
  numpy_multiarray();
  bool accepted = false;
  if (PyArray_Check(obj)) {
    PyArray_Descr* wanted = PyArray_DescrFromType(kTypeNumber<Element>);
    if (!wanted) throw_python_error();
    PyArray_Descr* have = PyArray_DESCR(as_array(obj));
    accepted = have == wanted || PyArray_EquivTypes(have, wanted);
    Py_DECREF(wanted);
  }
  if (!accepted) {
    std::string message = "'";  // appended, not prepended: GCC 12 cannot bound the copy of a
                                // literal prepended to a temporary (-Wrestrict)
    message += type_qualname(obj);
    message += "' object cannot be converted to 'PyArray<T, D>'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrorAlreadySet{};
  }
  const Shared& shared = shared_registry();
  if constexpr (std::is_const_v<T>)
    check_acquired(shared.acquire(shared.flags, as_array(obj)), false);
  else
    check_acquired(shared.acquire_mut(shared.flags, as_array(obj)), true);
}

template void accept<const std::uint8_t>(PyObject*);
template void accept<const float>(PyObject*);
template void accept<float>(PyObject*);
template void accept<std::uint8_t>(PyObject*);

void release(PyObject* array, bool exclusive) noexcept {
  const Shared& shared = *g_shared;  // set by the accept that took the borrow
  // A failing call releases its borrows with its exception pending; a
  // registry published by another module may call into Python, so it runs
  // with no error set and the caller's exception is put back afterwards.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  if (exclusive)
    shared.release_mut(shared.flags, as_array(array));
  else
    shared.release(shared.flags, as_array(array));
  PyErr_Restore(type, value, trace);
}

}  // namespace arrays
}  // namespace corvane
