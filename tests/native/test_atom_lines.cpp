// Native tests of the line parser over lines and over bytes (messages and rows, column codes,
// separators, stored values, block ends), of the quoted token form its messages use, and of
// the SIMD classifiers of 64-byte chunks against the portable one.
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"
#include "core/atom_lines/line_tokens.hpp"
#include "core/atom_lines/quoted_token.hpp"
#include "core/atom_lines/token_grammar.hpp"
#include "harness.hpp"

namespace {

std::expected<atomkit::ParsedAtoms, atomkit::ParseFailure> parse(std::string_view codes,
                                                      const std::vector<std::string>& lines) {
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    const std::vector<std::uint8_t> code_bytes(codes.begin(), codes.end());
    return atomkit::parse_atom_lines(views, code_bytes);
}

struct MessageCase {
    std::string codes;
    std::vector<std::string> lines;
    std::string message;  // starts "row N: " with N the failure's row
};

// The row a message names.
std::size_t row_of(std::string_view message) {
    std::size_t row = 0;
    for (std::size_t i = 4; i < message.size() && message[i] != ':'; ++i) {
        row = row * 10 + static_cast<std::size_t>(message[i] - '0');
    }
    return row;
}

void test_messages() {
    const std::vector<MessageCase> cases = {
        {"sf", {"H 1.0", "C 1,5"}, R"(row 1: cannot parse "1,5" as float: invalid float literal)"},
        {"sff", {"H 1.0 2.0", "C 1.0"}, "row 1: expected 3 tokens, ran out"},
        {"s", {"H", ""}, "row 1: expected 1 tokens, ran out"},
        {"s", {"H", " \t\r\f\n"}, "row 1: expected 1 tokens, ran out"},
        {"i", {"12x"}, R"(row 0: cannot parse "12x" as int: invalid digit found in string)"},
        {"i", {"9223372036854775808"},
         R"(row 0: cannot parse "9223372036854775808" as int: number too large to fit in target type)"},
        {"xi", {"a -9223372036854775809"},
         R"(row 0: cannot parse "-9223372036854775809" as int: number too small to fit in target type)"},
        {"b", {"yes"}, R"(row 0: cannot parse "yes" as bool)"},
        // The first bad token in line order wins, even before a later shortage.
        {"fff", {"1 x"}, R"(row 0: cannot parse "x" as float: invalid float literal)"},
        // A skip column still needs its token.
        {"sx", {"H"}, "row 0: expected 2 tokens, ran out"},
        // The vertical tab and U+00A0 are no separators: they stay inside their token.
        {"f", {"1\x0b" "2"}, R"(row 0: cannot parse "1\u{b}2" as float: invalid float literal)"},
        {"f", {"1\xc2\xa0" "2"}, R"(row 0: cannot parse "1\u{a0}2" as float: invalid float literal)"},
        {"f", {R"(a"b\c)"}, R"(row 0: cannot parse "a\"b\\c" as float: invalid float literal)"},
        {"b", {std::string("T\0", 2)}, R"(row 0: cannot parse "T\0" as bool)"},
        {"s s f", {"H 1 2 3 x"}, R"(row 0: cannot parse "x" as float: invalid float literal)"},
    };
    for (const MessageCase& c : cases) {
        const auto result = parse(c.codes, c.lines);
        if (harness::check(!result.has_value(), "lines refused", c.message)) {
            harness::check_equal(result.error().message, c.message, "message", c.message);
            harness::check(result.error().row == row_of(c.message), "failing row", c.message);
        }
    }
}

void test_values() {
    // Separators: space, tab, line feed, form feed, carriage return; extra tokens ignored.
    const auto result = parse(std::string_view("sfibx\0s", 7), {"H\t1.5\n-7\fT\rskip  skip2 Li extra", " He  -0  0 false a b c"});
    if (!harness::check(result.has_value(), "values parsed", "sfibx\\0s")) return;
    const atomkit::ParsedAtoms& atoms = *result;
    harness::check(atoms.natoms == 2 && atoms.n_float_cols == 1 && atoms.n_int_cols == 1 &&
                       atoms.n_bool_cols == 1 && atoms.strs.size() == 2,
                   "column counts", "sfibx\\0s");
    harness::check_equal(atoms.floats[0], 1.5, "float row 0", "1.5");
    harness::check_equal(std::bit_cast<std::uint64_t>(atoms.floats[1]), std::uint64_t{1} << 63, "float row 1", "-0");
    harness::check_equal(atoms.ints[0], std::int64_t{-7}, "int row 0", "-7");
    harness::check_equal(atoms.ints[1], std::int64_t{0}, "int row 1", "0");
    harness::check(atoms.bools[0] == 1 && atoms.bools[1] == 0, "bools", "T false");
    harness::check(atoms.strs[0][0] == "H" && atoms.strs[0][1] == "He", "first string column", "H He");
    harness::check(atoms.strs[1][0] == "Li" && atoms.strs[1][1] == "c", "second string column", "Li c");

    // Several columns of a type are stored row-major; non-ASCII text stays whole in a token.
    const auto rows = parse("fsf", {"1 \xc3\xa9\xc2\xa0x 2", "3 \xe4\xb8\x80 4"});
    if (harness::check(rows.has_value(), "two float columns parsed", "fsf")) {
        harness::check(rows->floats[0] == 1 && rows->floats[1] == 2 && rows->floats[2] == 3 &&
                           rows->floats[3] == 4,
                       "row-major floats", "fsf");
        harness::check(rows->strs[0][0] == "\xc3\xa9\xc2\xa0x" && rows->strs[0][1] == "\xe4\xb8\x80",
                       "U+00A0 inside a string token", "fsf");
    }
}

// Float tokens of atom lines take shortcuts for the shapes "%16.8f" writes; every token
// must still read exactly as the token grammar reads it, from lines and from bytes.
void test_float_shapes() {
    const std::vector<std::string> tokens = {
        "0.00000000", "-0.00000000", "1.50000000", "-2.25000000", "2.67500000", "12345678.12345678",
        "-1234567.12345678", "99999999.99999999", "90071992.54740993", "90071992.54740992",
        "0.12345678", "1.1234567", "1.123456789", "123456789.12345678", "+1.50000000", "1.5",
        "1.", ".5", "-.5", "1e5", "1.5e-3", "12345678901234567.89", "1234567890123456789.0",
        "12345678901234567890.5", "0.0000000000000000000001", "0.00000000000000000000001",
        "9007199254740993.0", "-9007199254740993.0", "0000000001.00000000", "1x.12345678",
        "1.1234567x", "-", "--1.00000000", "1.00000000e0", "nan", "-inf",
    };
    for (const std::string& token : tokens) {
        const auto want = atomkit::parse_float_token(token);
        const std::vector<std::uint8_t> codes = {'f'};
        const auto from_lines = parse("f", {token});
        const std::string data = "  " + token + "\n";
        const auto from_bytes = atomkit::parse_atom_block(data, 0, 1, codes);
        if (!want) {
            harness::check(!from_lines && !from_bytes, "refused like the grammar", token);
            continue;
        }
        if (harness::check(from_lines && from_bytes, "accepted like the grammar", token)) {
            const auto bits = std::bit_cast<std::uint64_t>(*want);
            harness::check_equal(std::bit_cast<std::uint64_t>(from_lines->floats[0]), bits, "value from lines", token);
            harness::check_equal(std::bit_cast<std::uint64_t>(from_bytes->atoms.floats[0]), bits, "value from bytes",
                                 token);
        }
    }
}

void test_empty_codes_read_no_line() {
    const auto result = parse("", {"anything", "", "1,5 x"});
    if (harness::check(result.has_value(), "empty col_types accepted", "")) {
        harness::check(result->natoms == 3 && result->floats.size() == 0 && result->strs.empty(),
                       "no columns, natoms kept", "");
    }
    const auto none = parse("sfib", {});
    harness::check(none.has_value() && none->natoms == 0 && none->strs.size() == 1 && none->strs[0].size() == 0,
                   "no lines", "sfib");
}

void test_quoted_tokens() {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"abc", R"("abc")"},
        {"", R"("")"},
        {R"(a"b)", R"("a\"b")"},
        {R"(a\b)", R"("a\\b")"},
        {std::string("\0", 1), R"("\0")"},
        {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
        {"\t\n", R"("\u{9}\u{a}")"},
        {"\xc3\xa9", "\"\xc3\xa9\""},                          // é is shown
        {"e\xcc\x81", R"("e\u{301}")"},                        // combining acute: grapheme extender
        {"\xc2\xa0", R"("\u{a0}")"},                           // no-break space (Zs)
        {"\xe3\x80\x80", R"("\u{3000}")"},                     // ideographic space (Zs)
        {"\xc2\xad", R"("\u{ad}")"},                           // soft hyphen (Cf)
        {"\xe2\x80\x8b", R"("\u{200b}")"},                     // zero width space (Cf)
        {"\xef\xbb\xbf", R"("\u{feff}")"},                     // byte order mark (Cf)
        {"\xe2\x80\xa8", R"("\u{2028}")"},                     // line separator (Zl)
        {"\xee\x80\x80", R"("\u{e000}")"},                     // private use (Co)
        {"\xcd\xb8", R"("\u{378}")"},                          // unassigned (Cn)
        {"\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},               // noncharacter (Cn)
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},          // emoji is shown
        {"\xe4\xb8\x80", "\"\xe4\xb8\x80\""},                  // CJK is shown
        {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "\"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd\""},  // skin tone modifier
    };
    for (const auto& [token, quoted] : cases) {
        std::string out = "prefix ";
        atomkit::append_quoted_token(out, token);
        harness::check_equal(out, "prefix " + quoted, "quoted form", token);
    }
    // Bytes that start no valid UTF-8 sequence (tokens read from bytes) are escaped one by one.
    const std::vector<std::pair<std::string, std::string>> bytes = {
        {"\xff", R"("\x{ff}")"},
        {"a\xc3", R"("a\x{c3}")"},                          // truncated sequence
        {"\xc0\x80", R"("\x{c0}\x{80}")"},                  // overlong NUL
        {"\xed\xa0\x80", R"("\x{ed}\x{a0}\x{80}")"},        // surrogate
        {"\xf4\x90\x80\x80", R"("\x{f4}\x{90}\x{80}\x{80}")"},  // past U+10FFFF
        {"\xe2\x28\xa1", R"("\x{e2}(\x{a1}")"},
        {"\x80\xc3\xa9", "\"\\x{80}\xc3\xa9\""},             // stray continuation, then é
    };
    for (const auto& [token, quoted] : bytes) {
        std::string out;
        atomkit::append_quoted_token(out, token);
        harness::check_equal(out, quoted, "quoted form of bytes", token);
    }
}

// Lines straight from bytes: "\n" or "\r\n" ends a line, the last may end the data, and the
// block's end is just past the last line read.
struct BlockCase {
    const char* label;
    std::string codes;
    std::string data;
    std::size_t offset;
    std::size_t natoms;
    std::string message;  // empty: parsed, ending at `end`
    std::size_t end = 0;
};

void test_blocks() {
    const std::string long_line = "H" + std::string(70, ' ') + "1.5" + std::string(60, '\t') + "\n";
    const std::vector<BlockCase> cases = {
        {"CRLF lines", "sf", "H 1.0\r\nC 2.0\r\nrest", 0, 2, "", 14},
        {"last line ends the data", "sf", "H 1.0\nC 2.0", 0, 2, "", 11},
        {"an offset skips bytes", "sf", "junk\nH 1.0\n", 5, 1, "", 11},
        {"lines longer than 64 bytes", "sf", long_line + long_line, 0, 2, "", 2 * long_line.size()},
        {"no codes still count lines", "", "a\n\nb\n", 0, 3, "", 5},
        {"no atoms read nothing", "sf", "H x\n", 0, 0, "", 0},
        {"data ends", "sf", "H 1.0\nC 2.0\n", 0, 3, "row 2: expected 3 lines, the data ends"},
        {"data ends without codes", "", "a\n", 0, 2, "row 1: expected 2 lines, the data ends"},
        {"empty data", "s", "", 0, 1, "row 0: expected 1 lines, the data ends"},
        {"more atoms than bytes", "s", "H\n", 0, std::size_t{1} << 40,
         "row 1: expected 1099511627776 lines, the data ends"},
        {"an empty line runs out", "sf", "H 1.0\n\n", 0, 2, "row 1: expected 2 tokens, ran out"},
        {"a line feed ends the tokens", "sff", "H 1.0\n2.0\n", 0, 2, "row 0: expected 3 tokens, ran out"},
        {"offset past the data", "s", "H\n", 3, 1, "offset 3 is outside the data (2 bytes)"},
        {"string token of bad UTF-8", "sf", "H 1.0\n\xc3( 2.0\n", 0, 2,
         R"(row 1: cannot parse "\x{c3}(" as str: invalid UTF-8)"},
        {"float token of bad UTF-8", "f", "1\xff\n", 0, 1,
         R"(row 0: cannot parse "1\x{ff}" as float: invalid float literal)"},
    };
    for (const BlockCase& c : cases) {
        const std::vector<std::uint8_t> codes(c.codes.begin(), c.codes.end());
        const auto result = atomkit::parse_atom_block(c.data, c.offset, c.natoms, codes);
        if (c.message.empty()) {
            if (harness::check(result.has_value(), "block parsed", c.label)) {
                harness::check(result->end == c.end, "block end", c.label);
                harness::check(result->atoms.natoms == c.natoms, "block natoms", c.label);
            }
        } else if (harness::check(!result.has_value(), "block refused", c.label)) {
            harness::check_equal(result.error().message, c.message, "block message", c.label);
            harness::check(result.error().row == (c.message.starts_with("row ") ? row_of(c.message) : 0),
                           "block failing row", c.label);
        }
    }
    // Values come out as from lines, the last line's "\r" being a separator.
    const std::vector<std::uint8_t> codes = {'s', 'f', 'i'};
    const auto parsed = atomkit::parse_atom_block("He 2.5 -3\r\nLi 1e-3 7\r\n", 0, 2, codes);
    if (harness::check(parsed.has_value(), "block values parsed", "sfi")) {
        const atomkit::ParsedAtoms& atoms = parsed->atoms;
        harness::check(atoms.strs[0][0] == "He" && atoms.strs[0][1] == "Li" && atoms.floats[0] == 2.5 &&
                           atoms.floats[1] == 1e-3 && atoms.ints[0] == -3 && atoms.ints[1] == 7,
                       "block values", "sfi");
    }
}

}  // namespace

// Every byte value at every place of a chunk of others, classified by each classifier this
// CPU can run (one chunk, and the chunk among others of a run) as the portable one classifies it.
void test_chunk_classifiers() {
#if defined(ATOMKIT_CHUNK_AVX512)
    __builtin_cpu_init();
    std::vector<atomkit::ChunkClassifiers> classifiers = {
        {&atomkit::classify_chunk_portable, &atomkit::classify_chunks_portable}};
    if (__builtin_cpu_supports("avx2")) {
        classifiers.push_back({&atomkit::classify_chunk_avx2, &atomkit::classify_chunks_avx2});
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
        classifiers.push_back({&atomkit::classify_chunk_avx512, &atomkit::classify_chunks_avx512});
    }
    char run[3 * atomkit::chunk_bytes];
    char* const chunk = run + atomkit::chunk_bytes;
    for (unsigned value = 0; value < 256; ++value) {
        for (std::size_t at = 0; at < atomkit::chunk_bytes; ++at) {
            for (std::size_t k = 0; k < sizeof run; ++k) run[k] = static_cast<char>((k * 37 + value) % 256);
            chunk[at] = static_cast<char>(value);
            const atomkit::ChunkMasks want = atomkit::classify_chunk_portable(chunk);
            for (const atomkit::ChunkClassifiers& classify : classifiers) {
                const atomkit::ChunkMasks got = classify.one(chunk);
                atomkit::ChunkMasks in_run[3];
                classify.run(run, 3, in_run);
                harness::check(got.separators == want.separators && got.newlines == want.newlines &&
                                   in_run[1].separators == want.separators && in_run[1].newlines == want.newlines,
                               "masks", std::to_string(value));
            }
        }
    }
#endif
}

int main() {
    test_chunk_classifiers();
    test_messages();
    test_values();
    test_float_shapes();
    test_empty_codes_read_no_line();
    test_quoted_tokens();
    test_blocks();
    return harness::finish();
}
