// Result assembly of the reader: the dict of NumPy arrays and string lists. Every failure
// releases what was built so far; there is never a partial result.
#include "reader/read_result.hpp"

#include <utility>

#include "array_interface/result_array.hpp"

namespace atomkit {
namespace {

PyRef new_list(std::size_t size) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) api_call_failed();
    return list;
}

PyRef string_column(const StringColumn& column) {
    PyRef list = new_list(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) {
        std::string_view token = column[r];
        PyObject* text =
            PyUnicode_FromStringAndSize(token.data(), static_cast<Py_ssize_t>(token.size()));
        if (text == nullptr) api_call_failed();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), text);
    }
    return list;
}

}  // namespace

Result<PyRef> build_read_result(ParsedAtoms parsed) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) api_call_failed();
    auto insert = [&dict](const char* key, PyRef value) -> Result<void> {
        PyRef name = PyRef::steal(PyUnicode_FromString(key));
        if (!name) api_call_failed();
        if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) {
            return std::unexpected(PyError::fetch());
        }
        return {};
    };
    const std::size_t natoms = parsed.natoms;
    Result<void> step = insert(
        "floats",
        OwnedMatrix<double>{std::move(parsed.floats), natoms, parsed.n_float_cols}.into_ndarray());
    if (step) {
        step = insert("ints", OwnedMatrix<std::int64_t>{std::move(parsed.ints), natoms,
                                                        parsed.n_int_cols}
                                  .into_ndarray());
    }
    if (step) {
        step = insert("bools", OwnedMatrix<std::uint8_t>{std::move(parsed.bools), natoms,
                                                         parsed.n_bool_cols}
                                   .into_ndarray());
    }
    if (!step) return std::unexpected(std::move(step.error()));

    PyRef columns = new_list(parsed.strs.size());
    for (std::size_t k = 0; k < parsed.strs.size(); ++k) {
        // Each column's native tokens go as soon as their str objects exist.
        StringColumn column = std::move(parsed.strs[k]);
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(k), string_column(column).release());
    }
    if (step = insert("strs", std::move(columns)); !step) {
        return std::unexpected(std::move(step.error()));
    }
    return dict;
}

}  // namespace atomkit
