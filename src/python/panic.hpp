// PanicException: how internal failures reach Python. The class is made once per process
// and is deliberately not a module attribute.
#pragma once

#include "python/py_ref.hpp"

namespace atomkit {

// The class, made on first need; null when it cannot be made (in practice out of memory),
// and the error of making it is left set.
PyObject* panic_exception_type();
// Writes the standard-error report of an internal failure.
void report_internal_failure(const class InternalFailure& failure) noexcept;
// Sets PanicException(message) as the current exception; when the class cannot be made,
// the error of making it (a MemoryError) is what the caller sees. The process never stops.
void raise_panic(const class InternalFailure& failure) noexcept;

}  // namespace atomkit
