// The value grammars of single tokens: float64, int64 and boolean. Plain C++ over bytes;
// nothing here allocates or throws.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "core/common/word_bits.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace atomkit {

enum class FloatTokenError { invalid, empty };
enum class IntTokenError { invalid_digit, too_large, too_small, empty };

// "invalid float literal" / "cannot parse float from empty string"
std::string_view describe(FloatTokenError error) noexcept;
// "invalid digit found in string" / "number too large to fit in target type" /
// "number too small to fit in target type" / "cannot parse integer from empty string"
std::string_view describe(IntTokenError error) noexcept;

// Correctly rounded (nearest, ties to even) whatever rounding mode other native code in the
// process has set: the mode is checked, and round-to-nearest held for the conversion.
[[nodiscard]] std::expected<double, FloatTokenError> parse_float_token(std::string_view token) noexcept;

// Holds round-to-nearest for its lifetime and then restores the caller's mode, so that a
// whole block of tokens pays for one check instead of one per token.
class NearestRounding {
public:
    NearestRounding() noexcept;
    ~NearestRounding();
    NearestRounding(const NearestRounding&) = delete;
    NearestRounding& operator=(const NearestRounding&) = delete;

private:
    int saved_;
};

// Below this an integer converts to double exactly, so one multiplication or division by
// an exact power of ten is a single correctly rounded operation.
inline constexpr std::uint64_t exact_mantissa_limit = std::uint64_t{1} << 53;
inline constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr std::int64_t max_exact_power = 22;
// Up to 19 decimal digits fit a uint64 without wrapping.
inline constexpr std::ptrdiff_t max_exact_digits = 19;

// What "%16.8f" writes for |x| < 10^8: an optional '-', 1 to 8 digits, the point and
// exactly 8 digits, read as two words of eight digits and one division; false for every
// other token. Inside a NearestRounding scope only.
[[gnu::always_inline]] inline bool parse_eight_place_decimal(std::string_view token, double& value) noexcept {
    const std::size_t size = token.size();
    if (size >= 10 && size <= 18 && token[size - 9] == '.') {
        const bool negative = token[0] == '-';
        const std::size_t integer_digits = size - 9 - static_cast<std::size_t>(negative);
        const char* const digits = token.data() + static_cast<std::size_t>(negative);
        const std::uint64_t fraction = load_le_word(token.data() + size - 8);
        if (integer_digits >= 1 && integer_digits <= 8 && is_eight_digits(fraction)) {
            // The token is at least 10 characters, so eight bytes from its first digit lie
            // inside it; the bytes past the integer part are shifted out and leading '0's
            // shifted in.
            const unsigned drop = 8 * static_cast<unsigned>(8 - integer_digits);
            const std::uint64_t integer = (load_le_word(digits) << drop) |
                                          (0x3030303030303030ULL & ~(~std::uint64_t{0} << drop));
            if (is_eight_digits(integer)) {
                const std::uint64_t mantissa = eight_digits_value(integer) * 100000000 + eight_digits_value(fraction);
                if (mantissa <= exact_mantissa_limit) {
                    // The sign goes in as a bit: signs of data columns are a coin toss for a branch.
                    value = std::bit_cast<double>(std::bit_cast<std::uint64_t>(static_cast<double>(mantissa) / 1e8) |
                                                  (std::uint64_t{negative} << 63));
                    return true;
                }
            }
        }
    }
    return false;
}

// A sign, digits, a point and digits, at most 19 digits in all and no exponent, converted
// with one correctly rounded division; false for every other token. Inside a
// NearestRounding scope only.
[[gnu::always_inline]] inline bool parse_short_decimal(std::string_view token, double& value) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    if (negative || *p == '+') ++p;
    const char* const integer_begin = p;
    std::uint64_t mantissa = 0;
    while (p != end && is_digit(*p)) {
        mantissa = mantissa * 10 + digit_value(*p);
        ++p;
    }
    const std::ptrdiff_t integer_digits = p - integer_begin;
    if (p == end || *p != '.' || integer_digits > max_exact_digits) return false;
    const char* const fraction_begin = ++p;
    if (end - p >= 8) {
        const std::uint64_t word = load_le_word(p);
        if (is_eight_digits(word)) {
            mantissa = mantissa * 100000000 + eight_digits_value(word);
            p += 8;
        }
    }
    while (p != end && is_digit(*p)) {
        mantissa = mantissa * 10 + digit_value(*p);
        ++p;
    }
    const std::ptrdiff_t fraction_digits = p - fraction_begin;
    const std::ptrdiff_t digits = integer_digits + fraction_digits;
    if (p != end || digits == 0 || digits > max_exact_digits || fraction_digits > max_exact_power ||
        mantissa > exact_mantissa_limit) {
        return false;
    }
    value = static_cast<double>(mantissa) / exact_powers_of_ten[fraction_digits];
    if (negative) value = -value;
    return true;
}

// The usual float of atom lines, a sign, digits, a point and digits (at most 19 digits in
// all, no exponent), converted with one correctly rounded division; false for every other
// token, which parse_float_token_nearest takes. Inside a NearestRounding scope only.
[[gnu::always_inline]] inline bool parse_plain_decimal(std::string_view token, double& value) noexcept {
    return parse_eight_place_decimal(token, value) || parse_short_decimal(token, value);
}

// The usual integer of atom lines: an optional sign and 1 to 18 digits (which cannot leave
// the range); false for every other token, which parse_int_token takes.
[[gnu::always_inline]] inline bool parse_short_int(std::string_view token, std::int64_t& value) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    if (negative || *p == '+') ++p;
    if (p == end || end - p > 18) return false;
    std::uint64_t magnitude = 0;
    do {
        const unsigned d = digit_value(*p);
        if (d > 9) return false;
        magnitude = magnitude * 10 + d;
    } while (++p != end);
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

// What "%8d" writes for |n| < 10^7, and any other token of at most eight bytes that is an
// optional '-' and digits, read as the eight bytes that end it: those before its first digit
// become '0' and all eight are checked and valued at once, with no branch on the length or
// the sign. The caller guarantees that the eight bytes before the token's end may be read.
// False when the token has another shape.
[[gnu::always_inline]] inline bool parse_int_word(std::string_view token, std::int64_t& value) noexcept {
    const std::size_t size = token.size();
    if (size - 1 >= 8) return false;  // empty, or longer than eight bytes
    const bool negative = token[0] == '-';
    const std::size_t first_digit = 8 - size + static_cast<std::size_t>(negative);
    if (first_digit == 8) return false;  // a lone '-'
    const std::uint64_t below = ~(~std::uint64_t{0} << (8 * first_digit));  // first_digit < 8
    const std::uint64_t word = (load_le_word(token.data() + size - 8) & ~below) | (0x3030303030303030ULL & below);
    if (!is_eight_digits(word)) return false;
    const auto magnitude = static_cast<std::int64_t>(eight_digits_value(word));
    const std::int64_t sign = -static_cast<std::int64_t>(negative);
    value = (magnitude ^ sign) - sign;
    return true;
}

#if defined(__SSE2__)
// What the 16 bytes that end a token of the '%16.8f' shape must hold, by its sign and where it
// starts among them: byte k is checked to lie in [low[k], low[k] + span[k]] (a digit, the
// point, or anything before the first digit), `keep` zeroes the bytes that are no digit of
// the value, and `sign` is the sign bit of a double in its first eight bytes.
struct FixedDecimalShape {
    std::uint8_t low[16];
    std::uint8_t span[16];
    std::uint8_t keep[16];
    std::uint8_t sign[16];
};

// Entry 7 * negative + (16 - size). The digits begin one byte after a '-'; a token whose only
// digits follow the point (first digit at the point's place, 7) has its '-' at 6 checked as a
// digit, so that it fails.
alignas(64) inline constexpr auto fixed_decimal_shapes = [] {
    std::array<FixedDecimalShape, 14> shapes{};
    for (std::size_t negative = 0; negative < 2; ++negative) {
        for (std::size_t start = 0; start < 7; ++start) {
            FixedDecimalShape& shape = shapes[7 * negative + start];
            const std::size_t first_digit = std::min<std::size_t>(start + negative, 6);
            for (std::size_t k = 0; k < 16; ++k) {
                const bool point = k == 7;
                const bool digit = k >= first_digit && !point;
                shape.low[k] = point ? '.' : digit ? '0' : 0;
                shape.span[k] = point ? 0 : digit ? 9 : 0xFF;
                shape.keep[k] = digit ? 0xFF : 0;
            }
            shape.sign[7] = negative != 0 ? 0x80 : 0;
        }
    }
    return shapes;
}();

// The '%16.8f' shape of at most 16 characters (an optional '-', 1 to 7 integer digits with
// the sign, the point, 8 digits), read as the 16 bytes that end the token: all 16 checked at
// once against the shape of its length and sign, their digits valued by pairs (one 16-bit
// multiply: (a + 256 b) * 2561 holds 10 a + b in its high byte) and then quads (four dwords,
// the point read as a 0); false when the token has another shape. The caller guarantees that
// the 16 bytes before the token's end may be read.
[[gnu::always_inline]] inline bool fixed_decimal_quads(std::string_view token, __m128i& quads,
                                                       const FixedDecimalShape*& shape) noexcept {
    const std::size_t size = token.size();
    if (size - 10 > 6) return false;  // 10 to 16 bytes
    shape = &fixed_decimal_shapes[7 * (token[0] == '-' ? 1 : 0) + 16 - size];
    const auto row = [](const std::uint8_t* bytes) { return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes)); };
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(token.data() + size - 16));
    const __m128i offsets = _mm_sub_epi8(bytes, row(shape->low));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offsets, row(shape->span)), offsets)) != 0xFFFF) return false;
    const __m128i digits = _mm_and_si128(offsets, row(shape->keep));
    const __m128i pairs = _mm_srli_epi16(_mm_mullo_epi16(digits, _mm_set1_epi16(2561)), 8);
    quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));  // 100 a + b
    return true;
}

// The values of two tokens from their quads, one in each lane, with their sign bits: each
// quad is below 10^4 and fits 16 bits, so one more multiply-add makes the halves; the first
// half is the integer part times ten, and the mantissa (below 10^15) becomes a double exactly
// through the exponent bits of 2^52, divided by 10^8 once. The sign goes in as a bit: signs of
// data columns are a coin toss for a branch.
[[gnu::always_inline]] inline __m128d fixed_decimal_values(__m128i first, __m128i second, __m128i signs) noexcept {
    const __m128i halves = _mm_madd_epi16(_mm_packs_epi32(first, second), _mm_set1_epi32(0x00012710));  // 10^4 a + b
    const __m128i mantissas = _mm_add_epi64(_mm_mul_epu32(halves, _mm_set1_epi32(10000000)), _mm_srli_epi64(halves, 32));
    const __m128d two_52 = _mm_set1_pd(0x1p52);
    const __m128d exact = _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(mantissas, _mm_castpd_si128(two_52))), two_52);
    return _mm_or_pd(_mm_div_pd(exact, _mm_set1_pd(1e8)), _mm_castsi128_pd(signs));
}

// One token of the '%16.8f' shape into `value`; false, with `value` untouched, when the token
// has another shape. The caller guarantees that the 16 bytes before its end may be read.
[[gnu::always_inline]] inline bool parse_fixed_decimal16(std::string_view token, double& value) noexcept {
    __m128i quads;
    const FixedDecimalShape* shape;
    if (!fixed_decimal_quads(token, quads, shape)) return false;
    const __m128i sign = _mm_load_si128(reinterpret_cast<const __m128i*>(shape->sign));
    _mm_store_sd(&value, fixed_decimal_values(quads, quads, sign));
    return true;
}

// Two tokens of the '%16.8f' shape into out[0] and out[1], their last steps sharing the
// registers (one division for both); false, with nothing written, unless both have the shape.
// The caller guarantees that the 16 bytes before each token's end may be read.
[[gnu::always_inline]] inline bool parse_fixed_decimal16_pair(std::string_view first, std::string_view second,
                                                             double* out) noexcept {
    __m128i first_quads;
    __m128i second_quads;
    const FixedDecimalShape* first_shape;
    const FixedDecimalShape* second_shape;
    if (!fixed_decimal_quads(first, first_quads, first_shape) ||
        !fixed_decimal_quads(second, second_quads, second_shape)) {
        return false;
    }
    const __m128i signs = _mm_unpacklo_epi64(_mm_load_si128(reinterpret_cast<const __m128i*>(first_shape->sign)),
                                             _mm_load_si128(reinterpret_cast<const __m128i*>(second_shape->sign)));
    _mm_storeu_pd(out, fixed_decimal_values(first_quads, second_quads, signs));
    return true;
}
#endif

// parse_float_token for callers inside a NearestRounding scope.
[[nodiscard]] std::expected<double, FloatTokenError> parse_float_token_nearest(
    std::string_view token) noexcept;
[[nodiscard]] std::expected<std::int64_t, IntTokenError> parse_int_token(std::string_view token) noexcept;
// One of the eight texts T/True/TRUE/true and F/False/FALSE/false, else nullopt.
[[nodiscard, gnu::always_inline]] inline std::optional<bool> parse_bool_token(std::string_view token) noexcept {
    switch (token.size()) {
        case 1:
            if (token[0] == 'T') return true;
            if (token[0] == 'F') return false;
            break;
        case 4:
            if (token == "True" || token == "TRUE" || token == "true") return true;
            break;
        case 5:
            if (token == "False" || token == "FALSE" || token == "false") return false;
            break;
        default:
            break;
    }
    return std::nullopt;
}

}  // namespace atomkit
