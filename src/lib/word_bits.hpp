// Decimal and byte-word helpers shared by the number formats and the token grammars.
// Plain C++.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace atomkit {

// 10^0 .. 10^19: every power of ten a uint64 holds.
inline constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (std::uint64_t& entry : powers) {
        entry = power;
        power *= 10;
    }
    return powers;
}();

// Eight bytes in memory order as a little-endian word (the first byte lowest), and back:
// SWAR code reads and writes text eight characters at a time this way on any host.
inline std::uint64_t load_le_word(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;
}

inline void store_le_word(char* out, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    std::memcpy(out, &word, sizeof word);
}

}  // namespace atomkit
