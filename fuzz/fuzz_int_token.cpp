// libFuzzer target of parse_int_token (against a 128-bit accumulation that decides the
// failure reason left to right) and of parse_bool_token (against its eight texts).
//
// Input: byte 0 bits 2-5 all set = the token is given in the packed form of
// fuzz::expand_runs (long runs of leading zeros); the remaining bytes are the token.
#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "core/atom_lines/token_grammar.hpp"
#include "fuzz_support.hpp"

namespace {

using atomkit::IntTokenError;

// Optional sign, then digits only; each digit is added with the sign already applied, and
// the first character that is no digit or takes the value out of int64 decides.
std::expected<std::int64_t, IntTokenError> reference_int(std::string_view s) {
    if (s.empty()) return std::unexpected(IntTokenError::empty);
    std::size_t i = 0;
    const bool negative = s[0] == '-';
    if (negative || s[0] == '+') ++i;
    if (i == s.size()) return std::unexpected(IntTokenError::invalid_digit);
    __extension__ __int128 value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return std::unexpected(IntTokenError::invalid_digit);
        const int digit = s[i] - '0';
        value = value * 10 + (negative ? -digit : digit);
        if (value > std::numeric_limits<std::int64_t>::max()) {
            return std::unexpected(IntTokenError::too_large);
        }
        if (value < std::numeric_limits<std::int64_t>::min()) {
            return std::unexpected(IntTokenError::too_small);
        }
    }
    return static_cast<std::int64_t>(value);
}

std::optional<bool> reference_bool(std::string_view s) {
    static constexpr std::array<std::string_view, 4> yes = {"T", "True", "TRUE", "true"};
    static constexpr std::array<std::string_view, 4> no = {"F", "False", "FALSE", "false"};
    for (std::string_view word : yes) {
        if (s == word) return true;
    }
    for (std::string_view word : no) {
        if (s == word) return false;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::uint8_t control = in.byte();
    // Past 19 digits an int only grows out of range, so a few thousand leading zeros will do.
    const std::string token = fuzz::token_text(control, in.rest(), 4096);

    const auto got = atomkit::parse_int_token(token);
    const auto expected = reference_int(token);
    fuzz::check(got.has_value() == expected.has_value(), "int accept/refuse differs", token);
    if (expected) {
        fuzz::check(*got == *expected, "int value differs", token);
    } else {
        fuzz::check(got.error() == expected.error(), "int failure reason differs", token);
    }

    fuzz::check(atomkit::parse_bool_token(token) == reference_bool(token), "bool differs", token);
    return 0;
}
