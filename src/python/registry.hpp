// The borrow registry: which arrays (by their memory) are lent to a running
// call, shared or exclusively. It is shared with every extension module of
// the process that follows the same protocol through a capsule on NumPy's
// multiarray module; the first module to need it publishes it.
#pragma once

#include "python/object.hpp"

namespace corvane::python::registry {

// Takes a shared (or exclusive) borrow of `array`, a NumPy array, or panics
// with the registry's refusal (AlreadyBorrowed, NotWriteable).
void acquire(PyObject* array, bool exclusive);

// Gives back a borrow taken by acquire. Any pending Python error is kept.
void release(PyObject* array, bool exclusive) noexcept;

}  // namespace corvane::python::registry
