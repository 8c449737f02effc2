// A comment line of plain items typed in one pass over its bytes, into buffers that are kept
// from line to line: what parse_comment_line gives for such a line, without an allocation per
// value. Any line outside that plain form is declined, and left to the parser. Plain C++.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/comment_line/comment_line.hpp"

namespace atomkit {

// One typed value, its texts and arrays viewed where they are kept: a text, boolean, integer,
// real or float_array (square: a 3x3 matrix) of a flat line; a column of info values gives
// back the same form of a parsed value (`flag` as the boolean true).
struct InfoValue {
    CommentValueKind kind = CommentValueKind::text;
    bool square = false;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string_view text;
    std::span<const double> reals;
    std::span<const std::int64_t> ints;
};

struct FlatItem {
    std::string_view key;
    InfoValue value;
    std::size_t first = 0;  // a float_array's values: reals [first, first + count) of the line
    std::size_t count = 0;
};

class FlatLine {
public:
    // Types `line` when every item is key=value: a key of ASCII bytes, '=' right after it, and
    // a bare value or a double-quoted one without a backslash, each typed as a scalar, or (when
    // quoted) as several floats; no reserved key or info key twice, and Properties, Lattice
    // (nine floats) and pbc as parse_comment_line takes them. False for any other line, which
    // parse_comment_line then reads (and refuses, where it does). Views of the line are kept.
    [[nodiscard]] bool read(std::string_view line, const CommentOptions& options);

    std::span<const FlatItem> info() const noexcept { return items_; }
    // The Properties value (nullopt without the key).
    std::optional<std::string_view> properties() const noexcept { return properties_; }
    // Lattice's nine numbers, or nullptr without the key.
    const double* lattice() const noexcept { return has_lattice_ ? lattice_.data() : nullptr; }
    const std::optional<std::array<bool, 3>>& pbc() const noexcept { return pbc_; }

    // What parse_comment_line gives for the line read.
    ParsedComment parsed() const;

private:
    // An item, its value as written (`raw`, quotes included) and without its quotes
    // (`content`, whose words are words_); false to decline the line.
    bool add(std::string_view key, std::string_view raw, std::string_view content, bool quoted,
             const CommentOptions& options);
    bool type_value(FlatItem& item, std::string_view content, bool quoted, const CommentOptions& options);

    // The marks of each 64 bytes of the line, a bit a byte.
    enum Mark : std::uint8_t { space, equals, quote, key_end, marks };  // key_end: a space, '=' or either quote
    using Marks = std::array<std::uint64_t, marks>;
    // The marks of the line; false when it holds a byte beyond ASCII or a backslash.
    bool mark(std::string_view line);
    // Where the bytes from `from` on first have (`set`) or lack `what`: an offset in the line,
    // or its length.
    std::size_t next(Mark what, bool set, std::size_t from) const noexcept;
    // The words of line[from, to) (between spaces) into words_.
    void split_words(std::string_view line, std::size_t from, std::size_t to);

    std::size_t size_ = 0;
    std::vector<Marks> marks_;
    std::vector<FlatItem> items_;
    std::vector<double> reals_;
    std::vector<std::string_view> words_;  // of the quoted value being read
    std::optional<std::string_view> properties_;
    bool has_lattice_ = false;
    std::array<double, 9> lattice_{};
    std::size_t lattice_place_ = 0;
    std::optional<std::array<bool, 3>> pbc_;
};

}  // namespace atomkit
