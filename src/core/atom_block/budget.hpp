// The atom block writer's plan of a call: the column codes resolved into columns once, and the
// room a line may take (its usual size, its worst case, and whether it is checked field by
// field). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/atom_block/atom_block.hpp"
#include "core/atom_block/field_format.hpp"

namespace atomkit::block {

inline constexpr std::uint8_t code_symbol = 's';
inline constexpr std::uint8_t code_float = 'f';
inline constexpr std::uint8_t code_int = 'i';
inline constexpr std::uint8_t code_bool = 'b';
// Stands in for code_symbol when sym_width is out of range, so that the check is made once
// per call and the call still fails only where a line reaches its first symbol field.
inline constexpr std::uint8_t code_symbol_width_out_of_range = 0;

inline constexpr std::uint64_t max_sym_width = 65535;

// Bytes written per column by the usual case (separator plus a field of its minimum width),
// for the first reservation.
inline constexpr std::uint64_t float_column_text = 1 + min_float_field;
inline constexpr std::uint64_t int_column_text = 1 + min_int_field;
inline constexpr std::uint64_t bool_column_text = 3;
// The worst case of one column, for the room checks.
inline constexpr std::uint64_t float_column_room = 1 + max_float_field;
inline constexpr std::uint64_t int_column_room = 1 + max_int_field;
inline constexpr std::uint64_t utf8_max_bytes = 4;
// Padding of short symbols is written as one store of this many spaces.
inline constexpr std::size_t short_padding = 16;

// One column code that writes something, resolved once per call. Cursors restart on every
// line, so the k-th "f" of the codes always reads float column k: each numeric column
// keeps its element address in row 0 and the row stride. A column beyond the matrix's
// columns gets rows = 0, so the one row check also catches it when a line reaches it.
struct Column {
    std::uint8_t code;
    // On the first float column of a run of consecutive ones: how many of them (up to a
    // batch) are formatted together; 0 on the others and on other codes.
    std::uint8_t batch = 0;
    std::size_t rows = 0;
    const std::byte* row0 = nullptr;
    std::ptrdiff_t row_stride = 0;
    // For the note of a failure: where the code stands in col_types, which column of its
    // matrix it reads, and the matrix's shape.
    std::size_t position = 0;
    std::size_t index = 0;
    std::size_t matrix_rows = 0;
    std::size_t matrix_cols = 0;
};

struct BlockPlan {
    std::vector<Column> columns;
    std::uint64_t symbol_room = 0;  // the worst case of one symbol field
    std::uint64_t line_bound = 0;   // the worst case of one line
    std::uint64_t usual_line = 0;   // what a line usually takes
    // Symbol rows too long to budget whole: each code point makes sure of its own room.
    bool wide_symbols = false;
    // Lines make sure of room field by field rather than once for the whole line.
    bool checked_lines = false;
};

// Raises "capacity overflow" when the nominal reservation of the block reaches 2^63 bytes.
void check_reservation(const AtomBlockInput& input);

BlockPlan plan_block(const AtomBlockInput& input);

}  // namespace atomkit::block
