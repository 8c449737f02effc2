// PanicException: how internal failures reach Python. The class is made once per process
// and is deliberately not a module attribute.
#pragma once

#include "lib/py_ref.hpp"

namespace atomkit {

// The class, made on first need. Failing to make it cannot be reported: the process stops.
PyObject* panic_exception_type();
// Writes the standard-error report of an internal failure.
void report_internal_failure(const class InternalFailure& failure) noexcept;
// Sets PanicException(message) as the current exception.
void raise_panic(const class InternalFailure& failure) noexcept;

}  // namespace atomkit
