// The value grammars of single tokens: our own strict scanners for float64, int64 and
// boolean texts; fast_float (or std::from_chars) only rounds decimals we have accepted.
#include "core/atom_lines/token_grammar.hpp"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/common/word_bits.hpp"

#if defined(ATOMKIT_HAVE_FAST_FLOAT) && ATOMKIT_HAVE_FAST_FLOAT
#include <fast_float/fast_float.h>
#endif

namespace atomkit {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// A mantissa of at most 15 digits can take up to 10^15 of the power exactly before the
// double takes the rest.
constexpr std::int64_t max_shifted_power = 15;

// Exponents are read exactly up to this magnitude and saturate beyond it: ten times it
// still fits an int64, added to the position of the leading digit (bounded by the token's
// length, far below 2^58) it cannot overflow, and a saturated exponent still puts any
// number far outside the range of doubles.
constexpr std::int64_t exponent_saturation = std::int64_t{1} << 59;
// Beyond this magnitude the libraries are not trusted with the exponent (fast_float stops
// reading exponent digits at 2^28): such numbers are restated with a small exponent first.
constexpr std::int64_t far_exponent_limit = 65536;

// Halfway points between adjacent doubles have at most 767 significant digits, so 770
// digits plus one non-zero stand-in for whatever follows them round like the whole text.
constexpr std::size_t kept_digits = 770;

// Up to 18 decimal digits cannot leave the int64 range.
constexpr std::ptrdiff_t unchecked_int_digits = 18;

constexpr std::uint64_t nan_bits = 0x7FF8000000000000ULL;
constexpr std::uint64_t sign_bit = 0x8000000000000000ULL;

// The digits of an accepted decimal number, without its sign.
struct DecimalText {
    const char* integer_begin;
    const char* integer_end;
    const char* fraction_begin;
    const char* fraction_end;
    std::int64_t exponent;  // as the exponent rule reads it
};

// The decimal exponent of the first non-zero digit of the significand (the exponent part
// left out), or false when every digit is zero.
bool leading_digit_position(const DecimalText& text, std::int64_t& position) noexcept {
    for (const char* p = text.integer_begin; p != text.integer_end; ++p) {
        if (*p != '0') {
            position = text.integer_end - p - 1;
            return true;
        }
    }
    for (const char* p = text.fraction_begin; p != text.fraction_end; ++p) {
        if (*p != '0') {
            position = -(p - text.fraction_begin) - 1;
            return true;
        }
    }
    return false;
}

enum class Conversion { done, out_of_range, refused };

// Correctly rounded conversion of a decimal text that our grammar accepted, without sign.
// Out of range the libraries differ (fast_float 3.x gives inf/0 silently, newer versions
// and from_chars report result_out_of_range, the latter leaving the value unset), so the
// caller decides between infinity and zero itself.
Conversion round_decimal(const char* first, const char* last, double& value) noexcept {
#if defined(ATOMKIT_HAVE_FAST_FLOAT) && ATOMKIT_HAVE_FAST_FLOAT
    const auto result = fast_float::from_chars(first, last, value);
#else
    const auto result = std::from_chars(first, last, value);
#endif
    if (result.ec == std::errc::result_out_of_range) return Conversion::out_of_range;
    if (result.ec != std::errc() || result.ptr != last) return Conversion::refused;
    return Conversion::done;
}

// A value that a library found out of range is infinity when the number is at least one,
// zero otherwise; no finite double lies on the wrong side of that split.
inline double beyond_range(std::int64_t leading_position) noexcept {
    return leading_position >= 0 ? infinity : 0.0;
}

[[gnu::noinline]] bool convert_plain(const char* first, const char* last,
                                     const DecimalText& text, double& value) noexcept {
    switch (round_decimal(first, last, value)) {
        case Conversion::done:
            return true;
        case Conversion::out_of_range: {
            std::int64_t position = 0;
            value = leading_digit_position(text, position)
                        ? beyond_range(position + text.exponent)
                        : 0.0;
            return true;
        }
        case Conversion::refused:
            break;
    }
    return false;
}

// An exponent that outgrew the digit limit: the libraries would read all its digits, so
// the number is restated with its leading significant digits and the limited exponent.
[[gnu::noinline]] bool convert_far_exponent(const DecimalText& text, double& value) noexcept {
    std::int64_t position = 0;
    if (!leading_digit_position(text, position)) {
        value = 0.0;
        return true;
    }
    position += text.exponent;
    // Both bounds lie far outside the range of doubles, subnormals and ties included.
    if (position > 400 || position < -400) {
        value = beyond_range(position);
        return true;
    }
    char buffer[kept_digits + 1 + 24];
    std::size_t count = 0;
    bool started = false;
    bool dropped = false;
    auto take = [&](const char* first, const char* last) noexcept {
        for (const char* p = first; p != last && !dropped; ++p) {
            if (!started) {
                if (*p == '0') continue;
                started = true;
            }
            if (count < kept_digits) {
                buffer[count++] = *p;
            } else if (*p != '0') {
                dropped = true;
            }
        }
    };
    take(text.integer_begin, text.integer_end);
    take(text.fraction_begin, text.fraction_end);
    if (dropped) buffer[count++] = '1';
    buffer[count++] = 'e';
    const std::int64_t restated = position - static_cast<std::int64_t>(count - 2);
    const auto written = std::to_chars(buffer + count, buffer + sizeof buffer, restated);
    switch (round_decimal(buffer, written.ptr, value)) {
        case Conversion::done:
            return true;
        case Conversion::out_of_range:
            value = beyond_range(position);
            return true;
        case Conversion::refused:
            break;
    }
    return false;
}

[[gnu::noinline]] std::expected<double, FloatTokenError> special_word(const char* first,
                                                                     const char* last,
                                                                     bool negative) noexcept {
    if (equals_ascii_lower({first, last}, "nan")) {
        return std::bit_cast<double>(negative ? nan_bits | sign_bit : nan_bits);
    }
    if (equals_ascii_lower({first, last}, "inf") || equals_ascii_lower({first, last}, "infinity")) {
        return negative ? -infinity : infinity;
    }
    return std::unexpected(FloatTokenError::invalid);
}

}  // namespace

std::string_view describe(FloatTokenError error) noexcept {
    switch (error) {
        case FloatTokenError::invalid:
            return "invalid float literal";
        case FloatTokenError::empty:
            return "cannot parse float from empty string";
    }
    return "invalid float literal";
}

std::string_view describe(IntTokenError error) noexcept {
    switch (error) {
        case IntTokenError::invalid_digit:
            return "invalid digit found in string";
        case IntTokenError::too_large:
            return "number too large to fit in target type";
        case IntTokenError::too_small:
            return "number too small to fit in target type";
        case IntTokenError::empty:
            return "cannot parse integer from empty string";
    }
    return "invalid digit found in string";
}

NearestRounding::NearestRounding() noexcept : saved_(std::fegetround()) {
    if (saved_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
}

NearestRounding::~NearestRounding() {
    if (saved_ != FE_TONEAREST) std::fesetround(saved_);
}

std::expected<double, FloatTokenError> parse_float_token(std::string_view token) noexcept {
    // The exact fast path divides and multiplies doubles, and the libraries' fallbacks may
    // call strtod: both round by the current mode.
    if (std::fegetround() == FE_TONEAREST) return parse_float_token_nearest(token);
    const NearestRounding nearest;
    return parse_float_token_nearest(token);
}

namespace {

// The decimal number after the sign: its digits (the first 19 also as an integer) and where
// the grammar stopped.
struct DecimalScan {
    DecimalText text;
    std::uint64_t mantissa;  // wraps beyond 19 digits; only used below that
    std::ptrdiff_t digits;
    const char* stop;
};

DecimalScan scan_decimal(const char* number, const char* end) noexcept {
    const char* p = number;
    std::uint64_t mantissa = 0;
    while (p != end && is_digit(*p)) {
        mantissa = mantissa * 10 + digit_value(*p);
        ++p;
    }
    DecimalText text{number, p, p, p, 0};
    if (p != end && *p == '.') {
        ++p;
        text.fraction_begin = p;
        while (end - p >= 8) {
            const std::uint64_t word = load_le_word(p);
            if (!is_eight_digits(word)) break;
            mantissa = mantissa * 100000000 + eight_digits_value(word);
            p += 8;
        }
        while (p != end && is_digit(*p)) {
            mantissa = mantissa * 10 + digit_value(*p);
            ++p;
        }
        text.fraction_end = p;
    }
    const std::ptrdiff_t digits =
        (text.integer_end - text.integer_begin) + (text.fraction_end - text.fraction_begin);
    return {text, mantissa, digits, p};
}

// The exponent part "e[sign]digits" from p to the end of the token, read exactly and
// saturated far beyond the range of doubles; false when it does not match the grammar.
bool scan_exponent(const char* p, const char* end, std::int64_t& exponent) noexcept {
    if ((static_cast<unsigned char>(*p) | 0x20U) != 'e') return false;
    ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end) return false;
    std::int64_t magnitude = 0;
    do {
        const unsigned d = digit_value(*p);
        if (d > 9) return false;
        if (magnitude < exponent_saturation) magnitude = std::min(magnitude * 10 + d, exponent_saturation);
    } while (++p != end);
    exponent = negative ? -magnitude : magnitude;
    return true;
}

// Up to 19 digits and a power of ten that one correctly rounded double operation settles;
// false when the value needs the library.
bool exact_value(std::uint64_t mantissa, std::int64_t scale, double& value) noexcept {
    if (mantissa > exact_mantissa_limit) return false;
    if (scale < 0 && scale >= -max_exact_power) {
        value = static_cast<double>(mantissa) / exact_powers_of_ten[-scale];
        return true;
    }
    if (scale >= 0 && scale <= max_exact_power) {
        value = static_cast<double>(mantissa) * exact_powers_of_ten[scale];
        return true;
    }
    if (scale > max_exact_power && scale <= max_exact_power + max_shifted_power) {
        const std::uint64_t factor = powers_of_ten[static_cast<std::size_t>(scale - max_exact_power)];
        if (mantissa <= exact_mantissa_limit / factor) {
            value = static_cast<double>(mantissa * factor) * exact_powers_of_ten[max_exact_power];
            return true;
        }
    }
    return false;
}

}  // namespace

// Never inlined, so that no arithmetic of the conversion can be moved across the mode
// changes of a NearestRounding scope around the call. One pass does the grammar and
// gathers the first digits for the exact stage; whatever that stage cannot settle goes to
// the library over the unsigned text.
[[gnu::noinline]] std::expected<double, FloatTokenError> parse_float_token_nearest(
    std::string_view token) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p == end) return std::unexpected(FloatTokenError::empty);
    const bool negative = *p == '-';
    if (negative || *p == '+') ++p;
    const char* const number = p;

    DecimalScan scan = scan_decimal(number, end);
    if (scan.digits == 0) return special_word(number, end, negative);
    if (scan.stop != end && !scan_exponent(scan.stop, end, scan.text.exponent)) {
        return std::unexpected(FloatTokenError::invalid);
    }
    const bool far_exponent = scan.text.exponent >= far_exponent_limit ||
                              scan.text.exponent <= -far_exponent_limit;

    double value;
    if (scan.digits <= max_exact_digits && !far_exponent) {
        if (scan.mantissa == 0) return negative ? -0.0 : 0.0;
        const std::int64_t scale = scan.text.exponent - (scan.text.fraction_end - scan.text.fraction_begin);
        if (exact_value(scan.mantissa, scale, value)) return negative ? -value : value;
    }
    const bool converted = far_exponent ? convert_far_exponent(scan.text, value)
                                        : convert_plain(number, end, scan.text, value);
    // A refusal by the library of a text our grammar accepted cannot happen with a correct
    // library; it surfaces as a refused token rather than as a made-up value.
    if (!converted) return std::unexpected(FloatTokenError::invalid);
    return negative ? -value : value;
}

std::expected<std::int64_t, IntTokenError> parse_int_token(std::string_view token) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p == end) return std::unexpected(IntTokenError::empty);
    const bool negative = *p == '-';
    if (negative || *p == '+') {
        ++p;
        if (p == end) return std::unexpected(IntTokenError::invalid_digit);
    }
    // The first digits cannot leave the range, so only a bad character can stop them.
    const char* const unchecked_end =
        end - p > unchecked_int_digits ? p + unchecked_int_digits : end;
    std::uint64_t magnitude = 0;
    for (; p != unchecked_end; ++p) {
        const unsigned d = digit_value(*p);
        if (d > 9) return std::unexpected(IntTokenError::invalid_digit);
        magnitude = magnitude * 10 + d;
    }
    std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude)
                                  : static_cast<std::int64_t>(magnitude);
    // Beyond them the sign is applied at every step, so -2^63 is reached without passing
    // through +2^63, and the first character that fails decides the reason.
    for (; p != end; ++p) {
        const unsigned d = digit_value(*p);
        if (d > 9) return std::unexpected(IntTokenError::invalid_digit);
        const auto digit = static_cast<std::int64_t>(d);
        if (negative) {
            if (__builtin_mul_overflow(value, 10, &value) ||
                __builtin_sub_overflow(value, digit, &value)) {
                return std::unexpected(IntTokenError::too_small);
            }
        } else if (__builtin_mul_overflow(value, 10, &value) ||
                   __builtin_add_overflow(value, digit, &value)) {
            return std::unexpected(IntTokenError::too_large);
        }
    }
    return value;
}

}  // namespace atomkit
