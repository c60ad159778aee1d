#include "python/registry.hpp"

#include "core/panic.hpp"
#include "python/numpy.hpp"

#include <numeric>
#include <string>
#include <unordered_map>

namespace corvane::python::registry {
namespace {

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
  throw Panic(messages::kRegistryError + why);
}

// The registry record: the one already published by another module, or ours.
const Shared& shared_registry() {
  if (g_shared) return *g_shared;
  PyObject* multiarray = numpy_multiarray();
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray, kRegistryName));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) registry_error(take_error_text());
    PyErr_Clear();
    auto* shared = new Shared{
        1, new Registry, &acquire_shared, &acquire_exclusive, &release_shared, &release_exclusive};
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
  if (shared->version == 0) registry_error(messages::kRegistryVersionZero);
  g_shared = shared;
  capsule.release();  // the record must outlive every later call
  return *g_shared;
}

// -2 (not writeable) is a refusal only an exclusive acquire can give.
void check_acquired(int code, bool exclusive) {
  if (code == 0) return;
  if (code == -1) throw Panic(messages::kAlreadyBorrowed);
  if (code == -2 && exclusive) throw Panic(messages::kNotWriteable);
  throw Panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

}  // namespace

void acquire(PyObject* array, bool exclusive) {
  const Shared& shared = shared_registry();
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
  check_acquired(exclusive ? shared.acquire_mut(shared.flags, a) : shared.acquire(shared.flags, a),
                 exclusive);
}

void release(PyObject* array, bool exclusive) noexcept {
  const Shared& shared = *g_shared;  // set by the accept that took the borrow
  // A failing call releases its borrows with its exception pending; a
  // registry published by another module may call into Python, so it runs
  // with no error set and the caller's exception is put back afterwards.
  const ErrorScope pending;
  if (exclusive)
    shared.release_mut(shared.flags, reinterpret_cast<PyArrayObject*>(array));
  else
    shared.release(shared.flags, reinterpret_cast<PyArrayObject*>(array));
}

}  // namespace corvane::python::registry
