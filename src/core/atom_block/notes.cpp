// The atom block writer's failures with their notes: the texts say which code, which matrix
// and which shape, so that a caller can find the argument at fault.
#include "core/atom_block/notes.hpp"

#include <utility>

#include "core/common/internal_failure.hpp"

namespace atomkit::block {
namespace {

const char* matrix_name(std::uint8_t code) noexcept {
    return code == code_float ? "float_mat" : code == code_int ? "int_mat" : "bool_mat";
}

}  // namespace

Note& Note::ordinal(std::size_t n) {
    const std::size_t tens = n % 100;
    const std::size_t ones = n % 10;
    return *this << n << ((tens >= 11 && tens <= 13) ? "th" : ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th");
}

void out_of_bounds(const Column& column, std::size_t i) {
    const std::string_view matrix = matrix_name(column.code);
    const char code[] = {'\'', static_cast<char>(column.code), '\'', '\0'};
    Note note;
    if (column.index >= column.matrix_cols) {
        note << "col_types[" << column.position << "] is the ";
        note.ordinal(column.index + 1) << " " << code << " code, but " << matrix << " has " << column.matrix_cols
                                       << " columns";
    } else {
        note << matrix << " has shape ";
        note.shape(column.matrix_rows, column.matrix_cols)
            << ", but col_types[" << column.position << "] reads its row " << i << " for atom " << i
            << ": it needs a row for every atom of sym_codepoints";
    }
    fail_noted("ndarray: index out of bounds", std::move(note).take());
}

void width_out_of_range(const Column& column, std::uint64_t sym_width) {
    Note note;
    note << "sym_width is " << sym_width << ", but col_types[" << column.position
         << "] is an 's' code, and a symbol is padded to at most " << max_sym_width << " code points";
    fail_noted("Formatting argument out of range", std::move(note).take());
}

void capacity_overflow(const AtomBlockInput& input) {
    Note note;
    note << "the block of " << input.symbols.rows() << " atoms is budgeted at sym_width " << input.sym_width
         << " + 17 per float_mat column + 9 per int_mat column + 3 per bool_mat column + 2 bytes a line"
         << " (float_mat ";
    note.shape(input.floats.rows(), input.floats.cols()) << ", int_mat ";
    note.shape(input.ints.rows(), input.ints.cols()) << ", bool_mat ";
    note.shape(input.bools.rows(), input.bools.cols()) << "): 2^63 bytes or more";
    fail_noted("capacity overflow", std::move(note).take());
}

}  // namespace atomkit::block
