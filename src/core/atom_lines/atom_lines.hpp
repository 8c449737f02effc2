// The atom line parser: the lines of one frame plus column codes in, typed columns out;
// from a sequence of lines or straight from a block of bytes. Plain C++; it touches no
// interpreter object.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/atom_lines/token_grammar.hpp"
#include "core/common/owned_buffer.hpp"
#include "core/common/word_bits.hpp"

namespace atomkit {

// The tokens of one string column. Columns such as the species repeat a handful of short
// tokens for every atom, so each distinct token is stored once (back to back in one arena)
// and a row keeps only the index of its token: no allocation and no copy per atom, and one
// str object per distinct token later. A small direct-mapped table finds repeats of short
// tokens; any other token is stored anew, so a column of unique labels costs what a plain
// list of tokens would.
class StringColumn {
public:
    void reserve(std::size_t rows) { rows_.reserve(rows); }

    // Adds the row's token; returns true when it was stored anew (a copy that callers may
    // want to check), false when it repeats a stored one.
    bool push_back(std::string_view token) {
        if (token.size() < sizeof(std::uint64_t)) return push_short(short_key(token));
        store(token);
        return true;
    }
    // The same for a token whose text goes on for at least eight bytes from its first (past
    // its end, the caller's text): a short token's key is one load, without a loop over its
    // bytes whose length would be a coin toss for the branch.
    [[gnu::always_inline]] bool push_back_in_text(std::string_view token) {
        if (token.size() < sizeof(std::uint64_t)) [[likely]] {
            return push_short(word_key(load_le_word(token.data()), token.size()));
        }
        store(token);
        return true;
    }

    std::size_t size() const noexcept { return rows_.size(); }
    // Keeps the first `rows` rows. The tokens stored stay, but none is taken as a repeat any
    // more: a token of the rows dropped may be one a check refused.
    void truncate(std::size_t rows) {
        if (rows >= rows_.size()) return;
        rows_.resize(rows);
        recent_.fill(Recent{});
    }
    std::string_view operator[](std::size_t row) const noexcept { return distinct(rows_[row]); }
    std::string_view back() const noexcept { return (*this)[size() - 1]; }

    // Adds the rows of `part`, a column of the rows that follow this one's (parsed apart),
    // as if they had been added here: a short token that this column's recent tokens hold
    // is not stored again, so equal species still make one str object.
    void append(const StringColumn& part) {
        std::vector<std::uint32_t> index_of(part.distinct_count());
        for (std::uint32_t d = 0; d < part.distinct_count(); ++d) {
            const std::string_view token = part.distinct(d);
            if (token.size() < sizeof(std::uint64_t)) {
                const std::uint64_t key = short_key(token);
                Recent& recent = recent_[slot(key)];
                if (recent.index != none && recent.key == key) {
                    index_of[d] = recent.index;
                    continue;
                }
                index_of[d] = store_distinct(token);
                recent = {key, index_of[d]};
            } else {
                index_of[d] = store_distinct(token);
            }
        }
        // Room grown geometrically: a column joined from many parts (a table's ranges) would
        // otherwise be copied whole at every part.
        const std::size_t needed = rows_.size() + part.rows_.size();
        if (needed > rows_.capacity()) rows_.reserve(std::max(needed, 2 * rows_.capacity()));
        for (const std::uint32_t index : part.rows_) rows_.push_back(index_of[index]);
    }

    std::size_t distinct_count() const noexcept { return ends_.size(); }
    std::string_view distinct(std::uint32_t index) const noexcept {
        const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
        return std::string_view(bytes_).substr(begin, ends_[index] - begin);
    }
    std::uint32_t distinct_index(std::size_t row) const noexcept { return rows_[row]; }

private:
    static constexpr std::uint32_t none = ~std::uint32_t{0};
    // Fibonacci hashing of the key: its top six bits choose one of 64 slots.
    static constexpr std::uint64_t mix = 0x9E3779B97F4A7C15ULL;

    // Tokens of up to seven bytes (chemical symbols) are their own key, one word: the bytes
    // from the lowest and the length in the top byte, so that no two such tokens share one.
    static std::uint64_t word_key(std::uint64_t text, std::size_t size) noexcept {
        return (text & ((std::uint64_t{1} << (8 * size)) - 1)) | (std::uint64_t{size} << 56);
    }
    static std::uint64_t short_key(std::string_view token) noexcept {
        char text[sizeof(std::uint64_t)] = {};
        std::memcpy(text, token.data(), token.size());
        return word_key(load_le_word(text), token.size());
    }
    static std::size_t slot(std::uint64_t key) noexcept { return static_cast<std::size_t>((key * mix) >> 58); }

    // The short token of `key`: its stored index taken again, or the token stored.
    [[gnu::always_inline]] bool push_short(std::uint64_t key) {
        const Recent& recent = recent_[slot(key)];
        if (recent.index != none && recent.key == key) [[likely]] {
            rows_.push_back(recent.index);
            return false;
        }
        store_short(key);
        return true;
    }
    [[gnu::noinline]] void store_short(std::uint64_t key) {
        char text[sizeof(std::uint64_t)];
        store_le_word(text, key);
        recent_[slot(key)] = {key, store({text, static_cast<std::size_t>(key >> 56)})};
    }

    std::uint32_t store_distinct(std::string_view token) {
        const auto index = static_cast<std::uint32_t>(ends_.size());
        if (index == none) throw std::bad_alloc();  // 2^32 - 1 distinct tokens in one column
        bytes_.append(token);
        ends_.push_back(bytes_.size());
        return index;
    }
    std::uint32_t store(std::string_view token) {
        const std::uint32_t index = store_distinct(token);
        rows_.push_back(index);
        return index;
    }

    struct Recent {
        std::uint64_t key = 0;  // the length, then the bytes, of a token of 0..7 bytes
        std::uint32_t index = none;
    };

    std::string bytes_;
    std::vector<std::size_t> ends_;        // per distinct token
    std::vector<std::uint32_t> rows_;      // per row: its distinct token
    std::array<Recent, 64> recent_{};
};

struct ParsedAtoms {
    OwnedBuffer<double> floats;        // natoms x n_float_cols, row-major
    OwnedBuffer<std::int64_t> ints;    // natoms x n_int_cols
    OwnedBuffer<std::uint8_t> bools;   // natoms x n_bool_cols, 0 or 1
    std::vector<StringColumn> strs;    // one per string column, natoms tokens each
    std::size_t natoms = 0;
    std::size_t n_float_cols = 0;
    std::size_t n_int_cols = 0;
    std::size_t n_bool_cols = 0;
};

// A bad line: its "row ..." message and the row it names; for a token that does not parse
// or a line that ran out of tokens (`in_line`), in a block also where that line starts, and the
// place on the line (from 0) of the token that failed, that is missing, or that is one too many
// (-1 when no token is named).
struct ParseFailure {
    std::string message;
    std::size_t row = 0;
    bool in_line = false;
    std::size_t line_start = 0;
    std::ptrdiff_t column = -1;
    bool extra_tokens = false;  // a strict parse's line with tokens past its columns
};

// A frame's rows in a table of several frames: its first row there, and how many it has.
struct FramePart {
    std::size_t first = 0;
    std::size_t rows = 0;
};

// Fills the columns of a ParsedAtoms row by row. Codes: 'f' float, 'i' int, 'b' bool,
// 's' string; any other byte skips one token. Making one allocates every buffer at its
// final size (oversized buffers raise the internal failure "capacity overflow", exhausted
// memory std::bad_alloc); each parse leaves the first bad token's failure.
class AtomParser {
public:
    // `check_strings`: string tokens are copied from bytes that may not be UTF-8. Buffers
    // are made for `rows` rows, which may be fewer than natoms when the source cannot hold
    // natoms rows (the parse then fails before it fills them).
    AtomParser(std::size_t natoms, std::span<const std::uint8_t> col_types, bool check_strings,
               std::size_t rows);
    // A parser of rows [first, last) of a frame whose buffers `columns` holds (made by the
    // frame's own parser, for at least `last` rows), with string columns of its own; its
    // messages name rows as the frame's parser would.
    AtomParser(ParsedAtoms& columns, std::span<const std::uint8_t> col_types, bool check_strings,
               std::size_t first, std::size_t last);

    std::size_t ncols() const noexcept { return codes_.size(); }

    // Parses one line (of valid UTF-8) as the next row; false with the failure set.
    bool parse_line(std::string_view line);
    // Parses the rows of `data` from `offset` on, lines ending in "\n" (or "\r\n", or the
    // end of the data for the last), until every row is filled; false with the failure set.
    bool parse_block(std::string_view data, std::size_t offset);
    // Where parse_block stopped: just past the last line it consumed.
    std::size_t block_end() const noexcept { return block_end_; }
    // Parses the next `rows` rows from `data` at `offset` as parse_block does: one frame of
    // several whose rows this parser fills one after another (a table of many frames). A
    // failure names its row within that frame.
    bool parse_more_rows(std::string_view data, std::size_t offset, std::size_t rows);
    // The same for `rows` rows of the frame `frame` only (a frame parsed in parts at once):
    // failures name rows within the whole frame, and its lines as the frame's count.
    bool parse_frame_part(std::string_view data, std::size_t offset, std::size_t rows, FramePart frame);
    // Strict: parse_block also fails on a line with more tokens than the columns (the first
    // such line, once every row has parsed).
    void set_strict(bool strict) noexcept { strict_ = strict; }

    // The row the next parse fills.
    std::size_t row() const noexcept { return row_; }
    // Rows the string columns hold (those of the rows parsed, and of a failed row's tokens).
    std::size_t string_rows() const noexcept { return out_.strs.empty() ? 0 : out_.strs[0].size(); }
    // After a frame whose rows are left out: the string columns cut back to `string_rows` rows,
    // the failure forgotten, and the next parse filling row `row` (of the rows it was made for).
    void resume(std::size_t string_rows, std::size_t row);
    const ParseFailure& failure() const noexcept { return failure_; }

    ParsedAtoms take() && { return std::move(out_); }
    ParsedAtoms& columns() noexcept { return out_; }
    ParseFailure take_failure() && { return std::move(failure_); }

private:
    // Where the next row's values go. The parse loops work on a copy of their own, which the
    // compiler keeps in registers; bools are written as Flag, a byte type that (unlike
    // std::uint8_t) aliases nothing else, so that writing one makes it reload nothing.
    enum class Flag : std::uint8_t {};
    struct Outputs {
        double* floats;
        std::int64_t* ints;
        Flag* bools;
    };
    Outputs outputs_at(std::size_t row) const noexcept;

    // Inlined into each loop, so that the scanner's state and the outputs stay in registers.
    template <class Tokens>
    [[gnu::always_inline]] inline bool parse_row(Tokens& tokens, Outputs& out);
    template <class Tokens>
    [[gnu::always_inline]] inline bool parse_line_row(Tokens& tokens, Outputs& out, std::optional<ParseFailure>& stray,
                                                      std::size_t& at);
    [[gnu::always_inline]] inline bool store_float(std::string_view token, double*& out, bool readable);
    template <class T, class Shortcut, class Grammar>
    bool store_number(std::string_view token, T*& out, std::string_view kind, Shortcut shortcut, Grammar grammar);
    [[gnu::cold]] bool fail_data_ends();
    [[gnu::cold]] bool fail_ran_out();
    // (The scanner by value: a reference would let its state escape the parse loop's registers.)
    template <class Tokens>
    [[gnu::cold]] bool fail_stray_tokens(Tokens tokens);
    [[gnu::cold]] bool failed_at(const std::uint8_t& code) noexcept;
    [[gnu::cold]] bool fail_token(std::string_view token, std::string_view kind, std::string_view reason);

    ParsedAtoms out_;
    std::span<const std::uint8_t> codes_;
    Outputs next_{};
    // Where row 0 of the buffers filled would be.
    double* float_origin_ = nullptr;
    std::int64_t* int_origin_ = nullptr;
    std::uint8_t* bool_origin_ = nullptr;
    const char* readable_from_ = nullptr;  // start of the line or block being read
    const char* readable_to_ = nullptr;    // and its end
    std::size_t row_ = 0;
    std::size_t first_row_ = 0;
    std::size_t last_row_ = 0;  // the rows this parser fills end here
    std::size_t line_start_ = 0;
    std::size_t block_end_ = 0;
    bool check_strings_ = false;
    bool strict_ = false;
    std::size_t row_base_ = 0;  // what failures subtract from the row they name
    ParseFailure failure_;
};

// Parses `lines` (anything with size() and operator[] giving the text of a line, valid
// UTF-8; prefetch(i) may warm line i) as the rows of one frame.
template <class Lines>
[[nodiscard]] std::expected<ParsedAtoms, ParseFailure> parse_line_source(
    const Lines& lines, std::span<const std::uint8_t> col_types) {
    AtomParser parser(lines.size(), col_types, /*check_strings=*/false, lines.size());
    if (parser.ncols() == 0) return std::move(parser).take();  // no line is read
    const NearestRounding nearest;
    constexpr std::size_t prefetch_distance = 8;
    for (std::size_t row = 0; row < lines.size(); ++row) {
        if (row + prefetch_distance < lines.size()) lines.prefetch(row + prefetch_distance);
        if (!parser.parse_line(lines[row])) return std::unexpected(std::move(parser).take_failure());
    }
    return std::move(parser).take();
}

// The same over a span of line texts.
[[nodiscard]] std::expected<ParsedAtoms, ParseFailure> parse_atom_lines(
    std::span<const std::string_view> lines, std::span<const std::uint8_t> col_types);

struct ParsedBlock {
    ParsedAtoms atoms;
    std::size_t end = 0;  // just past the last line consumed
};

// Parses `natoms` lines of `data` from `offset` on. Besides the line messages: "row {r}:
// expected {natoms} lines, the data ends" and, for a string token that is no valid UTF-8,
// "row {r}: cannot parse {token} as str: invalid UTF-8". The data may change while it is
// read (garbling values, never reading outside it).
[[nodiscard]] std::expected<ParsedBlock, ParseFailure> parse_atom_block(
    std::string_view data, std::size_t offset, std::size_t natoms,
    std::span<const std::uint8_t> col_types);

}  // namespace atomkit
