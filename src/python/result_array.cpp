// PySliceContainer, the heap type that owns a native buffer on the Python heap, and the
// hand-over of such a buffer to a new NumPy array.
#include "python/result_array.hpp"

#include <algorithm>
#include <cstring>
#include <expected>

#include "core/common/internal_failure.hpp"
#include "python/numpy_api.hpp"
#include "python/process_cell.hpp"
#include "python/py_error.hpp"

namespace atomkit {
namespace {

using ReleaseFunction = void (*)(void*, std::size_t, std::size_t);

struct SliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t length;
    std::size_t capacity;  // in elements; 0 means nothing to free
    ReleaseFunction release;
};

PyObject* container_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
    } else {
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    }
    return nullptr;
}

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    // Only hand_buffer_to_ndarray fills a container; one made any other way holds nothing.
    if (container->release != nullptr) {
        container->release(container->data, container->length, container->capacity);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>("A utility type that stores a native buffer safely on the Python heap.")},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = static_cast<int>(sizeof(SliceContainer)),
    .itemsize = 0,
    // Immutable, so Python code cannot give it a constructor that makes empty containers.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = container_slots,
};

ProcessCell<PyRef> container_type_cell;

PyTypeObject* container_type() {
    auto type = container_type_cell.get_or_try_init([]() -> std::expected<PyRef, bool> {
        PyObject* made = PyType_FromSpec(&container_spec);
        if (made == nullptr) {
            PyErr_PrintEx(0);
            fail("failed to create type object for PySliceContainer");
        }
        return PyRef::steal(made);
    });
    return reinterpret_cast<PyTypeObject*>((*type)->get());
}

// Never read: an empty result still gets a non-null, suitably aligned data address so that
// NumPy does not allocate memory of its own.
alignas(16) std::byte empty_data[16];

}  // namespace

PyRef copied_ndarray(int type_number, std::initializer_list<npy_intp> shape, const void* data, std::size_t bytes) {
    numpy::require_api();
    npy_intp dimensions[3] = {};
    if (shape.size() > 3) fail("an array of more than 3 dimensions asked for");
    std::copy(shape.begin(), shape.end(), dimensions);
    PyRef array = PyRef::steal(PyArray_SimpleNew(static_cast<int>(shape.size()), dimensions, type_number));
    if (!array) api_call_failed();
    if (bytes != 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, bytes);
    return array;
}

namespace detail {

PyRef hand_buffer_to_ndarray(OwnedBuffer<std::byte>::Parts storage, std::size_t rows,
                             std::size_t cols, std::size_t element_size, int type_number) {
    // Until the container holds the buffer, this guard frees it on every way out.
    struct Pending {
        OwnedBuffer<std::byte>::Parts parts;
        ~Pending() { release_owned_storage(parts.data, parts.length, parts.capacity); }
    } pending{storage};

    PyTypeObject* type = container_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyRef container = PyRef::steal(alloc(type, 0));
    if (!container) fail_with("Failed to create slice container", PyError::fetch());
    auto* slice = reinterpret_cast<SliceContainer*>(container.get());
    slice->data = pending.parts.data;
    slice->length = pending.parts.length;
    slice->capacity = pending.parts.capacity;
    slice->release = release_owned_storage;
    void* data = pending.parts.data != nullptr ? static_cast<void*>(pending.parts.data)
                                               : static_cast<void*>(empty_data);
    pending.parts = {nullptr, 0, 0};

    Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    Py_ssize_t strides[2] = {0, 0};
    if (rows > 0 && cols > 0) {
        strides[0] = static_cast<Py_ssize_t>(cols * element_size);
        strides[1] = static_cast<Py_ssize_t>(element_size);
    }
    PyRef descr = numpy::descr_from_type(type_number);
    PyRef array = PyRef::steal(PyArray_NewFromDescr(
        numpy::array_type(), reinterpret_cast<PyArray_Descr*>(descr.release()), 2, dims, strides,
        data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) api_call_failed();  // the container, released here, frees the buffer

    // NumPy takes the container reference even when it fails, and then has already freed
    // the buffer: the array must not escape, so it is released here (it owns no data).
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
        api_call_failed();
    }
    return array;
}

}  // namespace detail
}  // namespace atomkit
