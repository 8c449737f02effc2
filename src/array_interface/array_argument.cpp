// Acceptance of array arguments by type, rank and element type equivalence.
#include "array_interface/array_argument.hpp"

namespace atomkit {

bool is_matrix_of(PyObject* object, int type_number) {
    if (!numpy::is_array(object)) return false;
    const PyArrayObject_fields* array = numpy::fields(object);
    if (array->nd != 2) return false;
    PyRef actual = PyRef::borrow(reinterpret_cast<PyObject*>(array->descr));
    if (!actual) api_call_failed();
    PyRef expected = numpy::descr_from_type(type_number);
    if (actual.get() == expected.get()) return true;
    return PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(actual.get()),
                              reinterpret_cast<PyArray_Descr*>(expected.get())) != 0;
}

}  // namespace atomkit
