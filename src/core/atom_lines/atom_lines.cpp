// The atom line parser: cuts lines into tokens at ASCII whitespace and stores them into the
// typed column buffers, or stops at the first bad token with its "row ..." message.
#include "core/atom_lines/atom_lines.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <utility>

#include "core/atom_lines/line_tokens.hpp"
#include "core/atom_lines/quoted_token.hpp"
#include "core/atom_lines/split_parse.hpp"
#include "core/common/internal_failure.hpp"
#include "core/common/thread_pool.hpp"
#include "core/common/utf8.hpp"

namespace atomkit {
namespace {

// Element count natoms * count, after checking that its size in bytes stays within
// `max_bytes`. The byte size is checked as an exact product: 64-bit wrap-around would
// let a huge request through as a small one.
std::size_t checked_elements(std::size_t natoms, std::size_t count, std::size_t elem_size,
                             std::size_t max_bytes) {
    std::size_t elements = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(natoms, count, &elements) ||
        __builtin_mul_overflow(elements, elem_size, &bytes) || bytes > max_bytes) {
        fail("capacity overflow");
    }
    return elements;
}

constexpr std::size_t max_bytes_8 = (std::size_t{1} << 63) - 8;
constexpr std::size_t max_bytes_1 = (std::size_t{1} << 63) - 1;

void append_decimal(std::string& out, std::size_t value) {
    std::array<char, std::numeric_limits<std::size_t>::digits10 + 1> digits{};
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    (void)ec;  // the array holds every size_t in decimal
    out.append(digits.data(), end);
}

std::string row_prefix(std::size_t row) {
    std::string message = "row ";
    append_decimal(message, row);
    message += ": ";
    return message;
}

// The spans of a span of line texts, for parse_line_source.
struct TextLines {
    std::span<const std::string_view> lines;
    std::size_t size() const noexcept { return lines.size(); }
    std::string_view operator[](std::size_t i) const noexcept { return lines[i]; }
    void prefetch(std::size_t i) const noexcept { __builtin_prefetch(lines[i].data()); }
};

// The column counts of `col_types` into `out`; returns the number of string columns.
std::size_t count_columns(ParsedAtoms& out, std::span<const std::uint8_t> col_types) noexcept {
    std::size_t n_str_cols = 0;
    for (std::uint8_t code : col_types) {
        switch (code) {
            case 'f': ++out.n_float_cols; break;
            case 'i': ++out.n_int_cols; break;
            case 'b': ++out.n_bool_cols; break;
            case 's': ++n_str_cols; break;
            default: break;
        }
    }
    return n_str_cols;
}

}  // namespace

AtomParser::AtomParser(std::size_t natoms, std::span<const std::uint8_t> col_types,
                       bool check_strings, std::size_t rows)
    : codes_(col_types), last_row_(natoms), check_strings_(check_strings) {
    const std::size_t n_str_cols = count_columns(out_, col_types);
    out_.natoms = natoms;
    // Every size is checked before anything is allocated, so an impossible request fails
    // without first taking memory for the buffers that would fit. Every element is written
    // exactly once by a successful parse, so the buffers need no zeroing.
    const std::size_t n_floats = checked_elements(rows, out_.n_float_cols, sizeof(double), max_bytes_8);
    const std::size_t n_ints = checked_elements(rows, out_.n_int_cols, sizeof(std::int64_t), max_bytes_8);
    const std::size_t n_bools = checked_elements(rows, out_.n_bool_cols, sizeof(std::uint8_t), max_bytes_1);
    out_.floats = OwnedBuffer<double>::uninitialized(n_floats);
    out_.ints = OwnedBuffer<std::int64_t>::uninitialized(n_ints);
    out_.bools = OwnedBuffer<std::uint8_t>::uninitialized(n_bools);
    out_.strs.resize(n_str_cols);
    for (StringColumn& column : out_.strs) column.reserve(rows);
    // Each row stores exactly n_*_cols values of each type, so running pointers land on
    // row * n_*_cols + k without index arithmetic and never leave their buffer.
    float_origin_ = out_.floats.data();
    int_origin_ = out_.ints.data();
    bool_origin_ = out_.bools.data();
    next_ = outputs_at(0);
}

AtomParser::AtomParser(ParsedAtoms& columns, std::span<const std::uint8_t> col_types, bool check_strings,
                       std::size_t first, std::size_t last)
    : codes_(col_types), row_(first), first_row_(first), last_row_(last), check_strings_(check_strings) {
    out_.strs.resize(count_columns(out_, col_types));
    out_.natoms = columns.natoms;
    for (StringColumn& column : out_.strs) column.reserve(last - first);
    float_origin_ = columns.floats.data();
    int_origin_ = columns.ints.data();
    bool_origin_ = columns.bools.data();
    next_ = outputs_at(first);
}

void AtomParser::resume(std::size_t string_rows, std::size_t row) {
    if (row < first_row_ || row > last_row_) fail("a parser resumed outside the rows it was made for");
    for (StringColumn& column : out_.strs) column.truncate(string_rows);
    row_ = row;
    next_ = outputs_at(row);
    failure_ = {};
}

AtomParser::Outputs AtomParser::outputs_at(std::size_t row) const noexcept {
    return {float_origin_ + row * out_.n_float_cols, int_origin_ + row * out_.n_int_cols,
            reinterpret_cast<Flag*>(bool_origin_ + row * out_.n_bool_cols)};
}

template <class Tokens>
bool AtomParser::parse_row(Tokens& tokens, Outputs& out) {
    std::size_t str_col = 0;
    const std::uint8_t* const codes_end = codes_.data() + codes_.size();
    for (const std::uint8_t* at = codes_.data(); at != codes_end; ++at) {
        const std::uint8_t& code = *at;
        std::string_view token;
        if (!tokens.next(token)) {
            fail_ran_out();
            return failed_at(code);
        }
        switch (code) {
            case 'f': {
                // The 16 bytes that end the token lie in the line or block being read (and so do
                // those of every token after it).
                const bool readable = static_cast<std::size_t>(token.data() - readable_from_) + token.size() >= 16;
#if defined(__SSE2__)
                // Two float columns in a row are read together, sharing their last steps, when
                // both tokens have the '%16.8f' shape; otherwise each alone, in column order.
                if (readable && at + 1 != codes_end && at[1] == 'f') {
                    std::string_view second;
                    if (!tokens.next(second)) {
                        if (!store_float(token, out.floats, readable)) return failed_at(code);
                        fail_ran_out();
                        return failed_at(at[1]);
                    }
                    ++at;
                    if (parse_fixed_decimal16_pair(token, second, out.floats)) {
                        out.floats += 2;
                        break;
                    }
                    if (!store_float(token, out.floats, readable)) return failed_at(code);
                    if (!store_float(second, out.floats, readable)) return failed_at(*at);
                    break;
                }
#endif
                if (!store_float(token, out.floats, readable)) return failed_at(code);
                break;
            }
            case 'i':
                // The eight bytes that end the token lie in the line or block being read.
                if (static_cast<std::size_t>(token.data() - readable_from_) + token.size() >= 8 &&
                    parse_int_word(token, *out.ints)) {
                    ++out.ints;
                    break;
                }
                if (!store_number(token, out.ints, "int", parse_short_int, parse_int_token)) return failed_at(code);
                break;
            case 'b': {
                // T and F without a branch on which (the column's values are a coin toss).
                const auto first = static_cast<unsigned char>(token[0]);
                const bool is_true = first == 'T';
                if (token.size() == 1 && (is_true | (first == 'F'))) {
                    *out.bools++ = static_cast<Flag>(is_true);
                    break;
                }
                const auto value = parse_bool_token(token);
                if (!value) {
                    fail_token(token, "bool", {});
                    return failed_at(code);
                }
                *out.bools++ = static_cast<Flag>(*value);
                break;
            }
            case 's': {
                StringColumn& column = out_.strs[str_col++];
                const bool stored = readable_to_ - token.data() >= 8 ? column.push_back_in_text(token)
                                                                     : column.push_back(token);
                // A new token's copy is checked, not its source, which may change meanwhile;
                // a repeat equals a copy checked before.
                if (stored && check_strings_ && !is_valid_utf8(column.back())) {
                    fail_token(column.back(), "str", "invalid UTF-8");
                    return failed_at(code);
                }
                break;
            }
            default:
                break;  // a skip column consumes its token and keeps nothing
        }
    }
    ++row_;
    return true;
}

// A float column's token: the '%16.8f' shortcut when its 16 bytes may be read, the plain
// decimal one, the whole grammar.
bool AtomParser::store_float(std::string_view token, double*& out, [[maybe_unused]] bool readable) {
#if defined(__SSE2__)
    if (readable && parse_fixed_decimal16(token, *out)) {
        ++out;
        return true;
    }
#endif
    return store_number(token, out, "float", parse_plain_decimal, parse_float_token_nearest);
}

// A number column's token: the shortcut for the usual shape, the whole grammar for the rest.
template <class T, class Shortcut, class Grammar>
bool AtomParser::store_number(std::string_view token, T*& out, std::string_view kind, Shortcut shortcut,
                              Grammar grammar) {
    T value;
    if (!shortcut(token, value)) {
        const auto parsed = grammar(token);
        if (!parsed) return fail_token(token, kind, describe(parsed.error()));
        value = *parsed;
    }
    *out++ = value;
    return true;
}

bool AtomParser::parse_line(std::string_view line) {
    readable_from_ = line.data();
    readable_to_ = line.data() + line.size();
    TokenScanner<false> tokens(line.data(), line.data() + line.size());
    Outputs out = next_;
    const bool parsed = parse_row(tokens, out);
    next_ = out;
    return parsed;
}

bool AtomParser::parse_block(std::string_view data, std::size_t offset) {
    Outputs out = next_;
    const char* const end = data.data() + data.size();
    readable_from_ = data.data();
    readable_to_ = end;
    const NearestRounding nearest;
    std::size_t at = offset;
    // A strict read's first row with stray tokens fails the block only once every row has
    // parsed: a bad token anywhere in it is the failure to report.
    std::optional<ParseFailure> stray;
    BlockChunks chunks(data.data() + std::min(offset, data.size()), end, chunk_classifiers().run);
    while (row_ < last_row_) {
        if (at >= data.size()) {
            next_ = out;
            return fail_data_ends();
        }
        line_start_ = at;
        TokenScanner<true> tokens(chunks, at - offset);
        if (!parse_line_row(tokens, out, stray, at)) {
            next_ = out;
            return false;
        }
    }
    next_ = out;
    block_end_ = at;
    if (stray) {
        failure_ = std::move(*stray);
        return false;
    }
    return true;
}

// The row of one line of a block, `at` moved past its line feed (or to the end of the data);
// false when it fails.
template <class Tokens>
bool AtomParser::parse_line_row(Tokens& tokens, Outputs& out, std::optional<ParseFailure>& stray, std::size_t& at) {
    if (!parse_row(tokens, out)) return false;
    // (The usual line has no token left: one look, and the failure is made only for a line
    // that has one.)
    std::string_view extra;
    if (strict_ && !stray && tokens.next(extra)) {
        fail_stray_tokens(tokens);
        stray = std::move(failure_);
    }
    tokens.end_line();
    at += tokens.offset();
    return true;
}

bool AtomParser::parse_more_rows(std::string_view data, std::size_t offset, std::size_t rows) {
    return parse_frame_part(data, offset, rows, {row_, rows});
}

bool AtomParser::parse_frame_part(std::string_view data, std::size_t offset, std::size_t rows, FramePart frame) {
    const std::size_t last = last_row_;
    if (rows > last - row_ || frame.first > row_) fail("more rows asked of a parser than it was made for");
    last_row_ = row_ + rows;
    row_base_ = frame.first;  // a failure names its row within this frame, and its count of lines
    const std::size_t natoms = std::exchange(out_.natoms, frame.rows);
    const bool parsed = parse_block(data, offset);
    last_row_ = last;
    row_base_ = 0;
    out_.natoms = natoms;
    return parsed;
}

// The failure's column: the place of `code` (an element of codes_) among the codes.
bool AtomParser::failed_at(const std::uint8_t& code) noexcept {
    failure_.column = &code - codes_.data();
    return false;
}

// The failure messages are made out of line: the hot loop only ever returns them.
// A strict read's row with tokens past its columns fails, with how many the line holds; true
// (no failure) for a row without.
template <class Tokens>
bool AtomParser::fail_stray_tokens(Tokens tokens) {
    std::string_view token;
    std::size_t found = codes_.size() + 1;  // the token too many, already taken
    while (tokens.next(token)) ++found;
    const std::size_t row = row_ - 1 - row_base_;  // the row just parsed
    failure_ = {row_prefix(row) + "expected ", row, true, line_start_, static_cast<std::ptrdiff_t>(codes_.size()), true};
    append_decimal(failure_.message, codes_.size());
    failure_.message += " tokens, found ";
    append_decimal(failure_.message, found);
    return false;
}

bool AtomParser::fail_data_ends() {
    failure_ = {row_prefix(row_ - row_base_) + "expected ", row_ - row_base_};
    append_decimal(failure_.message, out_.natoms);
    failure_.message += " lines, the data ends";
    return false;
}

bool AtomParser::fail_ran_out() {
    failure_ = {row_prefix(row_ - row_base_) + "expected ", row_ - row_base_, true, line_start_};
    append_decimal(failure_.message, codes_.size());
    failure_.message += " tokens, ran out";
    return false;
}

bool AtomParser::fail_token(std::string_view token, std::string_view kind, std::string_view reason) {
    failure_ = {row_prefix(row_ - row_base_) + "cannot parse ", row_ - row_base_, true, line_start_};
    append_quoted_token(failure_.message, token);
    failure_.message += " as ";
    failure_.message += kind;
    if (!reason.empty()) {
        failure_.message += ": ";
        failure_.message += reason;
    }
    return false;
}

std::expected<ParsedAtoms, ParseFailure> parse_atom_lines(std::span<const std::string_view> lines,
                                                          std::span<const std::uint8_t> col_types) {
    if (const std::size_t ranges = parallel_ranges(lines.size()); ranges > 1) {
        return parse_lines_split(lines, col_types, ranges);
    }
    return parse_line_source(TextLines{lines}, col_types);
}

std::expected<ParsedBlock, ParseFailure> parse_atom_block(std::string_view data, std::size_t offset,
                                                          std::size_t natoms,
                                                          std::span<const std::uint8_t> col_types) {
    if (offset > data.size()) {
        std::string message = "offset ";
        append_decimal(message, offset);
        message += " is outside the data (";
        append_decimal(message, data.size());
        message += " bytes)";
        return std::unexpected(ParseFailure{std::move(message), 0});
    }
    // Buffers are made only for the rows the bytes can reach, whatever natoms says. A row is
    // started only at a byte before the end, and each row before it took at least
    // max(ncols, 1) bytes of its own: every code takes one token of at least one byte, tokens
    // do not overlap, and a row without tokens still takes its line feed. Each byte of the
    // block is classified once, so this holds whatever the bytes hold meanwhile.
    // With L bytes from the offset on, row r is started only if r * max(ncols, 1) < L, so
    // ceil(L / max(ncols, 1)) rows suffice: a bound on sizes alone.
    const std::size_t left = data.size() - offset;
    const std::size_t per_row = std::max<std::size_t>(col_types.size(), 1);
    const std::size_t rows = std::min(natoms, left / per_row + (left % per_row != 0 ? 1 : 0));
    // A large block whose bytes can hold all its rows is parsed in ranges at once.
    if (const std::size_t ranges = parallel_ranges(natoms); ranges > 1 && rows == natoms && !col_types.empty()) {
        if (auto split = parse_block_split(data, offset, natoms, col_types, ranges)) return std::move(*split);
    }
    AtomParser parser(natoms, col_types, /*check_strings=*/true, rows);
    if (!parser.parse_block(data, offset)) return std::unexpected(std::move(parser).take_failure());
    const std::size_t end = parser.block_end();
    return ParsedBlock{std::move(parser).take(), end};
}

}  // namespace atomkit
