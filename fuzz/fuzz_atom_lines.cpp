// libFuzzer target of parse_atom_lines: the outcome (columns or the exact "row ..." message)
// against a tokeniser of its own that asks the token functions about each token.
//
// Input: byte 0 = number of column codes n (mod 32) and, in bits 5-6, the rounding mode of
// the caller (values must not depend on it, and it must be kept), the next n bytes = the codes as they
// are (so skip codes of every byte value occur), the rest = the lines, split at byte 0xFF.
// Lines come from Python str, so they are valid UTF-8: bytes that start no valid sequence
// are replaced by U+FFFD here (rather than the input skipped), which keeps every input
// useful. 0xFF never occurs in UTF-8, so splitting at it leaves every separator in play.
#include <bit>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "lib/internal_failure.hpp"
#include "reader/atom_lines.hpp"
#include "reader/quoted_token.hpp"
#include "reader/token_grammar.hpp"
#include "reader/unicode_tables.hpp"

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

// Reads the quoted form back and checks that it escapes exactly what it must: the result
// has to be the token itself.
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
            if (kind == '\\' || kind == '"') {
                back += kind;
                i += 2;
            } else if (kind == '0') {
                back += '\0';
                i += 2;
            } else {
                fuzz::check(kind == 'u' && i + 2 < body.size() && body[i + 2] == '{',
                            "unknown escape", quoted);
                std::size_t j = i + 3;
                std::uint32_t cp = 0;
                while (j < body.size() && is_hex_digit(body[j]) && j - i - 3 < 6) {
                    const char h = body[j++];
                    cp = cp * 16 + static_cast<std::uint32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
                }
                fuzz::check(j > i + 3 && j < body.size() && body[j] == '}' && body[i + 3] != '0',
                            "malformed \\u{} escape", quoted);
                fuzz::check(cp != 0 && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF),
                            "\\u{} escape of no scalar value", quoted);
                fuzz::check(cp < 0x20 || cp == 0x7F || (cp >= 0x80 && atomkit::must_escape_code_point(cp)),
                            "escaped a character that is shown as it is", quoted);
                fuzz::append_utf8(back, cp);
                i = j + 1;
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

// The message the parser must give for a bad token, with the quoted form checked on its own.
std::string bad_token(std::size_t row, std::string_view token, std::string_view kind,
                      std::string_view reason) {
    std::string quoted;
    atomkit::append_quoted_token(quoted, token);
    check_quoted(quoted, token);
    std::string message = row_prefix(row) + "cannot parse " + quoted + " as " + std::string(kind);
    if (!reason.empty()) message += ": " + std::string(reason);
    return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::uint8_t first = in.byte();
    const std::size_t ncodes = first % 32u;
    const int mode = fuzz::rounding_mode(first >> 5);
    std::vector<std::uint8_t> codes;
    for (std::size_t k = 0; k < ncodes && in.left() != 0; ++k) codes.push_back(in.byte());

    std::vector<std::string> owned;
    const std::string_view text = in.rest();
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

    std::expected<atomkit::ParsedAtoms, std::string> result;
    try {
        fuzz::RoundingScope scope(mode);
        result = atomkit::parse_atom_lines(lines, codes);
        fuzz::check(std::fegetround() == mode, "the caller's rounding mode was not kept");
    } catch (const std::exception& e) {
        fuzz::fail("parse_atom_lines threw", e.what());
    }

    std::size_t counts[4] = {};  // f, i, b, s
    for (std::uint8_t code : codes) {
        switch (code) {
            case 'f': ++counts[0]; break;
            case 'i': ++counts[1]; break;
            case 'b': ++counts[2]; break;
            case 's': ++counts[3]; break;
            default: break;
        }
    }

    // Walk the rows as the parser should and stop at the first bad row with its message;
    // otherwise check each stored value against the token function for the same token.
    std::string expected_error;
    for (std::size_t row = 0; row < lines.size() && !codes.empty() && expected_error.empty(); ++row) {
        const std::vector<std::string_view> tokens = tokens_of(lines[row]);
        std::size_t cursor[4] = {};
        for (std::size_t col = 0; col < codes.size(); ++col) {
            if (col == tokens.size()) {
                expected_error = row_prefix(row) + "expected " + std::to_string(codes.size()) +
                                 " tokens, ran out";
                break;
            }
            const std::string_view token = tokens[col];
            const std::uint8_t code = codes[col];
            if (code == 'f') {
                const auto value = atomkit::parse_float_token(token);
                if (!value) {
                    expected_error = bad_token(row, token, "float", atomkit::describe(value.error()));
                    break;
                }
                if (result) {
                    const double stored = result->floats[row * counts[0] + cursor[0]++];
                    fuzz::check(std::bit_cast<std::uint64_t>(stored) == std::bit_cast<std::uint64_t>(*value),
                                "stored float differs from the token's value", token);
                }
            } else if (code == 'i') {
                const auto value = atomkit::parse_int_token(token);
                if (!value) {
                    expected_error = bad_token(row, token, "int", atomkit::describe(value.error()));
                    break;
                }
                if (result) {
                    fuzz::check(result->ints[row * counts[1] + cursor[1]++] == *value,
                                "stored int differs from the token's value", token);
                }
            } else if (code == 'b') {
                const auto value = atomkit::parse_bool_token(token);
                if (!value) {
                    expected_error = bad_token(row, token, "bool", {});
                    break;
                }
                if (result) {
                    fuzz::check(result->bools[row * counts[2] + cursor[2]++] == (*value ? 1 : 0),
                                "stored bool differs from the token's value", token);
                }
            } else if (code == 's' && result) {
                const std::string_view stored = result->strs[cursor[3]++][row];
                fuzz::check(stored == token, "stored string differs from the token", stored);
                fuzz::check(fuzz::is_valid_utf8(stored), "string token is not UTF-8", stored);
                for (char c : stored) fuzz::check(!fuzz::is_separator(c), "separator inside a token", stored);
            }
        }
    }

    if (!expected_error.empty()) {
        fuzz::check(!result.has_value(), "accepted lines that have a bad row", expected_error);
        fuzz::check(result.error() == expected_error, "wrong message",
                    expected_error + " | " + result.error());
        return 0;
    }
    fuzz::check(result.has_value(), "refused good lines", result ? "" : result.error());
    const atomkit::ParsedAtoms& parsed = *result;
    fuzz::check(parsed.natoms == lines.size() && parsed.n_float_cols == counts[0] &&
                    parsed.n_int_cols == counts[1] && parsed.n_bool_cols == counts[2] &&
                    parsed.strs.size() == counts[3],
                "column counts differ");
    fuzz::check(parsed.floats.size() == lines.size() * counts[0] &&
                    parsed.ints.size() == lines.size() * counts[1] &&
                    parsed.bools.size() == lines.size() * counts[2],
                "buffer sizes differ");
    for (const atomkit::StringColumn& column : parsed.strs) {
        fuzz::check(column.size() == (codes.empty() ? 0 : lines.size()), "string column size differs");
    }
    return 0;
}
