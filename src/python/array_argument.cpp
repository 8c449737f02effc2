// Acceptance of array arguments by type, rank and element type equivalence, and the note
// that says why one was refused.
#include "python/array_argument.hpp"

#include <string>

namespace atomkit {
namespace {

const char* element_type_name(int type_number) noexcept {
    switch (type_number) {
        case NPY_UINT8: return "uint8";
        case NPY_UINT32: return "uint32";
        case NPY_INT64: return "int64";
        case NPY_FLOAT64: return "float64";
        default: return "?";
    }
}

}  // namespace

MatrixRefusal matrix_refusal(PyObject* object, int type_number, int dimensions) {
    if (!numpy::is_array(object)) return MatrixRefusal::not_an_array;
    const PyArrayObject_fields* array = numpy::fields(object);
    if (array->nd != dimensions) return MatrixRefusal::dimensions;
    PyRef actual = PyRef::borrow(reinterpret_cast<PyObject*>(array->descr));
    if (!actual) api_call_failed();
    PyRef expected = numpy::descr_from_type(type_number);
    if (actual.get() == expected.get() ||
        PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(actual.get()),
                           reinterpret_cast<PyArray_Descr*>(expected.get())) != 0) {
        return MatrixRefusal::none;
    }
    // The right type swapped: same type number, the other byte order.
    if (array->descr->type_num == type_number && !PyArray_ISNBO(array->descr->byteorder)) {
        return MatrixRefusal::byte_order;
    }
    return MatrixRefusal::element_type;
}

std::string refusal_note(PyObject* object, int type_number, MatrixRefusal refusal, int dimensions) {
    std::string note = "expected a " + std::to_string(dimensions) + "-dimensional numpy.ndarray of ";
    note += element_type_name(type_number);
    note += " (native byte order); got ";
    if (refusal == MatrixRefusal::not_an_array) {
        note += type_qualname(object);
        note += " (not a numpy.ndarray)";
        return note;
    }
    const PyArrayObject_fields* array = numpy::fields(object);
    note += "a " + std::to_string(array->nd) + "-dimensional array of ";
    note += lossy_text(reinterpret_cast<PyObject*>(array->descr));
    if (refusal == MatrixRefusal::byte_order) note += " (not in native byte order)";
    if (refusal == MatrixRefusal::element_type && array->descr->type_num == NPY_BOOL && type_number == NPY_UINT8) {
        note += "; a bool array can be passed as its .view(numpy.uint8)";
    }
    return note;
}

}  // namespace atomkit
