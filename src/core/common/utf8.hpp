// UTF-8 both ways: decoding of one sequence and validation of a token (tokens read from
// bytes, not from str objects, may hold anything), and encoding of one code point. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace atomkit {

// One decoded sequence: its code point and its length in bytes; length 0 when the bytes at
// that position are no valid UTF-8 (a stray continuation byte, a lead byte that never
// starts a sequence, a truncated or overlong form, a surrogate or a value past U+10FFFF).
struct Utf8Sequence {
    char32_t code_point;
    std::size_t length;
};

inline Utf8Sequence decode_utf8(std::string_view s, std::size_t i) noexcept {
    const auto lead = static_cast<std::uint8_t>(s[i]);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
        min = 0x10000;
    } else {
        return {0, 0};
    }
    if (s.size() - i < length) return {0, 0};
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0u) != 0x80u) return {0, 0};
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
    return {cp, length};
}

inline bool is_valid_utf8(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        // Eight ASCII bytes at a time: most text is ASCII throughout.
        if (s.size() - i >= sizeof(std::uint64_t)) {
            std::uint64_t word = 0;
            std::memcpy(&word, s.data() + i, sizeof(word));
            if ((word & 0x8080808080808080U) == 0) {
                i += sizeof(word);
                continue;
            }
        }
        if (static_cast<std::uint8_t>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = decode_utf8(s, i).length;
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// A Unicode scalar value: at most U+10FFFF and no surrogate.
inline bool is_scalar_value(std::uint32_t c) noexcept {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// Writes the scalar value c (at or above U+0080) as 2 to 4 bytes at out; returns the end.
inline char* encode_utf8_multibyte(char* out, std::uint32_t c) noexcept {
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return out + 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return out + 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return out + 4;
}

}  // namespace atomkit
