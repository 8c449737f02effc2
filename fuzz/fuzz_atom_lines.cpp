// libFuzzer target of parse_atom_lines and parse_atom_block: the outcome (columns, or the
// exact "row ..." message and row) against a tokeniser of its own that asks the token
// functions about each token.
//
// Input: byte 0 = number of column codes n (bits 0-4), the caller's rounding mode (bits 5-6;
// values must not depend on it, and it must be kept) and the source (bit 7: bytes, else
// lines); the next n bytes = the codes as they are (skip codes of every byte value occur).
// Lines: the rest, split at byte 0xFF. Lines come from Python str, so they are valid UTF-8:
// bytes that start no valid sequence are replaced by U+FFFD here (rather than the input
// skipped), which keeps every input useful.
// Bytes: a natoms byte, an offset byte, then the data as it is.
#include <algorithm>
#include <bit>
#include <cfenv>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"
#include "core/atom_lines/quoted_token.hpp"
#include "core/atom_lines/token_grammar.hpp"
#include "core/atom_lines/unicode_tables.hpp"
#include "fuzz_support.hpp"

namespace {

std::vector<std::string_view> tokens_of(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && fuzz::is_separator(line[i])) ++i;
        if (i == line.size()) return tokens;
        const std::size_t start = i;
        while (i < line.size() && !fuzz::is_separator(line[i])) ++i;
        tokens.push_back(line.substr(start, i - start));
    }
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Reads "{hex}" at body[i] (just past \u or \x); returns the value and moves i past '}'.
std::uint32_t read_braced_hex(std::string_view body, std::size_t& i, std::string_view quoted) {
    fuzz::check(i < body.size() && body[i] == '{', "escape without its brace", quoted);
    std::size_t j = i + 1;
    std::uint32_t value = 0;
    while (j < body.size() && is_hex_digit(body[j]) && j - i - 1 < 6) {
        const char h = body[j++];
        value = value * 16 + static_cast<std::uint32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
    }
    fuzz::check(j > i + 1 && j < body.size() && body[j] == '}', "malformed escape", quoted);
    const std::size_t digits = j - i - 1;
    i = j + 1;
    fuzz::check(digits == 1 || body[j - digits] != '0', "escape with a leading zero", quoted);
    return value;
}

// Reads the quoted form back and checks that it escapes exactly what it must: the result
// has to be the token itself, \x{..} standing only for bytes that start no valid UTF-8.
void check_quoted(std::string_view quoted, std::string_view token) {
    fuzz::check(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"',
                "quoted token lacks its quotes", quoted);
    fuzz::check(fuzz::is_valid_utf8(quoted), "quoted token is not UTF-8", quoted);
    const std::string_view body = quoted.substr(1, quoted.size() - 2);
    std::string back;
    for (std::size_t i = 0; i < body.size();) {
        const auto b = static_cast<unsigned char>(body[i]);
        if (b == '\\') {
            fuzz::check(i + 1 < body.size(), "dangling backslash", quoted);
            const char kind = body[i + 1];
            i += 2;
            if (kind == '\\' || kind == '"') {
                back += kind;
            } else if (kind == '0') {
                back += '\0';
            } else if (kind == 'x') {
                const std::uint32_t byte = read_braced_hex(body, i, quoted);
                fuzz::check(byte >= 0x80 && byte <= 0xFF && back.size() < token.size() &&
                                static_cast<unsigned char>(token[back.size()]) == byte &&
                                fuzz::utf8_sequence(token, back.size()) == 0,
                            "\\x{} escape of a byte that is valid UTF-8 there", quoted);
                back += static_cast<char>(byte);
            } else {
                fuzz::check(kind == 'u', "unknown escape", quoted);
                const std::uint32_t cp = read_braced_hex(body, i, quoted);
                fuzz::check(cp != 0 && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF),
                            "\\u{} escape of no scalar value", quoted);
                fuzz::check(cp < 0x20 || cp == 0x7F || (cp >= 0x80 && atomkit::must_escape_code_point(cp)),
                            "escaped a character that is shown as it is", quoted);
                fuzz::append_utf8(back, cp);
            }
        } else if (b < 0x80) {
            fuzz::check(b >= 0x20 && b != 0x7F && b != '"', "unescaped control or quote", quoted);
            back += static_cast<char>(b);
            ++i;
        } else {
            const std::size_t n = fuzz::utf8_sequence(body, i);
            std::uint32_t cp = b & (n == 2 ? 0x1Fu : n == 3 ? 0x0Fu : 0x07u);
            for (std::size_t k = 1; k < n; ++k) {
                cp = (cp << 6) | (static_cast<unsigned char>(body[i + k]) & 0x3Fu);
            }
            fuzz::check(!atomkit::must_escape_code_point(cp), "unescaped character that needs escaping",
                        quoted);
            back.append(body.substr(i, n));
            i += n;
        }
    }
    fuzz::check(back == token, "quoted form does not read back as the token", quoted);
}

std::string row_prefix(std::size_t row) { return "row " + std::to_string(row) + ": "; }

// The failure the parser must give for a bad token, with the quoted form checked on its own.
atomkit::ParseFailure bad_token(std::size_t row, std::string_view token, std::string_view kind,
                                std::string_view reason) {
    std::string quoted;
    atomkit::append_quoted_token(quoted, token);
    check_quoted(quoted, token);
    std::string message = row_prefix(row) + "cannot parse " + quoted + " as " + std::string(kind);
    if (!reason.empty()) message += ": " + std::string(reason);
    return {message, row};
}

// Walks the rows as the parser should, checking each stored value of `parsed` (when there
// is one) against the token function for the same token, and stops at the first bad row.
class Reference {
public:
    Reference(std::span<const std::uint8_t> codes, const atomkit::ParsedAtoms* parsed, bool check_strings)
        : codes_(codes), parsed_(parsed), check_strings_(check_strings) {
        for (std::uint8_t code : codes) {
            switch (code) {
                case 'f': ++counts_[0]; break;
                case 'i': ++counts_[1]; break;
                case 'b': ++counts_[2]; break;
                case 's': ++counts_[3]; break;
                default: break;
            }
        }
    }

    // False with the failure set when the row is bad.
    bool row(std::size_t r, std::string_view line) {
        const std::vector<std::string_view> tokens = tokens_of(line);
        std::size_t cursor[4] = {};
        for (std::size_t col = 0; col < codes_.size(); ++col) {
            if (col == tokens.size()) {
                failure = {row_prefix(r) + "expected " + std::to_string(codes_.size()) + " tokens, ran out", r};
                return false;
            }
            const std::string_view token = tokens[col];
            switch (codes_[col]) {
                case 'f': {
                    const auto value = atomkit::parse_float_token(token);
                    if (!value) return bad(bad_token(r, token, "float", atomkit::describe(value.error())));
                    if (parsed_ != nullptr) {
                        const double stored = parsed_->floats[r * counts_[0] + cursor[0]++];
                        fuzz::check(std::bit_cast<std::uint64_t>(stored) == std::bit_cast<std::uint64_t>(*value),
                                    "stored float differs from the token's value", token);
                    }
                    break;
                }
                case 'i': {
                    const auto value = atomkit::parse_int_token(token);
                    if (!value) return bad(bad_token(r, token, "int", atomkit::describe(value.error())));
                    if (parsed_ != nullptr) {
                        fuzz::check(parsed_->ints[r * counts_[1] + cursor[1]++] == *value,
                                    "stored int differs from the token's value", token);
                    }
                    break;
                }
                case 'b': {
                    const auto value = atomkit::parse_bool_token(token);
                    if (!value) return bad(bad_token(r, token, "bool", {}));
                    if (parsed_ != nullptr) {
                        fuzz::check(parsed_->bools[r * counts_[2] + cursor[2]++] == (*value ? 1 : 0),
                                    "stored bool differs from the token's value", token);
                    }
                    break;
                }
                case 's': {
                    if (check_strings_ && !fuzz::is_valid_utf8(token)) {
                        return bad(bad_token(r, token, "str", "invalid UTF-8"));
                    }
                    if (parsed_ != nullptr) {
                        const std::string_view stored = parsed_->strs[cursor[3]++][r];
                        fuzz::check(stored == token, "stored string differs from the token", stored);
                        fuzz::check(fuzz::is_valid_utf8(stored), "string token is not UTF-8", stored);
                        for (char c : stored) fuzz::check(!fuzz::is_separator(c), "separator inside a token", stored);
                    }
                    break;
                }
                default:
                    break;
            }
        }
        return true;
    }

    // The shape of a successful result.
    void check_shape(const atomkit::ParsedAtoms& parsed, std::size_t natoms) const {
        fuzz::check(parsed.natoms == natoms && parsed.n_float_cols == counts_[0] && parsed.n_int_cols == counts_[1] &&
                        parsed.n_bool_cols == counts_[2] && parsed.strs.size() == counts_[3],
                    "column counts differ");
        fuzz::check(parsed.floats.size() == natoms * counts_[0] && parsed.ints.size() == natoms * counts_[1] &&
                        parsed.bools.size() == natoms * counts_[2],
                    "buffer sizes differ");
        for (const atomkit::StringColumn& column : parsed.strs) {
            fuzz::check(column.size() == natoms, "string column size differs");
        }
    }

    atomkit::ParseFailure failure;

private:
    bool bad(atomkit::ParseFailure f) {
        failure = std::move(f);
        return false;
    }

    std::span<const std::uint8_t> codes_;
    const atomkit::ParsedAtoms* parsed_;
    bool check_strings_;
    std::size_t counts_[4] = {};
};

template <class Result>
void check_failure(const Result& result, const atomkit::ParseFailure& expected) {
    fuzz::check(!result.has_value(), "accepted rows that have a bad one", expected.message);
    fuzz::check(result.error().message == expected.message, "wrong message",
                expected.message + " | " + result.error().message);
    fuzz::check(result.error().row == expected.row, "wrong failing row", expected.message);
}

// Lines from a sequence of str: split at 0xFF (never part of UTF-8, so every separator
// stays in play), invalid UTF-8 replaced (lines of str are valid UTF-8).
void check_lines(std::span<const std::uint8_t> codes, std::string_view text, int mode) {
    std::vector<std::string> owned;
    if (!text.empty()) {
        std::size_t start = 0;
        while (true) {
            const std::size_t cut = text.find('\xFF', start);
            owned.push_back(fuzz::repair_utf8(text.substr(start, cut - start)));
            if (cut == std::string_view::npos) break;
            start = cut + 1;
        }
    }
    const std::vector<std::string_view> lines(owned.begin(), owned.end());

    std::expected<atomkit::ParsedAtoms, atomkit::ParseFailure> result;
    try {
        fuzz::RoundingScope scope(mode);
        result = atomkit::parse_atom_lines(lines, codes);
        fuzz::check(std::fegetround() == mode, "the caller's rounding mode was not kept");
    } catch (const std::exception& e) {
        fuzz::fail("parse_atom_lines threw", e.what());
    }
    Reference reference(codes, result ? &*result : nullptr, false);
    for (std::size_t r = 0; r < lines.size() && !codes.empty(); ++r) {
        if (!reference.row(r, lines[r])) return check_failure(result, reference.failure);
    }
    fuzz::check(result.has_value(), "refused good lines", result ? "" : result.error().message);
    reference.check_shape(*result, lines.size());
}

// Lines straight from bytes: any bytes, lines ending at '\n' (or the end of the data),
// natoms of them from `offset` on.
void check_block(std::span<const std::uint8_t> codes, std::string_view data, std::size_t offset,
                 std::size_t natoms, int mode) {
    std::expected<atomkit::ParsedBlock, atomkit::ParseFailure> result;
    try {
        fuzz::RoundingScope scope(mode);
        result = atomkit::parse_atom_block(data, offset, natoms, codes);
        fuzz::check(std::fegetround() == mode, "the caller's rounding mode was not kept");
    } catch (const std::exception& e) {
        fuzz::fail("parse_atom_block threw", e.what());
    }
    if (offset > data.size()) {
        return check_failure(result, {"offset " + std::to_string(offset) + " is outside the data (" +
                                          std::to_string(data.size()) + " bytes)",
                                      0});
    }
    Reference reference(codes, result ? &result->atoms : nullptr, true);
    std::size_t pos = offset;
    for (std::size_t r = 0; r < natoms; ++r) {
        if (pos == data.size()) {
            return check_failure(result, {row_prefix(r) + "expected " + std::to_string(natoms) +
                                              " lines, the data ends",
                                          r});
        }
        const std::size_t feed = data.find('\n', pos);
        const std::string_view line = data.substr(pos, feed == std::string_view::npos ? feed : feed - pos);
        pos = feed == std::string_view::npos ? data.size() : feed + 1;
        if (!reference.row(r, line)) return check_failure(result, reference.failure);
    }
    fuzz::check(result.has_value(), "refused a good block", result ? "" : result.error().message);
    fuzz::check(result->end == pos, "block end differs");
    reference.check_shape(result->atoms, natoms);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::uint8_t first = in.byte();
    const std::size_t ncodes = first % 32u;
    const int mode = fuzz::rounding_mode(first >> 5);
    std::vector<std::uint8_t> codes;
    for (std::size_t k = 0; k < ncodes && in.left() != 0; ++k) codes.push_back(in.byte());
    if ((first & 0x80) == 0) {
        check_lines(codes, in.rest(), mode);
        return 0;
    }
    // Block: a natoms byte (its high values stand for counts no data can hold), an offset
    // byte (0xFF: one past the data), then the data.
    const std::uint8_t natoms_byte = in.byte();
    const std::uint8_t offset_byte = in.byte();
    const std::string_view bytes = in.rest();
    static constexpr std::size_t huge_counts[] = {std::size_t{1} << 40, ~std::size_t{0}};
    const std::size_t natoms = natoms_byte < 0xFE ? natoms_byte % 24u : huge_counts[natoms_byte - 0xFEu];
    const std::size_t offset = offset_byte == 0xFF ? bytes.size() + 1 : std::min<std::size_t>(offset_byte % 8u, bytes.size());
    check_block(codes, bytes, offset, natoms, mode);
    return 0;
}
