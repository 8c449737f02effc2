// NumPy's C-API table, taken at run time from the _ARRAY_API capsule of its multiarray
// module on first need and kept for the life of the process.
#pragma once

#include <cstddef>
#include <string>

#include "lib/py_error.hpp"

namespace atomkit::numpy {

// Published slot numbers of the multiarray C API that this module uses.
enum class Slot : std::size_t {
    array_type = 2,
    descr_from_type = 45,
    new_from_descr = 94,
    equiv_types = 182,
    feature_version = 211,
    set_base_object = 282,
};

// "numpy._core.multiarray" or "numpy.core.multiarray", by NumPy's major version.
Result<const std::string*> multiarray_module_name();

// The table, importing NumPy on first use. A failure abandons the call with
// "Failed to access NumPy array API capsule: ..." and the next call tries again.
void* const* api_table();

// Entry `slot` cast to the published signature F.
template <class F>
F entry(Slot slot) {
    return reinterpret_cast<F>(api_table()[static_cast<std::size_t>(slot)]);
}

inline PyTypeObject* array_type() {
    return static_cast<PyTypeObject*>(api_table()[static_cast<std::size_t>(Slot::array_type)]);
}

inline bool is_array(PyObject* object) {
    PyTypeObject* type = array_type();
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

// New reference to the descriptor of a type number; a null result is an internal failure.
PyRef descr_from_type(int type_number);

}  // namespace atomkit::numpy
