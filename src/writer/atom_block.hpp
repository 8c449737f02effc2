// The atom block writer: every atom line of one frame as one UTF-8 text.
// Plain C++ over strided views; Python sees only the finished text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "array_interface/matrix_view.hpp"

namespace atomkit {

struct AtomBlockInput {
    MatrixView<std::uint32_t> symbols;  // (natoms, max_str_len) code points, 0-terminated
    std::uint64_t sym_width = 0;        // in code points
    MatrixView<double> floats;
    MatrixView<std::int64_t> ints;
    MatrixView<std::uint8_t> bools;
    std::span<const std::uint8_t> col_types;
};

// Raises the internal failures "capacity overflow", "ndarray: index out of bounds" and
// "Formatting argument out of range"; exhausted memory throws std::bad_alloc.
std::string build_atom_block(const AtomBlockInput& input);

}  // namespace atomkit
