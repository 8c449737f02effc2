// Native tests of the token grammars: accepted and refused float, int and bool texts, values
// at the range edges, long significands, rounding modes, and the order of int failure reasons.
#include <bit>
#include <cfenv>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/atom_lines/token_grammar.hpp"
#include "harness.hpp"

namespace {

using atomkit::FloatTokenError;
using atomkit::IntTokenError;

constexpr std::uint64_t inf_bits = 0x7FF0000000000000ULL;
constexpr std::uint64_t sign = 0x8000000000000000ULL;

struct FloatCase {
    std::string text;
    std::uint64_t bits;
};

std::uint64_t bits_of(double value) { return std::bit_cast<std::uint64_t>(value); }

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

// The nearest double of each text, as bit patterns so that -0.0 and NaN compare exactly.
std::vector<FloatCase> accepted_floats() {
    const std::string halfway_above_one = "1.00000000000000011102230246251565404236316680908203125";
    return {
        {"0", 0},
        {"-0", sign},
        {"+0.0", 0},
        {"1.", bits_of(1.0)},
        {".5", bits_of(0.5)},
        {"-.5e-3", bits_of(-0.5e-3)},
        {"+1E3", bits_of(1000.0)},
        {"1e+3", bits_of(1000.0)},
        {"00012.50", bits_of(12.5)},
        {"2.675", bits_of(2.675)},
        {"0.3", bits_of(0.3)},
        {"1e23", bits_of(1e23)},
        {"8.98846567431158e307", bits_of(8.98846567431158e307)},
        // The largest double, the text that still rounds to it, and the first that overflows.
        {"1.7976931348623157e308", bits_of(std::numeric_limits<double>::max())},
        {"1.7976931348623158e308", bits_of(std::numeric_limits<double>::max())},
        {"1.7976931348623159e308", inf_bits},
        {"-1e400", inf_bits | sign},
        {"2.2250738585072014e-308", bits_of(std::numeric_limits<double>::min())},
        {"4.9406564584124654e-324", 1},
        // Half the smallest subnormal rounds to zero (even); anything above it rounds up.
        {"2.4703282292062327e-324", 0},
        {"2.4703282292062328e-324", 1},
        {"1e-400", 0},
        {"-1e-400", sign},
        // 2^53 + 1 and 2^53 + 3 are ties: to even.
        {"9007199254740993", 0x4340000000000000ULL},
        {"9007199254740995", 0x4340000000000002ULL},
        {"1234567890123456789012345678901234567890e-20", bits_of(12345678901234567890.123456789)},
        // Exponents far beyond the range, with as many digits as the int64 range and more.
        {"1e99999999999", inf_bits},
        {"1e-99999999999", 0},
        {"1e99999999999999999999", inf_bits},
        {"-1e99999999999999999999", inf_bits | sign},
        {"1e-99999999999999999999", 0},
        {"0e99999999999999999999", 0},
        {"1e000000000000000000000300", bits_of(1e300)},
        // Long significands: exact ties need every digit, and the exponent must be taken
        // exactly however long the significand is.
        {halfway_above_one, 0x3FF0000000000000ULL},
        {halfway_above_one + repeat('0', 1000) + "1", 0x3FF0000000000001ULL},
        {"1" + repeat('0', 400) + "e-400", bits_of(1.0)},
        {"0." + repeat('0', 70000) + "1e700001", inf_bits},
        {repeat('1', 1000000) + "e-999990", 0x41D08E8D71C71C72ULL},
        {"0." + repeat('0', 1000000) + "1e1000001", bits_of(1.0)},
        {repeat('0', 100000) + "1.5", bits_of(1.5)},
        // The special words in any case; NaN has one bit pattern, with the sign of the text.
        {"inf", inf_bits},
        {"INF", inf_bits},
        {"+Infinity", inf_bits},
        {"-iNfInItY", inf_bits | sign},
        {"nan", 0x7FF8000000000000ULL},
        {"NaN", 0x7FF8000000000000ULL},
        {"+nAn", 0x7FF8000000000000ULL},
        {"-NAN", 0xFFF8000000000000ULL},
    };
}

void test_accepted_floats() {
    for (const FloatCase& c : accepted_floats()) {
        const auto value = atomkit::parse_float_token(c.text);
        if (harness::check(value.has_value(), "float accepted", c.text)) {
            harness::check_equal(bits_of(*value), c.bits, "float value", c.text);
        }
    }
}

void test_refused_floats() {
    const std::vector<std::string> refused = {
        "+", "-", ".", "-.", ".e1", "e5", "E5", "1e", "1e+", "1e-", "--1", "+-1", "1.2.3", "0x10",
        "0x1p3", " 1", "1 ", "1_000", "1,5", "1e5.5", "1e1e1", "1d5", "infinit", "infinityy",
        "nana", "in f", "-inf-", "inity", "nan(1)", "\xd9\xa1",  // ARABIC-INDIC DIGIT ONE
        "1\xc2\xa0", "\xe2\x88\x9e", std::string("1\0", 2), std::string("\0", 1), "1e\xd9\xa1",
    };
    for (const std::string& text : refused) {
        const auto value = atomkit::parse_float_token(text);
        if (harness::check(!value.has_value(), "float refused", text)) {
            harness::check(value.error() == FloatTokenError::invalid, "float refusal is 'invalid'", text);
        }
    }
    const auto empty = atomkit::parse_float_token("");
    harness::check(!empty && empty.error() == FloatTokenError::empty, "empty float token", "");
    harness::check(atomkit::describe(FloatTokenError::invalid) == "invalid float literal", "describe", "invalid");
    harness::check(atomkit::describe(FloatTokenError::empty) == "cannot parse float from empty string",
                   "describe", "empty");
}

// The value never depends on the rounding mode the caller has set, and that mode is kept.
void test_rounding_modes() {
    const std::vector<std::string> texts = {"0.3", "2.675", "1e23", "0.1", "-0.1", "5e-324",
                                            "1.7976931348623158e308", "9007199254740993",
                                            "1234567890123456789012345678901234567890e-20"};
    const std::pair<int, const char*> modes[] = {{FE_UPWARD, "upward"}, {FE_DOWNWARD, "downward"},
                                                 {FE_TOWARDZERO, "toward zero"}};
    for (const auto& [mode, mode_name] : modes) {
        for (const std::string& text : texts) {
            const auto nearest = atomkit::parse_float_token(text);
            std::fesetround(mode);
            const auto value = atomkit::parse_float_token(text);
            const int kept = std::fegetround();
            std::fesetround(FE_TONEAREST);
            const std::string label = text + " (" + mode_name + ")";
            harness::check(kept == mode, "rounding mode kept", label);
            if (harness::check(nearest && value, "accepted in every mode", label)) {
                harness::check_equal(bits_of(*value), bits_of(*nearest), "nearest whatever the mode", label);
            }
        }
    }
}

constexpr std::int64_t int_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int_min = std::numeric_limits<std::int64_t>::min();

void test_ints() {
    const std::vector<std::pair<std::string, std::int64_t>> accepted = {
        {"0", 0}, {"-0", 0}, {"+7", 7}, {"007", 7}, {"-12", -12},
        {"9223372036854775807", int_max}, {"-9223372036854775808", int_min},
        {"0000000000000000000000009223372036854775807", int_max},
        {"-0000000000000000000009223372036854775808", int_min},
    };
    for (const auto& [text, want] : accepted) {
        const auto value = atomkit::parse_int_token(text);
        if (harness::check(value.has_value(), "int accepted", text)) {
            harness::check_equal(*value, want, "int value", text);
        }
    }
    // The first character that is no digit, or that takes the value out of range, decides.
    const std::vector<std::pair<std::string, IntTokenError>> refused = {
        {"", IntTokenError::empty},
        {"+", IntTokenError::invalid_digit},
        {"-", IntTokenError::invalid_digit},
        {"+-1", IntTokenError::invalid_digit},
        {"--1", IntTokenError::invalid_digit},
        {" 1", IntTokenError::invalid_digit},
        {"1 ", IntTokenError::invalid_digit},
        {"1e3", IntTokenError::invalid_digit},
        {"1.0", IntTokenError::invalid_digit},
        {"0x10", IntTokenError::invalid_digit},
        {"\xef\xbc\x91", IntTokenError::invalid_digit},  // FULLWIDTH DIGIT ONE
        {"9223372036854775808", IntTokenError::too_large},
        {"92233720368547758070", IntTokenError::too_large},
        {"-9223372036854775809", IntTokenError::too_small},
        {"-92233720368547758080", IntTokenError::too_small},
        {"99999999999999999999x", IntTokenError::too_large},
        {"-99999999999999999999x", IntTokenError::too_small},
        {"9223372036854775807x", IntTokenError::invalid_digit},
        {"12x99999999999999999999", IntTokenError::invalid_digit},
        {"-9223372036854775808x", IntTokenError::invalid_digit},
        {"+" + repeat('0', 5000) + "9223372036854775808", IntTokenError::too_large},
    };
    for (const auto& [text, reason] : refused) {
        const auto value = atomkit::parse_int_token(text);
        if (harness::check(!value.has_value(), "int refused", text)) {
            harness::check(value.error() == reason, "int failure reason", text);
        }
    }
    const std::vector<std::pair<IntTokenError, std::string_view>> descriptions = {
        {IntTokenError::invalid_digit, "invalid digit found in string"},
        {IntTokenError::too_large, "number too large to fit in target type"},
        {IntTokenError::too_small, "number too small to fit in target type"},
        {IntTokenError::empty, "cannot parse integer from empty string"},
    };
    for (const auto& [reason, text] : descriptions) {
        harness::check(atomkit::describe(reason) == text, "describe", text);
    }
}

void test_bools() {
    const std::vector<std::pair<std::string, bool>> accepted = {
        {"T", true}, {"True", true}, {"TRUE", true}, {"true", true},
        {"F", false}, {"False", false}, {"FALSE", false}, {"false", false},
    };
    for (const auto& [text, want] : accepted) {
        harness::check(atomkit::parse_bool_token(text) == want, "bool", text);
    }
    const std::vector<std::string> refused = {"", "t", "f", "tRUE", "fAlse", "yes", "1", "0",
                                              "True ", " T", "TT", std::string("T\0", 2)};
    for (const std::string& text : refused) {
        harness::check(!atomkit::parse_bool_token(text).has_value(), "bool refused", text);
    }
}

// The shortcuts the parser takes for the usual shapes against the whole grammar, on the same
// tokens: every count of integer digits, with and without a sign, eight fraction digits and
// one fewer or more, -0, the largest mantissas, and every byte of a fitting token made bad.
// Each token ends a buffer whose earlier bytes (which the shortcuts load and must ignore) look
// like parts of numbers. A shortcut's value has the grammar's bits, and the shortcut takes
// exactly the shapes it is for, so that it is what these tokens drive.
void test_shortcuts_match_the_grammar() {
    std::uint64_t state = 7;
    const auto digits = [&state](std::size_t n, int pattern) {
        std::string text;
        for (std::size_t k = 0; k < n; ++k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            text += pattern == 0 ? '0' : pattern == 1 ? '9' : static_cast<char>('0' + (state >> 33) % 10);
        }
        return text;
    };
    std::vector<std::string> floats = {"90071992.54740992", "90071992.54740993", "-.12345678", ".12345678",
                                       "1.", "-0.00000000", "-0", "0.00000000"};
    std::vector<std::string> ints = {"-", "+", "-0", "00000000", "-0000000", "0000000000000000001"};
    for (const std::string lead : {"", "-", "+"}) {
        for (std::size_t whole = 0; whole <= 9; ++whole) {
            for (int pattern = 0; pattern < 8; ++pattern) {
                for (const std::size_t fraction : {7, 8, 9}) {
                    floats.push_back(lead + digits(whole, pattern) + "." + digits(fraction, pattern));
                }
                if (whole > 0) ints.push_back(lead + digits(whole, pattern));
            }
        }
    }
    for (std::size_t at = 0; at < 16; ++at) {
        for (const char bad : {'/', ':', '.', '-', '+', 'e', ' ', '\xff'}) {
            std::string text = "-123456.12345678";
            text[at] = bad;
            floats.push_back(text);
            if (at < 8) {
                text = "-1234567";
                text[at] = bad;
                ints.push_back(text);
            }
        }
    }
    const auto ending = [](const std::string& token) { return "9.-9.99-.0-9.9-.99.-9-.0" + token; };
    const auto all_digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    const atomkit::NearestRounding nearest;
    for (const std::string& token : floats) {
        const std::string text = ending(token);
        const std::string_view view = std::string_view(text).substr(text.size() - token.size());
        const auto want = atomkit::parse_float_token(view);
        // An optional '-', at least one digit, the point and eight digits, in 16 bytes at most.
        const std::string_view unsigned_part = view.substr(view[0] == '-' ? 1 : 0);
        const bool fits = view.size() <= 16 && unsigned_part.size() >= 10 &&
                          all_digits(unsigned_part.substr(0, unsigned_part.size() - 9)) &&
                          unsigned_part[unsigned_part.size() - 9] == '.' && all_digits(view.substr(view.size() - 8));
        double value = 0;
        const bool taken = atomkit::parse_fixed_decimal16(view, value);
        harness::check(taken == fits, "the 16-byte shortcut takes its shape", token);
        if (taken && harness::check(want.has_value(), "the grammar accepts what the shortcut takes", token)) {
            harness::check_equal(bits_of(value), bits_of(*want), "16-byte shortcut value", token);
        }
        if (atomkit::parse_plain_decimal(view, value) && harness::check(want.has_value(), "grammar accepts", token)) {
            harness::check_equal(bits_of(value), bits_of(*want), "plain decimal value", token);
        }
        // Two at once, beside a token of the shape on either side, take both or neither.
        const std::string_view other = "-9876543.21098765";
        const std::string_view partner = other.substr(1);
        const double partner_value = *atomkit::parse_float_token(partner);
        for (const bool token_first : {true, false}) {
            double pair[2] = {0, 0};
            const bool both = token_first ? atomkit::parse_fixed_decimal16_pair(view, partner, pair)
                                          : atomkit::parse_fixed_decimal16_pair(partner, view, pair);
            harness::check(both == fits, "the paired shortcut takes its shape", token);
            if (both && want) {
                harness::check_equal(bits_of(pair[token_first ? 0 : 1]), bits_of(*want), "paired shortcut value", token);
                harness::check_equal(bits_of(pair[token_first ? 1 : 0]), bits_of(partner_value), "paired partner", token);
            }
        }
    }
    for (const std::string& token : ints) {
        const std::string text = ending(token);
        const std::string_view view = std::string_view(text).substr(text.size() - token.size());
        const auto want = atomkit::parse_int_token(view);
        const bool fits = token.size() <= 8 && all_digits(view.substr(view[0] == '-' ? 1 : 0));
        std::int64_t value = 0;
        const bool taken = atomkit::parse_int_word(view, value);
        harness::check(taken == fits, "the 8-byte shortcut takes its shape", token);
        if (taken && harness::check(want.has_value(), "the grammar accepts what the shortcut takes", token)) {
            harness::check_equal(value, *want, "8-byte shortcut value", token);
        }
        if (atomkit::parse_short_int(view, value) && harness::check(want.has_value(), "grammar accepts", token)) {
            harness::check_equal(value, *want, "short int value", token);
        }
    }
}

}  // namespace

int main() {
    test_accepted_floats();
    test_refused_floats();
    test_rounding_modes();
    test_ints();
    test_bools();
    test_shortcuts_match_the_grammar();
    return harness::finish();
}
