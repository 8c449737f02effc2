// The quoted token form of the reader's error messages: a token between double quotes,
// with the characters a reader could not see or tell apart written as escapes.
#include "reader/quoted_token.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>

#include "lib/internal_failure.hpp"
#include "reader/unicode_tables.hpp"

namespace atomkit {
namespace {

void append_code_point_escape(std::string& out, char32_t cp) {
    std::array<char, 8> hex{};
    auto [end, ec] = std::to_chars(hex.data(), hex.data() + hex.size(),
                                   static_cast<std::uint32_t>(cp), 16);
    (void)ec;  // eight hex digits always fit a 32-bit value
    out += "\\u{";
    out.append(hex.data(), end);
    out += '}';
}

// One decoded UTF-8 sequence: its code point and its length in bytes.
struct Decoded {
    char32_t cp;
    std::size_t length;
};

// Tokens are cut only at ASCII bytes of valid UTF-8 text, so a malformed sequence here
// means the caller broke that contract.
Decoded decode_non_ascii(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t lead = byte(i);
    // 0xC0, 0xC1 and 0xF5.. never start a valid sequence; overlong 3- and 4-byte forms
    // are caught by the minimum below.
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
        fail("quoted token: invalid UTF-8 lead byte");
    }
    if (s.size() - i < length) fail("quoted token: truncated UTF-8 sequence");
    for (std::size_t k = 1; k < length; ++k) {
        const std::uint8_t b = byte(i + k);
        if ((b & 0xC0u) != 0x80u) fail("quoted token: invalid UTF-8 continuation byte");
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        fail("quoted token: invalid UTF-8 sequence");
    }
    return {cp, length};
}

}  // namespace

void append_quoted_token(std::string& out, std::string_view token) {
    out.reserve(out.size() + token.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < token.size()) {
        // Copy the longest run of plain printable ASCII in one go: the usual bad token
        // ("12x", "1,5") is nothing else.
        std::size_t run = i;
        while (run < token.size()) {
            const auto b = static_cast<std::uint8_t>(token[run]);
            if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') break;
            ++run;
        }
        out.append(token.substr(i, run - i));
        i = run;
        if (i == token.size()) break;

        const auto b = static_cast<std::uint8_t>(token[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
            ++i;
        } else if (b == 0) {
            out += "\\0";
            ++i;
        } else if (b < 0x80) {
            append_code_point_escape(out, b);  // C0 control or DEL
            ++i;
        } else {
            const Decoded d = decode_non_ascii(token, i);
            if (must_escape_code_point(d.cp)) {
                append_code_point_escape(out, d.cp);
            } else {
                out.append(token.substr(i, d.length));
            }
            i += d.length;
        }
    }
    out += '"';
}

}  // namespace atomkit
