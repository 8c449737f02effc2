// The three once-only cells behind NumPy's C-API table: core module name, multiarray
// module name, and the table itself (whose capsule is kept for ever).
#include "array_interface/numpy_api.hpp"

#include "lib/internal_failure.hpp"
#include "lib/process_cell.hpp"

// The table NumPy's API macros index. Set under the interpreter lock before the table's
// cell is marked complete (racing fills store the same capsule's pointer); every use of a
// macro comes after a require_api().
void** atomkit_PyArray_API = nullptr;

namespace atomkit::numpy {
namespace {

ProcessCell<const char*> core_name_cell;
ProcessCell<std::string> multiarray_name_cell;
ProcessCell<void* const*> table_cell;

Result<PyRef> import_module(const char* name) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) return std::unexpected(PyError::fetch());
    PyRef module = PyRef::steal(PyImport_Import(text.get()));
    if (!module) return std::unexpected(PyError::fetch());
    return module;
}

Result<PyRef> attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) return std::unexpected(PyError::fetch());
    return value;
}

Result<const char*> compute_core_name() {
    auto numpy = import_module("numpy");
    if (!numpy) return std::unexpected(std::move(numpy.error()));
    auto version = attribute(numpy->get(), "__version__");
    if (!version) return std::unexpected(std::move(version.error()));
    auto lib = import_module("numpy.lib");
    if (!lib) return std::unexpected(std::move(lib.error()));
    auto version_class = attribute(lib->get(), "NumpyVersion");
    if (!version_class) return std::unexpected(std::move(version_class.error()));
    PyRef parsed = PyRef::steal(PyObject_CallOneArg(version_class->get(), version->get()));
    if (!parsed) return std::unexpected(PyError::fetch());
    auto major = attribute(parsed.get(), "major");
    if (!major) return std::unexpected(std::move(major.error()));
    long value = PyLong_AsLong(major->get());
    if (value == -1 && PyErr_Occurred() != nullptr) return std::unexpected(PyError::fetch());
    if (value < 0 || value > 255) {
        return std::unexpected(PyError::pending(
            PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return value >= 2 ? "numpy._core" : "numpy.core";
}

Result<void* const*> compute_table() {
    auto module_name = multiarray_module_name();
    if (!module_name) return std::unexpected(std::move(module_name.error()));
    auto module = import_module((*module_name)->c_str());
    if (!module) return std::unexpected(std::move(module.error()));
    auto capsule = attribute(module->get(), "_ARRAY_API");
    if (!capsule) return std::unexpected(std::move(capsule.error()));
    if (!PyCapsule_CheckExact(capsule->get()) &&
        !PyType_IsSubtype(Py_TYPE(capsule->get()), &PyCapsule_Type)) {
        return std::unexpected(conversion_error(capsule->get(), "PyCapsule"));
    }
    const char* capsule_name = PyCapsule_GetName(capsule->get());
    if (capsule_name == nullptr) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule->get(), capsule_name);
    if (pointer == nullptr) {
        // A table we cannot have is a failed fill like any other: nothing is stored and
        // the next call tries again, instead of indexing a null table.
        if (PyErr_Occurred() != nullptr) return std::unexpected(PyError::fetch());
        return std::unexpected(
            PyError::pending(PyExc_ValueError, "NumPy's _ARRAY_API capsule holds a null pointer"));
    }
    // The capsule is kept for ever so the table outlives any change to NumPy's module.
    capsule->release();
    atomkit_PyArray_API = static_cast<void**>(pointer);
    return static_cast<void* const*>(pointer);
}

}  // namespace

Result<const std::string*> multiarray_module_name() {
    return multiarray_name_cell.get_or_try_init([]() -> Result<std::string> {
        auto core = core_name_cell.get_or_try_init(compute_core_name);
        if (!core) return std::unexpected(std::move(core.error()));
        return std::string(**core) + ".multiarray";
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
