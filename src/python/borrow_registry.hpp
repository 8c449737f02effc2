// This module's side of the process-wide registry of NumPy array borrows that extension
// modules share through a capsule on NumPy's multiarray module.
#pragma once

#include "python/py_ref.hpp"

namespace atomkit {

// Finds or publishes the registry if this process has not yet. That imports NumPy's module,
// so Python code (import hooks) may run: callers do it before their last check of the
// arrays they borrow, so that nothing can change an array between that check and its use.
void prepare_borrows();

// Registers a shared (read-only) borrow of the array's memory. False when another module
// holds an exclusive borrow of memory this array can reach. The first borrow of the process
// finds the registry, or installs this module's own when no module has published one yet.
bool acquire_shared(PyObject* array);

// Ends a shared borrow taken by acquire_shared. Never fails, so destructors may call it.
void release_shared(PyObject* array) noexcept;

}  // namespace atomkit
