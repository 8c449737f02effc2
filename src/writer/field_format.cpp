// Fixed-width numeric fields of the atom block: the exact "%16.8f" float conversion (an
// integer fast path with a std::to_chars fallback) and the "%8d" integer conversion.
#include "writer/field_format.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

namespace atomkit {
namespace {

__extension__ using u128 = unsigned __int128;

constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
        pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}
constexpr std::array<char, 200> digit_pairs = make_digit_pairs();

constexpr char spaces16[16] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                               ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

constexpr std::uint64_t powers_of_ten[20] = {
    1ULL,
    10ULL,
    100ULL,
    1000ULL,
    10000ULL,
    100000ULL,
    1000000ULL,
    10000000ULL,
    100000000ULL,
    1000000000ULL,
    10000000000ULL,
    100000000000ULL,
    1000000000000ULL,
    10000000000000ULL,
    100000000000000ULL,
    1000000000000000ULL,
    10000000000000000ULL,
    100000000000000000ULL,
    1000000000000000000ULL,
    10000000000000000000ULL,
};

constexpr std::uint64_t ascii_zeros = 0x3030303030303030;
constexpr std::uint64_t ascii_spaces = 0x2020202020202020;

// The 8 decimal digits of value < 10^8 as byte values 0..9, most significant digit in the
// lowest byte (the first in memory on little-endian machines). Each step splits every
// lane in two with a multiply-shift that is exact for the lane's range.
inline std::uint64_t digit_values8(std::uint32_t value) noexcept {
    const std::uint64_t quads = (value / 10000) | (std::uint64_t{value % 10000} << 32);
    const std::uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007F;
    const std::uint64_t pairs = hundreds | ((quads - hundreds * 100) << 16);
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000F;
    return tens | ((pairs - tens * 10) << 8);
}

constexpr std::uint32_t fraction_scale = 100000000;  // 10^8: eight fraction digits
constexpr std::uint64_t ten_pow_19 = 10000000000000000000ULL;

inline void put2(char* out, std::uint64_t pair) noexcept {
    std::memcpy(out, digit_pairs.data() + 2 * pair, 2);
}

// Exactly eight digits, leading zeros included.
inline void put8(char* out, std::uint32_t value) noexcept {
    const std::uint32_t high = value / 10000;
    const std::uint32_t low = value % 10000;
    put2(out, high / 100);
    put2(out + 2, high % 100);
    put2(out + 4, low / 100);
    put2(out + 6, low % 100);
}

inline std::size_t digit_count(std::uint64_t value) noexcept {
    // bit_width * log10(2) is the count or one too many; one table compare settles it.
    const std::uint64_t nonzero = value | 1;  // zero has one digit, like one
    const auto guess = static_cast<std::size_t>(std::bit_width(nonzero) * 1233 >> 12);
    return guess + 1 - static_cast<std::size_t>(nonzero < powers_of_ten[guess]);
}

// Writes the digits of `value` so that they end just before `end`.
inline void put_digits_backward(char* end, std::uint64_t value) noexcept {
    while (value >= 100) {
        end -= 2;
        put2(end, value % 100);
        value /= 100;
    }
    if (value >= 10) {
        put2(end - 2, value);
    } else {
        end[-1] = static_cast<char>('0' + value);
    }
}

// Right-aligns `len` characters in a field of `width`: the caller has room for the
// widest field, so the fill is written whole first and the text start is returned.
inline char* field_start(char* out, std::size_t len, std::size_t width) noexcept {
    std::memcpy(out, spaces16, 16);
    return out + (len < width ? width - len : 0);
}

char* write_literal(char* out, const char* text, std::size_t len) noexcept {
    char* start = field_start(out, len, 16);
    std::memcpy(start, text, len);
    return start + len;
}

// The rare fixed-point text of an integer part beyond 64 bits (magnitudes >= ~1.8e19).
char* write_wide_scaled(char* out, bool negative, u128 scaled) noexcept {
    const u128 integer_part = scaled / fraction_scale;
    const auto fraction = static_cast<std::uint32_t>(scaled - integer_part * fraction_scale);
    const auto high = static_cast<std::uint64_t>(integer_part / ten_pow_19);
    const auto low = static_cast<std::uint64_t>(integer_part % ten_pow_19);
    const std::size_t high_digits = high != 0 ? digit_count(high) : 0;
    const std::size_t int_digits = high != 0 ? high_digits + 19 : digit_count(low);
    const std::size_t len = static_cast<std::size_t>(negative) + int_digits + 9;
    char* start = field_start(out, len, 16);
    char* cursor = start;
    if (negative) *cursor++ = '-';
    if (high != 0) {
        put_digits_backward(cursor + high_digits, high);
        cursor += high_digits;
        // The low part always has its full 19 digits, leading zeros included.
        const auto low_high = static_cast<std::uint32_t>(low / 100000000000ULL);  // 8 digits
        const std::uint64_t rest = low % 100000000000ULL;                         // 11 digits
        put8(cursor, low_high);
        const auto rest_high = static_cast<std::uint32_t>(rest / 1000);
        put8(cursor + 8, rest_high);
        const auto rest_low = static_cast<std::uint32_t>(rest % 1000);
        cursor[16] = static_cast<char>('0' + rest_low / 100);
        put2(cursor + 17, rest_low % 100);
        cursor += 19;
    } else {
        put_digits_backward(cursor + int_digits, low);
        cursor += int_digits;
    }
    *cursor++ = '.';
    put8(cursor, fraction);
    return cursor + 8;
}

// Magnitudes from 2^101 up: libstdc++'s to_chars with a precision is exact (it rounds the
// exact binary value once, ties to even), like the fast path below.
char* write_float_fallback(char* out, double value) noexcept {
    char text[max_float_field + 8];
    const auto result = std::to_chars(text, text + sizeof text, value,
                                      std::chars_format::fixed, 8);
    const auto len = static_cast<std::size_t>(result.ptr - text);
    char* start = field_start(out, len, 16);
    std::memcpy(start, text, len);
    return start + len;
}

// Fixed-point text of scaled = |value| * 10^8 (already rounded) when it fits 64 bits and
// the text is longer than 16 characters.
[[gnu::noinline]] char* write_long_scaled(char* out, bool negative, std::uint64_t scaled) noexcept {
    const std::uint64_t integer_part = scaled / fraction_scale;
    const auto fraction = static_cast<std::uint32_t>(scaled - integer_part * fraction_scale);
    const std::size_t int_digits = digit_count(integer_part);
    const std::size_t len = static_cast<std::size_t>(negative) + int_digits + 9;
    char* start = field_start(out, len, 16);
    *start = '-';  // overwritten by the first digit when the value is not negative
    char* point = start + static_cast<std::size_t>(negative) + int_digits;
    put_digits_backward(point, integer_part);
    *point = '.';
    put8(point + 1, fraction);
    return point + 9;
}

inline char* write_scaled(char* out, bool negative, std::uint64_t scaled) noexcept {
    const std::uint64_t integer_part = scaled / fraction_scale;
    // Texts of at most 16 characters (sign and at most 7 integer digits): the whole field
    // is two 8-byte words, built without a branch on the digits.
    if (integer_part >= (negative ? 1000000u : 10000000u)) {
        return write_long_scaled(out, negative, scaled);
    }
    const auto fraction = static_cast<std::uint32_t>(scaled - integer_part * fraction_scale);
    const std::uint64_t int_digits = digit_values8(static_cast<std::uint32_t>(integer_part));
    // Leading zero digits of the 8-digit form: at least 1 here, at most 7 (zero keeps its
    // last digit).
    const int zeros = std::countr_zero(int_digits | (std::uint64_t{1} << 56)) >> 3;
    // Bytes 0..6: the last 7 integer digits; byte 7: the point.
    std::uint64_t head = ((int_digits >> 8) + (ascii_zeros >> 8)) | (std::uint64_t{'.'} << 56);
    const int blanks = zeros - 1;
    const std::uint64_t blank_mask = (std::uint64_t{1} << (8 * blanks)) - 1;
    head = (head & ~blank_mask) | (ascii_spaces & blank_mask);
    // '-' is ' ' | 0x0D: the sign lands on the last blank.
    head |= static_cast<std::uint64_t>(negative) * ((std::uint64_t{0x0D} << (8 * blanks)) >> 8);
    const std::uint64_t tail = digit_values8(fraction) + ascii_zeros;
    std::memcpy(out, &head, 8);
    std::memcpy(out + 8, &tail, 8);
    return out + 16;
}

// Every double the fast path leaves: specials, zero, subnormals, and magnitudes outside
// [2^-11, 2^37).
[[gnu::noinline]] char* write_float_general(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const auto biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction_bits = bits & ((std::uint64_t{1} << 52) - 1);

    if (biased_exponent == 0x7ff) {
        if (fraction_bits != 0) return write_literal(out, "NaN", 3);
        return negative ? write_literal(out, "-inf", 4) : write_literal(out, "inf", 3);
    }

    // value = mantissa * 2^exponent, mantissa < 2^53 (zero and subnormals included).
    const std::uint64_t mantissa =
        biased_exponent != 0 ? fraction_bits | (std::uint64_t{1} << 52) : fraction_bits;
    const int exponent = (biased_exponent != 0 ? biased_exponent : 1) - 1075;

    // mantissa * 10^8 < 2^80, so shifting it left by up to 48 stays below 2^128.
    if (exponent > 48) return write_float_fallback(out, value);

    // scaled = the value times 10^8, rounded once to an integer, ties to even: exact.
    const u128 product = static_cast<u128>(mantissa) * fraction_scale;
    u128 scaled;
    if (exponent >= 0) {
        scaled = product << exponent;
    } else if (exponent >= -80) {
        // floor((product + half - 1 + odd) / 2^shift): rounds up past half, and at half
        // exactly only when the truncated quotient is odd.
        const int shift = -exponent;
        const u128 odd = (product >> shift) & 1;
        scaled = (product + ((u128{1} << (shift - 1)) - 1) + odd) >> shift;
    } else {
        // product < 2^80 <= 2^(shift-1): below half of one unit of 10^-8.
        scaled = 0;
    }

    if ((scaled >> 64) != 0) return write_wide_scaled(out, negative, scaled);
    return write_scaled(out, negative, static_cast<std::uint64_t>(scaled));
}

}  // namespace

char* write_float_field(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    // value = +-mantissa * 2^-shift. The fast path takes shift in [16, 63] (magnitudes in
    // [2^-11, 2^37)), where the scaled value is below 2^64 and one funnel shift of the
    // 128-bit product gives it.
    const unsigned shift = 1075 - static_cast<unsigned>((bits >> 52) & 0x7ff);
    if (shift - 16 > 63 - 16) return write_float_general(out, value);
    const bool negative = (bits >> 63) != 0;
    const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const u128 product = static_cast<u128>(mantissa) * fraction_scale;
    const auto low = static_cast<std::uint64_t>(product);
    const auto high = static_cast<std::uint64_t>(product >> 64);
    const std::uint64_t quotient = (low >> shift) | (high << (64 - shift));
    // The bits shifted out, left-aligned: above 2^63 is past half; exactly 2^63 is a tie,
    // which rounds up only from an odd quotient.
    const std::uint64_t dropped = low << (64 - shift);
    const bool round_up = (dropped | (quotient & 1)) > (std::uint64_t{1} << 63);
    return write_scaled(out, negative, quotient + static_cast<std::uint64_t>(round_up));
}

char* write_int_field(char* out, std::int64_t value) noexcept {
    const bool negative = value < 0;
    // Magnitude in unsigned arithmetic: INT64_MIN has no positive counterpart.
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                 : static_cast<std::uint64_t>(value);
    const std::size_t digits = digit_count(magnitude);
    const std::size_t len = static_cast<std::size_t>(negative) + digits;
    std::memcpy(out, spaces16, 8);
    char* start = out + (len < 8 ? 8 - len : 0);
    *start = '-';  // overwritten by the first digit when the value is not negative
    char* end = start + len;
    put_digits_backward(end, magnitude);
    return end;
}

}  // namespace atomkit
