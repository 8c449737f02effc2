// The comment line of an extended XYZ frame: its key=value items found and typed into plain
// C++ values (numbers, flags, texts and flat arrays). Plain C++ over UTF-8 bytes.
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
    bool_array,   // 1-D, 0/1 in `ints`
    int_array,    // 1-D
    float_array,  // 1-D, or 3x3 when `square`
    // Left to the Python path, which types `text` (the value as written, quotes and
    // brackets included): nested lists, lists of strings, integers beyond int64.
    deferred,
};

struct CommentValue {
    CommentValueKind kind = CommentValueKind::text;
    bool square = false;  // a float_array of 9 values as a 3x3 matrix
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;
    std::vector<std::int64_t> ints;
    std::vector<double> reals;
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
};

struct CommentError {
    CommentErrorKind kind;
    std::string text;  // what the message quotes, already cut to the length it shows
    // A value before the failing item was deferred: typing it in Python may fail first, so
    // only the Python path can say which error the line gives.
    bool after_deferred = false;
};

// The items of one comment line (any bytes; UTF-8 for the answers to match Python's str
// methods): Properties, Lattice and pbc in any letter case apart, the rest in `info`. A
// line without '=' is one `comment` item (stripped), or nothing when blank.
[[nodiscard]] std::expected<ParsedComment, CommentError> parse_comment_line(std::string_view line);

// The byte length of the character at s[i] when Python's str.isspace() accepts it, else 0.
[[nodiscard]] std::size_t python_space_at(std::string_view s, std::size_t i) noexcept;

}  // namespace atomkit
