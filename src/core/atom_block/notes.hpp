// The notes of the atom block writer's failures that a caller's data causes: which code ran
// past which matrix, a symbol width out of range, a block too large to budget. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/atom_block/atom_block.hpp"
#include "core/atom_block/budget.hpp"

namespace atomkit::block {

// A note's text, made only when a failure happens.
class Note {
public:
    Note& operator<<(std::string_view text) {
        text_ += text;
        return *this;
    }
    Note& operator<<(std::uint64_t number) {
        text_ += std::to_string(number);
        return *this;
    }
    Note& ordinal(std::size_t n);
    Note& shape(std::size_t rows, std::size_t cols) { return *this << "(" << rows << ", " << cols << ")"; }
    std::string take() && { return std::move(text_); }

private:
    std::string text_;
};

// "ndarray: index out of bounds": the column reads past its matrix at line i.
[[noreturn, gnu::cold, gnu::noinline]] void out_of_bounds(const Column& column, std::size_t i);

// "Formatting argument out of range": a symbol column with sym_width past max_sym_width.
[[noreturn, gnu::cold, gnu::noinline]] void width_out_of_range(const Column& column, std::uint64_t sym_width);

// "capacity overflow": the nominal reservation of the block reaches 2^63 bytes.
[[noreturn, gnu::cold, gnu::noinline]] void capacity_overflow(const AtomBlockInput& input);

}  // namespace atomkit::block
