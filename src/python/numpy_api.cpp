// The three once-only cells behind NumPy's C-API table: core module name, multiarray
// module name, and the table itself (whose capsule is kept for ever).
#include "python/numpy_api.hpp"

#include "core/common/internal_failure.hpp"
#include "python/process_cell.hpp"

// The table NumPy's API macros index. Set under the interpreter lock before the table's
// cell is marked complete (racing fills store the same capsule's pointer); every use of a
// macro comes after a require_api().
void** atomkit_PyArray_API = nullptr;

namespace atomkit::numpy {
namespace {

ProcessCell<const char*> core_name_cell;
ProcessCell<std::string> multiarray_name_cell;
ProcessCell<void* const*> table_cell;

[[nodiscard]] Result<PyRef> attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) return fetched_error();
    return value;
}

[[nodiscard]] Result<const char*> compute_core_name() {
    const PyRef numpy = ATOMKIT_TRY(import_module("numpy"));
    const PyRef version = ATOMKIT_TRY(attribute(numpy.get(), "__version__"));
    const PyRef lib = ATOMKIT_TRY(import_module("numpy.lib"));
    const PyRef version_class = ATOMKIT_TRY(attribute(lib.get(), "NumpyVersion"));
    PyRef parsed = PyRef::steal(PyObject_CallOneArg(version_class.get(), version.get()));
    if (!parsed) return fetched_error();
    const PyRef major = ATOMKIT_TRY(attribute(parsed.get(), "major"));
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    if (value < 0 || value > 255) {
        return std::unexpected(PyError::pending(
            PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return value >= 2 ? "numpy._core" : "numpy.core";
}

[[nodiscard]] Result<void* const*> compute_table() {
    const std::string* module_name = ATOMKIT_TRY(multiarray_module_name());
    const PyRef module = ATOMKIT_TRY(import_module(module_name->c_str()));
    PyRef capsule = ATOMKIT_TRY(attribute(module.get(), "_ARRAY_API"));
    void* pointer = ATOMKIT_TRY(capsule_pointer(capsule.get(), "NumPy's _ARRAY_API capsule"));
    // The capsule is kept for ever so the table outlives any change to NumPy's module.
    capsule.release();
    atomkit_PyArray_API = static_cast<void**>(pointer);
    return static_cast<void* const*>(pointer);
}

}  // namespace

[[nodiscard]] Result<PyRef> import_module(const char* name) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) return fetched_error();
    PyRef module = PyRef::steal(PyImport_Import(text.get()));
    if (!module) return fetched_error();
    return module;
}

[[nodiscard]] Result<void*> capsule_pointer(PyObject* object, std::string_view what) {
    if (!PyCapsule_CheckExact(object) && !PyType_IsSubtype(Py_TYPE(object), &PyCapsule_Type)) {
        return std::unexpected(conversion_error(object, "PyCapsule"));
    }
    const char* name = PyCapsule_GetName(object);
    if (name == nullptr) drop_error();
    void* pointer = PyCapsule_GetPointer(object, name);
    if (pointer == nullptr) {
        // A pointer we cannot have fails the fill like any other: nothing is stored and the
        // next call tries again, instead of reading through null.
        if (PyErr_Occurred() != nullptr) return fetched_error();
        return std::unexpected(
            PyError::pending(PyExc_ValueError, std::string(what) + " holds a null pointer"));
    }
    return pointer;
}

[[nodiscard]] Result<const std::string*> multiarray_module_name() {
    return multiarray_name_cell.get_or_try_init([]() -> Result<std::string> {
        const char* const* core = ATOMKIT_TRY(core_name_cell.get_or_try_init(compute_core_name));
        return std::string(*core) + ".multiarray";
    });
}

void require_api() {
    if (table_cell.get() != nullptr) return;
    auto table = table_cell.get_or_try_init(compute_table);
    if (!table) fail_with("Failed to access NumPy array API capsule", std::move(table.error()));
}

PyRef descr_from_type(int type_number) {
    require_api();
    PyRef descr = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
    if (!descr) api_call_failed();
    return descr;
}

unsigned feature_version() {
    require_api();
    return PyArray_GetNDArrayCFeatureVersion();
}

}  // namespace atomkit::numpy
