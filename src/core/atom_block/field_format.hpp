// Fixed-width numeric fields of the atom block: "%16.8f" floats (NaN as "NaN"),
// "%8d" integers and "T"/"F" booleans. Plain C++, no allocation per field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace atomkit {

// The narrowest fields: "%16.8f" and "%8d" pad to these widths.
inline constexpr std::size_t min_float_field = 16;
inline constexpr std::size_t min_int_field = 8;
// The widest float field: "-" + 309 integer digits + "." + 8 digits.
inline constexpr std::size_t max_float_field = 319;
// The widest integer field: "-9223372036854775808".
inline constexpr std::size_t max_int_field = 20;

// Each writes its field at `out` (which has room for the maximum) and returns the end.
char* write_float_field(char* out, double value) noexcept;
char* write_int_field(char* out, std::int64_t value) noexcept;
inline char* write_bool_field(char* out, std::uint8_t value) noexcept {
    *out = value != 0 ? 'T' : 'F';
    return out + 1;
}

}  // namespace atomkit
