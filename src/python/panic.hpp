// The module's panic exception: how an internal failure reaches Python.
#pragma once

#include "core/panic.hpp"
#include "python/object.hpp"

namespace corvane::python {

// The PanicException type, created on first need and kept for the process.
PyObject* panic_type();

// Writes the standard-error report of `failure` and sets PanicException with
// its message as the pending Python error.
void raise_panic(const Panic& failure) noexcept;

}  // namespace corvane::python
