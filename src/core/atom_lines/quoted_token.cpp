// The quoted token form of the reader's error messages: a token between double quotes,
// with the characters a reader could not see or tell apart written as escapes.
#include "core/atom_lines/quoted_token.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>

#include "core/atom_lines/unicode_tables.hpp"
#include "core/common/utf8.hpp"

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

// A byte that is no part of valid UTF-8 (only tokens read from bytes can hold one): \x{ff}.
void append_byte_escape(std::string& out, std::uint8_t byte) {
    static constexpr char hex[] = "0123456789abcdef";
    out += "\\x{";
    out += hex[byte >> 4];
    out += hex[byte & 0x0F];
    out += '}';
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
        } else if (const Utf8Sequence d = decode_utf8(token, i); d.length == 0) {
            append_byte_escape(out, b);
            ++i;
        } else {
            if (must_escape_code_point(d.code_point)) {
                append_code_point_escape(out, d.code_point);
            } else {
                out.append(token.substr(i, d.length));
            }
            i += d.length;
        }
    }
    out += '"';
}

}  // namespace atomkit
