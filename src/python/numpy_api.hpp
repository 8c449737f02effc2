// NumPy's C API as the module uses it: NumPy's own headers for the array and descriptor
// layouts, type numbers, flags and API entries, over a table taken at run time from the
// _ARRAY_API capsule of NumPy's multiarray module. NumPy is never linked and import_array
// never called, so importing the module does not import NumPy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "python/py_error.hpp"

// Built against NumPy 2's headers for NumPy 1.25 and later at run time; the macros of the
// API entries read the table through this module's own symbol, filled by require_api().
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL atomkit_PyArray_API
#include <numpy/ndarrayobject.h>

namespace atomkit::numpy {

// "numpy._core.multiarray" or "numpy.core.multiarray", by NumPy's major version.
[[nodiscard]] Result<const std::string*> multiarray_module_name();

// The module of that name, imported as Python code would (import hooks included).
[[nodiscard]] Result<PyRef> import_module(const char* name);

// The pointer of a capsule (PyCapsule or a subtype) under the capsule's own name; `what`
// names it in the error when the pointer is null.
[[nodiscard]] Result<void*> capsule_pointer(PyObject* object, std::string_view what);

// Fills NumPy's API table on first need (importing NumPy); NumPy's API macros may be used
// after it returns. A failure abandons the call with "Failed to access NumPy array API
// capsule: ..." and the next call tries again.
void require_api();

inline PyTypeObject* array_type() {
    require_api();
    return &PyArray_Type;
}

inline bool is_array(PyObject* object) {
    PyTypeObject* type = array_type();
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

// New reference to the descriptor of a type number; a null result is an internal failure.
[[nodiscard]] PyRef descr_from_type(int type_number);

// The C feature version of the NumPy that runs: NPY_2_0_API_VERSION and up have NumPy 2's
// descriptor layout.
unsigned feature_version();

inline PyArrayObject_fields* fields(PyObject* array) noexcept {
    return reinterpret_cast<PyArrayObject_fields*>(array);
}

// The module relies on these fields sitting where both NumPy majors put them.
static_assert(offsetof(PyArrayObject_fields, data) == sizeof(PyObject));
static_assert(offsetof(PyArrayObject_fields, flags) ==
              offsetof(PyArrayObject_fields, descr) + sizeof(void*));

// Element size of a descriptor: NumPy 2 widened the field and moved it.
inline std::int64_t descr_element_size(PyObject* descr, bool numpy2_layout) noexcept {
    if (numpy2_layout) return reinterpret_cast<const _PyArray_DescrNumPy2*>(descr)->elsize;
    return reinterpret_cast<const PyArray_DescrProto*>(descr)->elsize;
}
static_assert(offsetof(_PyArray_DescrNumPy2, elsize) == 40 && sizeof(npy_intp) == 8);
static_assert(offsetof(PyArray_DescrProto, elsize) == 32 && sizeof(int) == 4);

template <class T>
constexpr int type_number_of();
template <>
constexpr int type_number_of<std::uint8_t>() { return NPY_UINT8; }
template <>
constexpr int type_number_of<std::uint32_t>() { return NPY_UINT32; }
template <>
constexpr int type_number_of<std::int64_t>() { return NPY_INT64; }
template <>
constexpr int type_number_of<double>() { return NPY_FLOAT64; }

}  // namespace atomkit::numpy
