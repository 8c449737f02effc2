// Entry routines: bind, convert in parameter order, run the core, build the result.
#include "lib/entries.hpp"

#include <array>
#include <string_view>

#include "lib/binding.hpp"
#include "lib/boundary.hpp"

namespace atomkit {
namespace {

constexpr std::array<std::string_view, 6> write_parameters = {
    "sym_codepoints", "sym_width", "float_mat", "int_mat", "bool_mat", "col_types"};
constexpr std::array<std::string_view, 2> read_parameters = {"lines", "col_types"};

constexpr FunctionSpec write_spec{"write_atoms_rs", write_parameters};
constexpr FunctionSpec read_spec{"read_atom_lines_rs", read_parameters};

Result<PyRef> write_atoms(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, write_parameters.size()> slots{};
    if (auto bound = bind_arguments(write_spec, args, nargsf, kwnames, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    auto sym_width = for_argument(extract_u64(slots[1]), "sym_width");
    if (!sym_width) return std::unexpected(std::move(sym_width.error()));
    auto col_types = for_argument(extract_byte_sequence(slots[5]), "col_types");
    if (!col_types) return std::unexpected(std::move(col_types.error()));
    fail("the array path of write_atoms_rs is not built yet");
}

Result<PyRef> read_atom_lines(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, read_parameters.size()> slots{};
    if (auto bound = bind_arguments(read_spec, args, nargsf, kwnames, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    auto lines = for_argument(extract_lines(slots[0]), "lines");
    if (!lines) return std::unexpected(std::move(lines.error()));
    auto col_types = for_argument(extract_byte_sequence(slots[1]), "col_types");
    if (!col_types) return std::unexpected(std::move(col_types.error()));
    fail("the reader path of read_atom_lines_rs is not built yet");
}

}  // namespace

PyObject* write_atoms_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return run_at_boundary([&] { return write_atoms(args, nargsf, kwnames); });
}

PyObject* read_atom_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return run_at_boundary([&] { return read_atom_lines(args, nargsf, kwnames); });
}

}  // namespace atomkit
