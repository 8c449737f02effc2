// Unsigned arithmetic that sticks at the largest value instead of wrapping, for budgets of
// room that may exceed any memory. Plain C++.
#pragma once

#include <cstdint>
#include <limits>

namespace atomkit {

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return a * b;
}

}  // namespace atomkit
