// Native tests of the numeric fields: "%16.8f" floats (exact, ties to even, NaN unsigned),
// "%8d" integers and T/F booleans, each against its expected text and inside its width bound.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/atom_block/field_format.hpp"
#include "harness.hpp"

namespace {

// Writes one field into a buffer of the documented maximum followed by guard bytes, and
// checks that the guard is untouched and the returned end lies within the maximum.
template <class Write>
std::string field(Write write, std::size_t max_width, std::string_view label) {
    std::vector<char> buffer(max_width + 16, '#');
    char* const end = write(buffer.data());
    const auto length = static_cast<std::size_t>(end - buffer.data());
    harness::check(length <= max_width, "field within its maximum width", label);
    harness::check(std::string_view(buffer.data() + max_width, 16) == std::string(16, '#'),
                   "nothing written past the maximum width", label);
    return std::string(buffer.data(), length);
}

struct FloatCase {
    const char* label;
    double value;
    std::string text;
};

const std::string max_text =
    "-1797693134862315708145274237317043567980705675258449965989174768031572607800285"
    "38760589558632766878171540458953514382464234321326889464182768467546703537516986"
    "04991057655128207624549009038932894407586850845513394230458323690322294816580855"
    "9332123348274797826204144723168738177180919299881250404026184124858368.00000000";
const std::string e300_text =
    "10000000000000000525047602552044202487044685811081591549158541155118024579889081"
    "95786371375080447864043704443832883878176942523235360430575644792184786706982848"
    "38720092657580373783023379478809005936895323497079994508111903896764088007465274"
    "2780142494579258788820056842838115669472196386865459400540160.00000000";

std::vector<FloatCase> float_cases() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    return {
        {"0", 0.0, "      0.00000000"},
        {"-0 keeps its sign", -0.0, "     -0.00000000"},
        {"1.5", 1.5, "      1.50000000"},
        {"-2.25", -2.25, "     -2.25000000"},
        {"2.675 (just below the tie)", 2.675, "      2.67500000"},
        // Exact ties at the eighth decimal (odd multiples of 2^-9): to even.
        {"1/512 tie down", 1.0 / 512, "      0.00195312"},
        {"3/512 tie up", 3.0 / 512, "      0.00585938"},
        {"-1/512 tie down", -1.0 / 512, "     -0.00195312"},
        {"5/512 tie down", 5.0 / 512, "      0.00976562"},
        {"2^-11, edge of the fast path", std::ldexp(1.0, -11), "      0.00048828"},
        {"1e-9 rounds to zero", 1e-9, "      0.00000000"},
        {"-1e-9 keeps its sign", -1e-9, "     -0.00000000"},
        {"smallest subnormal", 5e-324, "      0.00000000"},
        {"-smallest subnormal", -5e-324, "     -0.00000000"},
        {"carry into the integer part", 0.999999995, "      1.00000000"},
        {"16 characters exactly", 9999999.99999999, "9999999.99999999"},
        {"negative, 16 characters", -999999.99999999, "-999999.99999999"},
        {"carry past 16 characters", 9999999.999999999, "10000000.00000000"},
        {"negative carry past 16", -999999.999999999, "-1000000.00000000"},
        {"-9999999", -9999999.0, "-9999999.00000000"},
        {"2^37, edge of the fast path", std::ldexp(1.0, 37), "137438953472.00000000"},
        {"2^37 - 2^-15", std::ldexp(1.0, 37) - std::ldexp(1.0, -15), "137438953471.99996948"},
        {"scaled value past 2^64", 184467440737.09552, "184467440737.09552002"},
        {"2^63", std::ldexp(1.0, 63), "9223372036854775808.00000000"},
        {"2^64", std::ldexp(1.0, 64), "18446744073709551616.00000000"},
        {"2^101", std::ldexp(1.0, 101), "2535301200456458802993406410752.00000000"},
        {"1e23", 1e23, "99999999999999991611392.00000000"},
        {"1e300", 1e300, e300_text},
        {"-max", -1.7976931348623157e308, max_text},
        {"inf", inf, "             inf"},
        {"-inf", -inf, "            -inf"},
        {"NaN", nan, "             NaN"},
        {"-NaN has no sign", -nan, "             NaN"},
        {"NaN with a payload", std::bit_cast<double>(0xFFF0000000000001ULL), "             NaN"},
    };
}

void test_float_fields() {
    for (const FloatCase& c : float_cases()) {
        const std::string got = field([&](char* out) { return atomkit::write_float_field(out, c.value); },
                                      atomkit::max_float_field, c.label);
        harness::check_equal(got, c.text, "float field", c.label);
    }
}

void test_int_fields() {
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "       0"},
        {-1, "      -1"},
        {12345678, "12345678"},
        {-1234567, "-1234567"},
        {123456789, "123456789"},
        {-12345678, "-12345678"},
        {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
    };
    for (const auto& [value, text] : cases) {
        const std::string label = std::to_string(value);
        const std::string got = field([&](char* out) { return atomkit::write_int_field(out, value); },
                                      atomkit::max_int_field, label);
        harness::check_equal(got, text, "int field", label);
    }
}

void test_bool_fields() {
    const std::vector<std::pair<std::uint8_t, std::string>> cases = {{0, "F"}, {1, "T"}, {2, "T"}, {255, "T"}};
    for (const auto& [value, text] : cases) {
        const std::string label = std::to_string(value);
        const std::string got = field([&](char* out) { return atomkit::write_bool_field(out, value); }, 1, label);
        harness::check_equal(got, text, "bool field", label);
    }
}

}  // namespace

int main() {
    test_float_fields();
    test_int_fields();
    test_bool_fields();
    return harness::finish();
}
