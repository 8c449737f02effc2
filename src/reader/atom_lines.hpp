// The atom line parser: lines of one frame plus column codes in, typed columns out.
// Plain C++; it touches no interpreter object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "array_interface/owned_buffer.hpp"

namespace atomkit {

// The tokens of one string column, stored back to back in one arena so that a frame of
// a million atoms does not make a million small allocations.
class StringColumn {
public:
    void reserve(std::size_t tokens, std::size_t bytes) {
        ends_.reserve(tokens);
        bytes_.reserve(bytes);
    }
    void push_back(std::string_view token) {
        bytes_.append(token);
        ends_.push_back(bytes_.size());
    }
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

struct ParsedAtoms {
    OwnedBuffer<double> floats;        // natoms x n_float_cols, row-major
    OwnedBuffer<std::int64_t> ints;    // natoms x n_int_cols
    OwnedBuffer<std::uint8_t> bools;   // natoms x n_bool_cols, 0 or 1
    std::vector<StringColumn> strs;    // one per string column, natoms tokens each
    std::size_t natoms = 0;
    std::size_t n_float_cols = 0;
    std::size_t n_int_cols = 0;
    std::size_t n_bool_cols = 0;
};

// Codes: 'f' float, 'i' int, 'b' bool, 's' string; any other byte skips one token.
// A bad line gives its "row ..." message. Oversized buffers raise the internal failure
// "capacity overflow"; exhausted memory throws std::bad_alloc.
[[nodiscard]] std::expected<ParsedAtoms, std::string> parse_atom_lines(
    std::span<const std::string_view> lines, std::span<const std::uint8_t> col_types);

}  // namespace atomkit
