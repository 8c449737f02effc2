// Python's repr() of a double: the shortest digits that read back as the same double, laid out
// as CPython lays them out. Plain C++.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/common/matrix_view.hpp"

namespace atomkit {

// Longest repr of a double: "-2.2250738585072014e-308".
inline constexpr std::size_t max_float_repr_length = 24;

// Writes repr(value) at `out` (room for max_float_repr_length bytes) and returns its length:
// "inf", "-inf", "nan" (whatever the sign), "-0.0", "0.0001", "1e-05", "1e+16",
// "1234567890123456.0", "1.2345678901234568e+17".
std::size_t write_float_repr(double value, char* out) noexcept;

// Appends the repr of every value, row by row, with `separator` between them.
void append_float_reprs(const MatrixView<double>& values, std::string_view separator, std::string& out);

}  // namespace atomkit
