// libFuzzer target of parse_float_token: accept/refuse against a separate recogniser of
// the float grammar, values against glibc's correctly rounded strtod, in every rounding mode.
//
// Input: byte 0 = bits 0-1 rounding mode during the parse, bits 2-5 all set = the token
// is given in the packed form of fuzz::expand_runs; the remaining bytes are the token.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/atom_lines/token_grammar.hpp"
#include "fuzz_support.hpp"

namespace {

enum class Form { refused, decimal, infinity, nan };

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Case-insensitive ASCII comparison with a lower-case word.
bool equals_word(std::string_view s, std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

// The grammar, written as a plain state machine over the whole token:
//   [+-] ( digits [. digits*] | . digits ) [ (e|E) [+-] digits ]  |  [+-] (inf|infinity|nan)
Form recognise(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::string_view body = s.substr(i);
    if (equals_word(body, "inf") || equals_word(body, "infinity")) return Form::infinity;
    if (equals_word(body, "nan")) return Form::nan;
    std::size_t digits = 0;
    auto skip_digits = [&] {
        for (; i < s.size() && is_digit(s[i]); ++i) ++digits;
    };
    skip_digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        skip_digits();
    }
    if (digits == 0) return Form::refused;
    if (i == s.size()) return Form::decimal;
    if (s[i] != 'e' && s[i] != 'E') return Form::refused;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return Form::refused;
    while (i < s.size()) {
        if (!is_digit(s[i])) return Form::refused;
        ++i;
    }
    return Form::decimal;
}

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// The nearest double of a decimal text the recogniser accepted, by glibc's strtod (exact
// for any number of digits) in round-to-nearest.
double reference_value(const std::string& token) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(token.c_str(), &end);
    fuzz::check(end == token.c_str() + token.size(), "strtod stopped early", token);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::uint8_t control = in.byte();
    // 2^17 bytes reach exponents that outgrow the significand by tens of thousands of digits.
    const std::string token = fuzz::token_text(control, in.rest(), std::size_t{1} << 17);
    std::expected<double, atomkit::FloatTokenError> parsed;
    {
        const int mode = fuzz::rounding_mode(control);
        fuzz::RoundingScope scope(mode);
        parsed = atomkit::parse_float_token(token);
        fuzz::check(std::fegetround() == mode, "the caller's rounding mode was not kept", token);
    }

    const Form form = recognise(token);
    if (form == Form::refused) {
        fuzz::check(!parsed.has_value(), "accepted a token outside the grammar", token);
        const auto expected = token.empty() ? atomkit::FloatTokenError::empty
                                            : atomkit::FloatTokenError::invalid;
        fuzz::check(parsed.error() == expected, "wrong refusal reason", token);
        return 0;
    }
    fuzz::check(parsed.has_value(), "refused a token of the grammar", token);
    const bool negative = token[0] == '-';
    const std::uint64_t got = bits(*parsed);
    switch (form) {
        case Form::nan:
            fuzz::check(got == (negative ? 0xFFF8000000000000ULL : 0x7FF8000000000000ULL),
                        "nan has the wrong bit pattern", token);
            break;
        case Form::infinity:
            fuzz::check(got == (negative ? 0xFFF0000000000000ULL : 0x7FF0000000000000ULL),
                        "inf has the wrong bit pattern", token);
            break;
        case Form::decimal:
            if (const std::uint64_t want = bits(reference_value(token)); got != want) {
                char numbers[96];
                std::snprintf(numbers, sizeof numbers, " (rounding mode %u: got %016llx, nearest %016llx)",
                              control & 3u, static_cast<unsigned long long>(got),
                              static_cast<unsigned long long>(want));
                fuzz::fail("value differs from the correctly rounded one", token + numbers);
            }
            break;
        case Form::refused:
            break;
    }
    return 0;
}
