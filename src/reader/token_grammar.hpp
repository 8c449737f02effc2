// The value grammars of single tokens: float64, int64 and boolean. Plain C++ over bytes;
// nothing here allocates or throws.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

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

// parse_float_token for callers inside a NearestRounding scope.
[[nodiscard]] std::expected<double, FloatTokenError> parse_float_token_nearest(
    std::string_view token) noexcept;
[[nodiscard]] std::expected<std::int64_t, IntTokenError> parse_int_token(std::string_view token) noexcept;
// One of the eight texts T/True/TRUE/true and F/False/FALSE/false, else nullopt.
[[nodiscard]] std::optional<bool> parse_bool_token(std::string_view token) noexcept;

}  // namespace atomkit
