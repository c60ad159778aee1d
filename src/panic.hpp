// The module's panic exception: how an internal failure reaches Python.
#pragma once

#include "core/panic.hpp"
#include "object.hpp"

namespace corvane {

// The PanicException type, created on first need and kept for the process.
PyObject* panic_type();

// Writes the standard-error report of `failure` and sets PanicException with
// its message as the pending Python error.
void raise_panic(const Panic& failure) noexcept;

}  // namespace corvane
