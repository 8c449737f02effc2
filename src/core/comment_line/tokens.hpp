// The comment line's characters and items: Python's spaces, where quoted, bracketed and bare
// values end, escapes, and the word splitter behind the typing. Plain C++ over UTF-8 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/word_bits.hpp"

namespace atomkit::comment {

inline constexpr std::size_t npos = std::string_view::npos;

inline unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
    return static_cast<unsigned char>(s[i]);
}

// The byte length of the space beyond ASCII at s[i] (what str.isspace() accepts), else 0.
[[gnu::noinline]] std::size_t wide_space_at(std::string_view s, std::size_t i) noexcept;

// ASCII spaces are \t \n \v \f \r, the four information separators and ' '.
[[gnu::always_inline]] inline std::size_t space_at(std::string_view s, std::size_t i) noexcept {
    const unsigned char c = byte_at(s, i);
    if (c < 0x80) return static_cast<unsigned>(c - 9) < 5 || static_cast<unsigned>(c - 28) < 5 ? 1 : 0;
    return wide_space_at(s, i);
}

inline std::size_t skip_spaces(std::string_view s, std::size_t i) noexcept {
    while (i < s.size()) {
        const std::size_t length = space_at(s, i);
        if (length == 0) break;
        i += length;
    }
    return i;
}

// The end of the run of non-space characters from i.
inline std::size_t skip_non_spaces(std::string_view s, std::size_t i) noexcept {
    while (i < s.size() && space_at(s, i) == 0) ++i;
    return i;
}

inline bool is_space_or_end(std::string_view s, std::size_t i) noexcept {
    return i == s.size() || space_at(s, i) != 0;
}

// A key character: neither space nor '=' nor a quote.
inline bool is_key_char(std::string_view s, std::size_t i) noexcept {
    const char c = s[i];
    return c != '=' && c != '"' && c != '\'' && space_at(s, i) == 0;
}

enum class Reserved { none, properties, lattice, pbc };

// Keys are compared with text.lower() in Python: beyond ASCII only KELVIN SIGN lowers to a
// lone ASCII letter, 'k', which none of the words sought holds, so equals_ascii_lower serves.
inline Reserved reserved_key(std::string_view key) noexcept {
    if (equals_ascii_lower(key, "properties")) return Reserved::properties;
    if (equals_ascii_lower(key, "lattice")) return Reserved::lattice;
    if (equals_ascii_lower(key, "pbc")) return Reserved::pbc;
    return Reserved::none;
}

// The keys whose nine numbers are a 3x3 matrix.
inline bool is_matrix_key(std::string_view key) noexcept {
    return equals_ascii_lower(key, "stress") || equals_ascii_lower(key, "virial");
}

// How many characters of the text at fault a message quotes: of a list item, and of an
// item of the line. The tests' Python reading of the line quotes the same (tests/comment_oracle.py).
inline constexpr std::size_t list_item_quoted = 30;
inline constexpr std::size_t line_item_quoted = 60;

// The first `count` characters of a text (UTF-8 sequences kept whole).
std::string_view leading_characters(std::string_view s, std::size_t count) noexcept;

// What may follow the last item of a list, or the last row of a nested one.
inline bool only_list_gaps(std::string_view rest) noexcept { return rest.find_first_not_of(" \t,") == npos; }

// The end of the quoted text opening at s[i] (either quote; a backslash takes the character
// after it along), or npos when it is not closed.
std::size_t quoted_end(std::string_view s, std::size_t i) noexcept;

// quoted_end for a quoted item of a list, where a backslash does not take a line feed along
// (the Python reading's list patterns match '.' without DOTALL): npos for such a text.
std::size_t list_quoted_end(std::string_view s, std::size_t i) noexcept;

// The end of a value starting at s[v] by its first character, or npos when none starts there.
std::size_t value_end(std::string_view s, std::size_t v) noexcept;

// A quoted text's content: \n, \r, \\ and escaped quotes stand for those characters; any
// other backslash stays with the character after it.
std::string unescape(std::string_view t);

// A value untyped: quotes and escapes removed, anything else as written.
std::string plain_text(std::string_view raw);

// The words of a text between runs of spaces (and also between commas when `commas`), and
// what the typing asks of the whole text: whether it holds a comma, and whether it holds
// neither a digit separator '_' nor anything beyond ASCII.
struct Words {
    std::vector<std::string_view> tokens;
    bool comma = false;
    bool plain = true;
};

Words words(std::string_view t, bool commas);

}  // namespace atomkit::comment
