// Decimal and byte-word helpers shared by the number formats and the token grammars.
// Plain C++.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

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

// Whether `text` is `lower` (a word of lower-case ASCII letters) in any letter case.
inline bool equals_ascii_lower(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

inline unsigned digit_value(char c) noexcept {
    return static_cast<unsigned>(static_cast<unsigned char>(c)) - unsigned{'0'};
}

inline bool is_digit(char c) noexcept { return digit_value(c) < 10; }

// Eight ASCII digits in one little-endian word: true when every byte is '0'..'9'.
inline bool is_eight_digits(std::uint64_t word) noexcept {
    return (((word + 0x4646464646464646ULL) | (word - 0x3030303030303030ULL)) &
            0x8080808080808080ULL) == 0;
}

// The value of eight digits checked by is_eight_digits(): pairs, then quads, then the
// two halves, each step one multiply of all lanes at once.
inline std::uint64_t eight_digits_value(std::uint64_t word) noexcept {
    constexpr std::uint64_t mask = 0x000000FF000000FFULL;
    constexpr std::uint64_t mul1 = 0x000F424000000064ULL;  // 100 + (1000000 << 32)
    constexpr std::uint64_t mul2 = 0x0000271000000001ULL;  // 1 + (10000 << 32)
    word -= 0x3030303030303030ULL;
    word = word * 10 + (word >> 8);
    return (((word & mask) * mul1) + (((word >> 16) & mask) * mul2)) >> 32;
}

}  // namespace atomkit
