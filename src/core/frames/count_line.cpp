// The count line's grammar: int() of bytes in base 10. Plain C++.
#include "core/frames/count_line.hpp"

#include "core/common/word_bits.hpp"

namespace atomkit::frames {

std::optional<std::uint64_t> read_count_line(std::string_view line) noexcept {
    std::size_t i = 0;
    const std::size_t n = line.size();
    // The usual line: digits, perhaps a carriage return.
    std::uint64_t value = 0;
    while (i < n && i < 18 && is_digit(line[i])) value = value * 10 + digit_value(line[i++]);
    if (i > 0 && (i == n || (line[i] == '\r' && i + 1 == n))) return value;

    i = 0;
    value = 0;
    while (i < n && is_blank_byte(static_cast<unsigned char>(line[i]))) ++i;
    bool negative = false;
    if (i < n && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    if (i == n || !is_digit(line[i])) return std::nullopt;
    std::size_t digits = 0;
    while (i < n) {
        if (line[i] == '_') {
            // One underscore, between two digits.
            if (i + 1 == n || !is_digit(line[i + 1])) return std::nullopt;
            ++i;
        } else if (!is_digit(line[i])) {
            break;
        }
        ++digits;
        const unsigned digit = digit_value(line[i]);
        value = value > (max_natoms - digit) / 10 ? max_natoms : value * 10 + digit;  // saturating
        ++i;
    }
    if (digits > max_count_digits) return std::nullopt;
    while (i < n && is_blank_byte(static_cast<unsigned char>(line[i]))) ++i;
    if (i != n) return std::nullopt;
    if (negative && value != 0) return std::nullopt;
    return value;
}

}  // namespace atomkit::frames
