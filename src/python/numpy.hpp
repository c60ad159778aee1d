// NumPy's C API for the files that need it (arrays.cpp, registry.cpp). The
// API table is taken from NumPy's capsule by hand, at first use and never at
// import of corvane, so that the same build runs against NumPy 1.x and 2.x;
// arrays.cpp defines the table, the others refer to it.
#pragma once

#include "python/object.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL corvane_ARRAY_API
#ifndef CORVANE_DEFINES_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace corvane::python {

// NumPy's `multiarray` module with its API table made usable; the first call
// locates NumPy. Panics when NumPy cannot be used.
PyObject* numpy_multiarray();

}  // namespace corvane::python
