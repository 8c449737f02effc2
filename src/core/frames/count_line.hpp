// A frame's count line read as Python's int() reads its bytes (the reader's rule), and the
// bytes that make a line blank. Plain C++.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace atomkit::frames {

// A count is kept up to this: no file holds 2^62 lines, so a frame that counts more atoms
// ends inside the file whatever its exact count.
inline constexpr std::uint64_t max_natoms = std::uint64_t{1} << 62;

// The digits int() takes at most (sys.int_info.default_max_str_digits): a longer count line
// is refused, as int() refuses it unless a program raises the limit.
inline constexpr std::size_t max_count_digits = 4300;

// ASCII whitespace as bytes.strip() and int() take it: \t \n \v \f \r and the space.
inline bool is_blank_byte(unsigned char c) noexcept { return c == ' ' || (c >= 9 && c <= 13); }

// The atom count of a count line (without its line feed): what int(line) gives, kept at most
// max_natoms, when that is a non-negative integer; nullopt when int() refuses the line or
// gives a negative number. int() takes surrounding whitespace, one sign, and decimal digits
// with single underscores between them (leading zeros included).
std::optional<std::uint64_t> read_count_line(std::string_view line) noexcept;

}  // namespace atomkit::frames
