// Python's repr() of doubles: std::to_chars gives the shortest round-trip digits, which are
// then placed as CPython places them (positional for decimal exponents -4..15, else with an
// exponent of at least two digits).
#include "core/comment_line/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace atomkit {
namespace {

char* put(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* put_zeros(char* out, int count) noexcept {
    for (int i = 0; i < count; ++i) *out++ = '0';
    return out;
}

}  // namespace

std::size_t write_float_repr(double value, char* const out) noexcept {
    if (std::isnan(value)) return static_cast<std::size_t>(put(out, "nan") - out);
    char* p = out;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (std::isinf(value)) return static_cast<std::size_t>(put(p, "inf") - out);
    if (value == 0.0) return static_cast<std::size_t>(put(p, "0.0") - out);

    // d[.ddd]e(+|-)xx: at most 17 digits, exponents of up to three digits.
    char scientific[32];
    const char* const end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    char digits[17];
    int count = 0;
    const char* q = scientific;
    digits[count++] = *q++;
    if (*q == '.') {
        for (++q; *q != 'e'; ++q) digits[count++] = *q;
    }
    ++q;  // 'e'
    const bool negative_exponent = *q++ == '-';
    int exponent = 0;
    for (; q != end; ++q) exponent = exponent * 10 + (*q - '0');
    if (negative_exponent) exponent = -exponent;

    // The position of the decimal point after the first digit, as CPython counts it.
    const int point = exponent + 1;
    if (point <= -4 || point > 16) {
        *p++ = digits[0];
        if (count > 1) {
            *p++ = '.';
            p = put(p, std::string_view(digits + 1, static_cast<std::size_t>(count - 1)));
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude >= 100) {
            *p++ = static_cast<char>('0' + magnitude / 100);
            magnitude %= 100;
        }
        *p++ = static_cast<char>('0' + magnitude / 10);
        *p++ = static_cast<char>('0' + magnitude % 10);
    } else if (point <= 0) {
        p = put(p, "0.");
        p = put_zeros(p, -point);
        p = put(p, std::string_view(digits, static_cast<std::size_t>(count)));
    } else if (point >= count) {
        p = put(p, std::string_view(digits, static_cast<std::size_t>(count)));
        p = put_zeros(p, point - count);
        p = put(p, ".0");
    } else {
        p = put(p, std::string_view(digits, static_cast<std::size_t>(point)));
        *p++ = '.';
        p = put(p, std::string_view(digits + point, static_cast<std::size_t>(count - point)));
    }
    return static_cast<std::size_t>(p - out);
}

void append_float_reprs(const MatrixView<double>& values, std::string_view separator, std::string& out) {
    const std::size_t count = values.rows() * values.cols();
    out.reserve(out.size() + count * (max_float_repr_length + separator.size()));
    char text[max_float_repr_length];
    for (std::size_t i = 0; i < values.rows(); ++i) {
        for (std::size_t j = 0; j < values.cols(); ++j) {
            if (i + j != 0) out += separator;
            out.append(text, write_float_repr(values.at(i, j), text));
        }
    }
}

}  // namespace atomkit
