// Result assembly of the reader: the dict of NumPy arrays and string lists. Every failure
// releases what was built so far; there is never a partial result.
#include "python/read_result.hpp"

#include <array>
#include <utility>
#include <vector>

#include "python/process_cell.hpp"
#include "python/result_array.hpp"

namespace atomkit {
namespace {

PyRef new_list(std::size_t size) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) api_call_failed();
    return list;
}

// One str per distinct token of the column (the parser stored each once), shared by every
// row that holds it.
PyRef string_column(const StringColumn& column) {
    std::vector<PyRef> distinct;
    distinct.reserve(column.distinct_count());
    for (std::uint32_t k = 0; k < column.distinct_count(); ++k) {
        const std::string_view token = column.distinct(k);
        distinct.push_back(PyRef::steal(
            PyUnicode_FromStringAndSize(token.data(), static_cast<Py_ssize_t>(token.size()))));
        if (!distinct.back()) api_call_failed();
    }
    PyRef list = new_list(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) {
        PyObject* text = distinct[column.distinct_index(r)].get();
        Py_INCREF(text);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), text);
    }
    return list;
}

// The result's keys, made once and interned: every call would otherwise make four strs.
ProcessCell<PyRef> key_cells[4];

PyObject* key(std::size_t index, std::string_view text) {
    auto cell = key_cells[index].get_or_try_init([text]() -> std::expected<PyRef, bool> {
        PyObject* made = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (made == nullptr) api_call_failed();
        PyUnicode_InternInPlace(&made);
        return PyRef::steal(made);
    });
    return (*cell)->get();
}

}  // namespace

[[nodiscard]] Result<PyRef> build_read_result(ParsedAtoms parsed) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) api_call_failed();
    auto insert = [&dict](std::size_t index, std::string_view name, PyRef value) -> Result<void> {
        if (PyDict_SetItem(dict.get(), key(index, name), value.get()) < 0) return fetched_error();
        return {};
    };
    const std::size_t natoms = parsed.natoms;
    Result<void> step = insert(
        0, "floats",
        OwnedMatrix<double>{std::move(parsed.floats), natoms, parsed.n_float_cols}.into_ndarray());
    if (step) {
        step = insert(1, "ints", OwnedMatrix<std::int64_t>{std::move(parsed.ints), natoms,
                                                        parsed.n_int_cols}
                                  .into_ndarray());
    }
    if (step) {
        step = insert(2, "bools", OwnedMatrix<std::uint8_t>{std::move(parsed.bools), natoms,
                                                         parsed.n_bool_cols}
                                   .into_ndarray());
    }
    ATOMKIT_TRY(std::move(step));

    PyRef columns = new_list(parsed.strs.size());
    for (std::size_t k = 0; k < parsed.strs.size(); ++k) {
        // Each column's native tokens go as soon as their str objects exist.
        StringColumn column = std::move(parsed.strs[k]);
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(k), string_column(column).release());
    }
    ATOMKIT_TRY(insert(3, "strs", std::move(columns)));
    return dict;
}

}  // namespace atomkit
