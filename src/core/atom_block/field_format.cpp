// Fixed-width numeric fields of the atom block: the exact "%16.8f" float conversion (an
// integer fast path with a std::to_chars fallback) and the "%8d" integer conversion.
#include "core/atom_block/field_format.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "core/common/word_bits.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace atomkit {
namespace {

__extension__ using u128 = unsigned __int128;

constexpr std::uint32_t fraction_scale = 100000000;  // 10^8: eight fraction digits
constexpr std::uint64_t ten_pow_19 = 10000000000000000000ULL;

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
constexpr std::uint64_t ascii_spaces = 0x2020202020202020;

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

// Right-aligns `len` characters in a 16-character field: the caller has room for the
// widest field, so the fill is written whole first and the text start is returned.
inline char* field_start(char* out, std::size_t len) noexcept {
    std::memcpy(out, spaces16, 16);
    return out + (len < 16 ? 16 - len : 0);
}

// Two 8-byte words in memory order, each read as a little-endian integer.
struct Words {
    std::uint64_t first;
    std::uint64_t second;
};

// ASCII of two numbers below 10^8 as 8 digits each, leading zeros included: `left` in the
// first word, `right` in the second. The first word's last character is the decimal point
// instead of its digit, which callers keep at 0 (they pass the integer part times ten).
#if defined(__SSE2__)
inline Words ascii_digits16(std::uint32_t left, std::uint32_t right) noexcept {
    // Every step divides all lanes at once by a multiply-high with a reciprocal that is exact
    // for the lane's range: 10^8 -> 2 x 10^4 (32-bit lanes), then 10^4 -> 4 x 10 (16-bit).
    const __m128i values = _mm_set_epi64x(right, left);
    // 0xD1B71759 = ceil(2^45 / 10^4), written as the int32 it is stored in.
    const __m128i high4 = _mm_srli_epi64(_mm_mul_epu32(values, _mm_set1_epi32(-776530087)), 45);
    const __m128i low4 = _mm_sub_epi32(values, _mm_mul_epu32(high4, _mm_set1_epi32(10000)));
    // 16-bit lanes per 64-bit half: [high4 * 4, low4 * 4, 0, 0].
    const __m128i quads = _mm_slli_epi16(_mm_or_si128(high4, _mm_slli_epi64(low4, 16)), 2);
    const __m128i spread_left = _mm_unpacklo_epi32(_mm_unpacklo_epi16(quads, quads),
                                                   _mm_unpacklo_epi16(quads, quads));
    const __m128i spread_right = _mm_unpacklo_epi32(_mm_unpackhi_epi16(quads, quads),
                                                    _mm_unpackhi_epi16(quads, quads));
    // x * 4 -> [x / 1000, x / 100, x / 10, x] in each group of four 16-bit lanes.
    const __m128i reciprocals = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
    const __m128i rescale = _mm_setr_epi16(128, 2048, 8192, -32768, 128, 2048, 8192, -32768);
    const __m128i ten = _mm_set1_epi16(10);
    auto digits = [&](__m128i spread) {
        const __m128i prefixes = _mm_mulhi_epu16(_mm_mulhi_epu16(spread, reciprocals), rescale);
        // Each prefix minus ten times the one before it is its last digit.
        return _mm_sub_epi16(prefixes, _mm_slli_epi64(_mm_mullo_epi16(prefixes, ten), 16));
    };
    const __m128i bytes = _mm_packus_epi16(digits(spread_left), digits(spread_right));
    const __m128i ascii =
        _mm_add_epi8(bytes, _mm_setr_epi8('0', '0', '0', '0', '0', '0', '0', '.', '0', '0',
                                          '0', '0', '0', '0', '0', '0'));
    return {static_cast<std::uint64_t>(_mm_cvtsi128_si64(ascii)),
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(ascii, ascii)))};
}
#else
// The 8 digits of value < 10^8 as byte values, most significant digit in the lowest byte.
// Each step splits every lane in two with a multiply-shift that is exact for its range.
inline std::uint64_t digit_values8(std::uint32_t value) noexcept {
    const std::uint64_t quads = (value / 10000) | (std::uint64_t{value % 10000} << 32);
    const std::uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007F;
    const std::uint64_t pairs = hundreds | ((quads - hundreds * 100) << 16);
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000F;
    return tens | ((pairs - tens * 10) << 8);
}

inline Words ascii_digits16(std::uint32_t left, std::uint32_t right) noexcept {
    constexpr std::uint64_t ascii_zeros = 0x3030303030303030;
    constexpr std::uint64_t point_bias = std::uint64_t{'0' - '.'} << 56;
    return {digit_values8(left) + ascii_zeros - point_bias, digit_values8(right) + ascii_zeros};
}
#endif

// The field of a text of at most 16 characters: integer_part < 10^7, and < 10^6 when
// negative. Two word stores, no branch on the digits.
inline char* write_short_fixed(char* out, bool negative, std::uint64_t integer_part,
                               std::uint32_t fraction) noexcept {
    // The integer part times ten fills 8 digits whose last (a 0) becomes the point.
    const Words text = ascii_digits16(static_cast<std::uint32_t>(integer_part * 10), fraction);
    const auto blanks = static_cast<unsigned>(7 - digit_count(integer_part));
    const std::uint64_t blank_mask = (std::uint64_t{1} << (8 * blanks)) - 1;
    std::uint64_t head = (text.first & ~blank_mask) | (ascii_spaces & blank_mask);
    // '-' is ' ' | 0x0D: the sign lands on the last blank.
    head |= static_cast<std::uint64_t>(negative) * ((std::uint64_t{0x0D} << (8 * blanks)) >> 8);
    store_le_word(out, head);
    store_le_word(out + 8, text.second);
    return out + 16;
}

inline bool fits_short(bool negative, std::uint64_t integer_part) noexcept {
    return integer_part < (negative ? 1000000u : 10000000u);
}

// Fixed-point text of scaled = |value| * 10^8 (already rounded) below 2^64.
[[gnu::noinline]] char* write_scaled(char* out, bool negative, std::uint64_t scaled) noexcept {
    const std::uint64_t integer_part = scaled / fraction_scale;
    const auto fraction = static_cast<std::uint32_t>(scaled - integer_part * fraction_scale);
    if (fits_short(negative, integer_part)) {
        return write_short_fixed(out, negative, integer_part, fraction);
    }
    const std::size_t int_digits = digit_count(integer_part);
    const std::size_t len = static_cast<std::size_t>(negative) + int_digits + 9;
    char* start = field_start(out, len);
    *start = '-';  // overwritten by the first digit when the value is not negative
    char* point = start + static_cast<std::size_t>(negative) + int_digits;
    put_digits_backward(point, integer_part);
    *point = '.';
    put8(point + 1, fraction);
    return point + 9;
}

// The same for scaled values of 2^64 and more (magnitudes from about 1.8e11 on).
char* write_wide_scaled(char* out, bool negative, u128 scaled) noexcept {
    const u128 integer_part = scaled / fraction_scale;
    const auto fraction = static_cast<std::uint32_t>(scaled - integer_part * fraction_scale);
    const auto high = static_cast<std::uint64_t>(integer_part / ten_pow_19);
    const auto low = static_cast<std::uint64_t>(integer_part % ten_pow_19);
    const std::size_t high_digits = high != 0 ? digit_count(high) : 0;
    const std::size_t int_digits = high != 0 ? high_digits + 19 : digit_count(low);
    char* cursor = field_start(out, static_cast<std::size_t>(negative) + int_digits + 9);
    if (negative) *cursor++ = '-';
    if (high != 0) {
        put_digits_backward(cursor + high_digits, high);
        cursor += high_digits;
        // Below the high part: 19 digits, leading zeros included (8 + 8 + 3).
        put8(cursor, static_cast<std::uint32_t>(low / 100000000000ULL));
        const std::uint64_t rest = low % 100000000000ULL;
        put8(cursor + 8, static_cast<std::uint32_t>(rest / 1000));
        const auto last3 = static_cast<std::uint32_t>(rest % 1000);
        cursor[16] = static_cast<char>('0' + last3 / 100);
        put2(cursor + 17, last3 % 100);
        cursor += 19;
    } else {
        put_digits_backward(cursor + int_digits, low);
        cursor += int_digits;
    }
    *cursor++ = '.';
    put8(cursor, fraction);
    return cursor + 8;
}

char* write_literal(char* out, const char* text, std::size_t len) noexcept {
    char* start = field_start(out, len);
    std::memcpy(start, text, len);
    return start + len;
}

// Magnitudes from 2^101 up: libstdc++'s to_chars with a precision is exact (it rounds the
// exact binary value once, ties to even), like the integer paths.
char* write_float_fallback(char* out, double value) noexcept {
    char text[max_float_field + 8];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 8);
    const auto len = static_cast<std::size_t>(result.ptr - text);
    char* start = field_start(out, len);
    std::memcpy(start, text, len);
    return start + len;
}

// Every double the fast path leaves: specials, zero, subnormals, and magnitudes outside
// [2^-11, 2^37).
[[gnu::noinline]] char* write_float_general(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const auto biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction_bits = bits & ((std::uint64_t{1} << 52) - 1);

    if (biased_exponent == 0x7ff) {
        if (fraction_bits != 0) return write_literal(out, "NaN", 3);  // never a sign
        return negative ? write_literal(out, "-inf", 4) : write_literal(out, "inf", 3);
    }

    // value = mantissa * 2^exponent, mantissa < 2^53 (zero and subnormals included).
    const std::uint64_t mantissa =
        biased_exponent != 0 ? fraction_bits | (std::uint64_t{1} << 52) : fraction_bits;
    const int exponent = (biased_exponent != 0 ? biased_exponent : 1) - 1075;

    // mantissa * 10^8 < 2^80, so shifting it left by up to 48 stays below 2^128.
    if (exponent > 48) return write_float_fallback(out, value);

    // scaled = the magnitude times 10^8, rounded once to an integer, ties to even: exact.
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
        // product < 2^80 <= 2^(shift-1): below half of one unit of 10^-8. The sign stays.
        scaled = 0;
    }

    if ((scaled >> 64) != 0) return write_wide_scaled(out, negative, scaled);
    return write_scaled(out, negative, static_cast<std::uint64_t>(scaled));
}

}  // namespace

char* write_float_field(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    // |value| = mantissa / 2^shift. The fast path takes shift in [16, 63], magnitudes in
    // [2^-11, 2^37): the integer part is mantissa >> shift, and the fraction bits times 10^8
    // (below 2^91) come down to 64 bits with one funnel shift.
    const unsigned shift = 1075 - static_cast<unsigned>((bits >> 52) & 0x7ff);
    if (shift - 16 > 63 - 16) return write_float_general(out, value);
    const bool negative = (bits >> 63) != 0;
    const std::uint64_t mantissa =
        (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    std::uint64_t integer_part = mantissa >> shift;
    const u128 product =
        static_cast<u128>(mantissa & ((std::uint64_t{1} << shift) - 1)) * fraction_scale;
    const auto low = static_cast<std::uint64_t>(product);
    const auto high = static_cast<std::uint64_t>(product >> 64);
    std::uint64_t fraction = (low >> shift) | (high << (64 - shift));
    // The bits shifted out, left-aligned: above 2^63 is past half; exactly 2^63 is a tie,
    // which rounds up only from an odd quotient (10^8 is even, so the fraction's parity is
    // the whole scaled value's).
    const std::uint64_t dropped = low << (64 - shift);
    fraction += static_cast<std::uint64_t>((dropped | (fraction & 1)) > (std::uint64_t{1} << 63));
    // Rounding up to 1.00000000 carries into the integer part.
    const bool carry = fraction == fraction_scale;
    integer_part += static_cast<std::uint64_t>(carry);
    fraction -= static_cast<std::uint64_t>(carry) * fraction_scale;
    if (!fits_short(negative, integer_part)) {
        return write_scaled(out, negative, integer_part * fraction_scale + fraction);
    }
    return write_short_fixed(out, negative, integer_part, static_cast<std::uint32_t>(fraction));
}

char* write_int_field(char* out, std::int64_t value) noexcept {
    const bool negative = value < 0;
    // Magnitude in unsigned arithmetic: INT64_MIN has no positive counterpart.
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                             : static_cast<std::uint64_t>(value);
    const std::size_t len = static_cast<std::size_t>(negative) + digit_count(magnitude);
    std::memcpy(out, spaces16, 8);
    char* start = out + (len < 8 ? 8 - len : 0);
    *start = '-';  // overwritten by the first digit when the value is not negative
    char* end = start + len;
    put_digits_backward(end, magnitude);
    return end;
}

}  // namespace atomkit
