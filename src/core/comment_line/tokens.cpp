// The comment line's characters and items: Python's spaces beyond ASCII, the extent of
// quoted, bracketed and braced values, escapes, and the word splitter. Plain C++.
#include "core/comment_line/tokens.hpp"

#include <array>
#include <cstdint>

namespace atomkit::comment {
namespace {

// The end of the bracketed list opening at s[i]: quoted texts and (when `nested`) one level of
// inner lists inside; npos when it does not close.
std::size_t bracket_end(std::string_view s, std::size_t i, bool nested) noexcept {
    std::size_t j = i + 1;
    while (j < s.size()) {
        const char c = s[j];
        if (c == ']') return j + 1;
        if (c == '"' || c == '\'') {
            j = quoted_end(s, j);
        } else if (c == '[') {
            if (!nested) return npos;
            j = bracket_end(s, j, false);
        } else {
            ++j;
        }
        if (j == npos) return npos;
    }
    return npos;
}

// What the word splitter needs to know of each byte.
enum ByteClass : std::uint8_t { word_byte, space_byte, comma_byte, underscore_byte, wide_byte };
constexpr std::array<std::uint8_t, 256> byte_classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (std::size_t c = 0; c < 256; ++c) {
        if (c >= 0x80) {
            classes[c] = wide_byte;
        } else if ((c >= 9 && c <= 13) || (c >= 28 && c <= 32)) {
            classes[c] = space_byte;
        }
    }
    classes[','] = comma_byte;
    classes['_'] = underscore_byte;
    return classes;
}();

// The byte length of the separator at t[i], 0 when the byte belongs to a word; notes a comma,
// and a byte that makes the text not plain, on the way.
[[gnu::always_inline]] inline std::size_t separator_at(std::string_view t, std::size_t i, bool commas, Words& out) noexcept {
    switch (byte_classes[byte_at(t, i)]) {
        case space_byte:
            return 1;
        case comma_byte:
            out.comma = true;
            return commas ? 1 : 0;
        case underscore_byte:
            out.plain = false;
            return 0;
        case wide_byte:
            out.plain = false;
            return wide_space_at(t, i);
        default:
            return 0;
    }
}

}  // namespace

// Python's spaces beyond ASCII: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000.
std::size_t wide_space_at(std::string_view s, std::size_t i) noexcept {
    const unsigned char c = byte_at(s, i);
    const std::size_t left = s.size() - i;
    if (c == 0xC2) return left >= 2 && (byte_at(s, i + 1) == 0x85 || byte_at(s, i + 1) == 0xA0) ? 2 : 0;
    if (left < 3 || c < 0xE1 || c > 0xE3) return 0;
    const unsigned char b1 = byte_at(s, i + 1);
    const unsigned char b2 = byte_at(s, i + 2);
    bool space = false;
    if (c == 0xE1) {
        space = b1 == 0x9A && b2 == 0x80;
    } else if (c == 0xE2) {
        space = (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) ||
                (b1 == 0x81 && b2 == 0x9F);
    } else {
        space = b1 == 0x80 && b2 == 0x80;
    }
    return space ? 3 : 0;
}

std::string_view leading_characters(std::string_view s, std::size_t count) noexcept {
    std::size_t i = 0;
    for (std::size_t seen = 0; i < s.size(); ++i) {
        if ((byte_at(s, i) & 0xC0U) != 0x80U && seen++ == count) break;
    }
    return s.substr(0, i);
}

std::size_t quoted_end(std::string_view s, std::size_t i) noexcept {
    const char quote = s[i];
    std::size_t j = i + 1;
    // The next quote closes it unless a backslash comes first (memchr covers long values fast).
    std::size_t close = s.find(quote, j);
    while (true) {
        const std::size_t backslash = s.substr(0, close == npos ? s.size() : close).find('\\', j);
        if (backslash == npos) return close == npos ? npos : close + 1;
        j = backslash + 2;
        if (j > s.size()) return npos;
        if (close != npos && j > close) close = s.find(quote, j);
    }
}

std::size_t list_quoted_end(std::string_view s, std::size_t i) noexcept {
    const std::size_t end = quoted_end(s, i);
    if (end == npos || s.substr(i, end - i).find('\n') == npos) return end;
    for (std::size_t j = i + 1; j + 1 < end; ++j) {
        if (s[j] != '\\') continue;
        if (s[j + 1] == '\n') return npos;
        ++j;
    }
    return end;
}

std::size_t value_end(std::string_view s, std::size_t v) noexcept {
    if (v == s.size()) return npos;
    switch (s[v]) {
        case '"':
        case '\'':
            return quoted_end(s, v);
        case '[':
            return bracket_end(s, v, true);
        case '{': {
            const std::size_t close = s.find_first_of("{}", v + 1);
            return close != npos && s[close] == '}' ? close + 1 : npos;
        }
        case '=':
            return npos;
        default:
            if (space_at(s, v) != 0) return npos;
            std::size_t e = v + 1;
            while (e < s.size() && s[e] != '=' && space_at(s, e) == 0) ++e;
            return e;
    }
}

std::string unescape(std::string_view t) {
    if (t.find('\\') == npos) return std::string(t);
    std::string out;
    out.reserve(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (c != '\\' || i + 1 == t.size()) {
            out += c;
            continue;
        }
        const char next = t[++i];
        switch (next) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
            case '"':
            case '\'':
                out += next;
                break;
            default:
                out += '\\';
                out += next;
                break;
        }
    }
    return out;
}

std::string plain_text(std::string_view raw) {
    if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) return unescape(raw.substr(1, raw.size() - 2));
    return std::string(raw);
}

Words words(std::string_view t, bool commas) {
    Words out;
    out.tokens.reserve(16);  // a 3x3 matrix's worth without growing
    std::size_t i = 0;
    const std::size_t n = t.size();
    while (true) {
        while (i < n) {
            const std::size_t length = separator_at(t, i, commas, out);
            if (length == 0) break;
            i += length;
        }
        if (i == n) break;
        const std::size_t start = i;
        while (i < n && separator_at(t, i, commas, out) == 0) ++i;
        out.tokens.push_back(t.substr(start, i - start));
    }
    return out;
}

}  // namespace atomkit::comment
