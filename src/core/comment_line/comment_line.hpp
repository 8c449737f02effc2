// The comment line of an extended XYZ frame: its key=value items found and typed into plain
// C++ values (numbers, flags, texts, arrays of one or two dimensions). Plain C++ over UTF-8 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace atomkit {

enum class CommentValueKind : std::uint8_t {
    flag,         // a key without '=': True
    text,         // a str
    boolean,
    integer,      // within int64
    real,
    // Arrays: 1-D, or 2-D of `rows` rows (a nested list) when rows > 0.
    bool_array,   // 0/1 in `ints`
    int_array,
    float_array,  // or 3x3 when `square`
    str_array,    // `texts`, NumPy's str of the width of the longest (at least 1 and `width`)
    big_integer,  // beyond int64: `text`, its digits as written (sign and leading zeros kept)
    // Only when the caller does not type everything (CommentOptions::type_all unset): left to
    // its Python side, which types `text` (the value as written, quotes and brackets
    // included): nested lists, lists of strings, integers beyond int64.
    deferred,
};

struct CommentValue {
    CommentValueKind kind = CommentValueKind::text;
    bool square = false;  // a float_array of 9 values as a 3x3 matrix
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::size_t rows = 0;   // of a 2-D array; 0 for a flat one
    std::size_t width = 0;  // a str_array's least width in characters (numbers made strs)
    std::string text;
    std::vector<std::int64_t> ints;
    std::vector<double> reals;
    std::vector<std::string> texts;
};

struct CommentItem {
    std::string key;
    CommentValue value;
};

struct ParsedComment {
    std::optional<std::string> properties;
    // A float_array of 9 values, square, or deferred.
    std::optional<CommentValue> lattice;
    std::size_t lattice_place = 0;  // how many info items come before it in the line
    std::optional<std::array<bool, 3>> pbc;
    std::vector<CommentItem> info;  // in line order
};

enum class CommentErrorKind : std::uint8_t {
    cannot_parse,      // "cannot parse {text!r}"
    no_value,          // "{text} has no value"
    properties_twice,  // "Properties appears twice"
    lattice_twice,     // "Lattice appears twice"
    pbc_twice,         // "pbc appears twice"
    key_twice,         // "key {text!r} appears twice"
    lattice_numbers,   // "Lattice needs 9 numbers, got {text!r}"
    pbc_flags,         // "pbc needs three of T/F, got {text!r}"
    list_item,         // "cannot parse the list item at {text!r}"
    nested_list,       // "cannot parse the nested list at {text!r}"
    row_lengths,       // "rows of different lengths in {text!r}"
    int_digits,        // int(text) refused: more digits than CommentOptions::int_digits_limit
};

struct CommentError {
    CommentErrorKind kind;
    std::string text;  // what the message quotes, already cut to the length it shows
};

struct CommentOptions {
    // Type every value. Unset, nested lists (unread), lists of strings and integers beyond
    // int64 (and lists holding one) are left deferred, for a caller that types them later.
    bool type_all = false;
    // With type_all: Python's limit on an integer's decimal digits (sys.get_int_max_str_digits(),
    // 0 for none). An integer token of more digits fails as int() fails on it.
    std::size_t int_digits_limit = 0;
};

// The items of one comment line (any bytes; UTF-8 for the answers to match Python's str
// methods): Properties, Lattice and pbc in any letter case apart, the rest in `info`. A
// line without '=' is one `comment` item (stripped), or nothing when blank.
[[nodiscard]] std::expected<ParsedComment, CommentError> parse_comment_line(std::string_view line,
                                                                           const CommentOptions& options = {});

// parse_comment_line for a line FlatLine (flat_line.hpp) declined: the parser alone.
[[nodiscard]] std::expected<ParsedComment, CommentError> parse_declined_line(std::string_view line,
                                                                            const CommentOptions& options = {});

// The byte length of the character at s[i] when Python's str.isspace() accepts it, else 0.
[[nodiscard]] std::size_t python_space_at(std::string_view s, std::size_t i) noexcept;

}  // namespace atomkit
