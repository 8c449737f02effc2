// Acceptance of array arguments by type, rank and element type equivalence.
#include "array_interface/array_argument.hpp"

namespace atomkit {

bool is_matrix_of(PyObject* object, int type_number) {
    if (!numpy::is_array(object)) return false;
    const numpy::ArrayFields* array = numpy::fields(object);
    if (array->nd != 2) return false;
    PyRef actual = PyRef::borrow(array->descr);
    if (!actual) api_call_failed();
    PyRef expected = numpy::descr_from_type(type_number);
    if (actual.get() == expected.get()) return true;
    using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
    return numpy::entry<EquivTypes>(numpy::Slot::equiv_types)(actual.get(), expected.get()) != 0;
}

}  // namespace atomkit
