// Native tests of the block builder: line assembly from the codes, symbol decoding and
// padding, every stride layout, the ASCII flag, and the internal failures.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/atom_block/atom_block.hpp"
#include "core/common/internal_failure.hpp"
#include "harness.hpp"

namespace {

using Symbols = std::vector<std::vector<std::uint32_t>>;

// How a matrix lies in memory; every layout must give the lines of the C-order one.
enum class Layout { c_order, fortran, rows_reversed, cols_reversed, stepped, unaligned, broadcast_row };
constexpr Layout all_layouts[] = {Layout::c_order, Layout::fortran, Layout::rows_reversed,
                                  Layout::cols_reversed, Layout::stepped, Layout::unaligned,
                                  Layout::broadcast_row};
const char* name(Layout layout) {
    static const char* const names[] = {"C", "F", "rows reversed", "cols reversed", "stepped",
                                        "unaligned", "broadcast row"};
    return names[static_cast<int>(layout)];
}

// A matrix's own memory and a view of it in one layout. A broadcast view repeats row 0.
template <class T>
class Matrix {
public:
    Matrix(const std::vector<std::vector<T>>& rows, std::size_t cols, Layout layout = Layout::c_order)
        : rows_(rows.size()), cols_(cols) {
        const auto e = static_cast<std::ptrdiff_t>(sizeof(T));
        const auto r = static_cast<std::ptrdiff_t>(rows_);
        const auto c = static_cast<std::ptrdiff_t>(cols_);
        std::ptrdiff_t offset = 0;
        switch (layout) {
            case Layout::c_order: row_stride_ = c * e; col_stride_ = e; break;
            case Layout::fortran: row_stride_ = e; col_stride_ = r * e; break;
            case Layout::rows_reversed: row_stride_ = -c * e; col_stride_ = e; offset = (r - 1) * c * e; break;
            case Layout::cols_reversed: row_stride_ = c * e; col_stride_ = -e; offset = (c - 1) * e; break;
            case Layout::stepped: row_stride_ = 2 * c * e; col_stride_ = 2 * e; break;
            case Layout::unaligned: row_stride_ = c * e; col_stride_ = e; offset = 1; break;
            case Layout::broadcast_row: row_stride_ = 0; col_stride_ = e; break;
        }
        bytes_.assign(static_cast<std::size_t>(std::max<std::ptrdiff_t>(2 * r * c * e, 0) + 1), std::byte{0xEE});
        origin_ = offset;
        for (std::size_t i = 0; i < rows_; ++i) {
            for (std::size_t j = 0; j < cols_; ++j) {
                const T value = layout == Layout::broadcast_row ? rows[0][j] : rows[i][j];
                std::memcpy(bytes_.data() + origin_ + static_cast<std::ptrdiff_t>(i) * row_stride_ +
                                static_cast<std::ptrdiff_t>(j) * col_stride_,
                            &value, sizeof(T));
            }
        }
    }
    explicit Matrix(std::size_t rows = 1) : rows_(rows), cols_(0) {}

    atomkit::MatrixView<T> view() const {
        return {bytes_.data() + origin_, rows_, cols_, row_stride_, col_stride_};
    }

private:
    std::vector<std::byte> bytes_;
    std::ptrdiff_t origin_ = 0;
    std::size_t rows_;
    std::size_t cols_;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
};

Symbols symbols_of(const std::vector<std::string>& names, std::size_t width) {
    Symbols rows;
    for (const std::string& text : names) {
        std::vector<std::uint32_t> row(width, 0);
        for (std::size_t j = 0; j < text.size() && j < width; ++j) row[j] = static_cast<unsigned char>(text[j]);
        rows.push_back(row);
    }
    return rows;
}

struct Block {
    Symbols symbols;
    std::size_t symbol_cols = 0;
    std::uint64_t width = 0;
    std::vector<std::vector<double>> floats;
    std::size_t float_cols = 0;
    std::vector<std::vector<std::int64_t>> ints;
    std::size_t int_cols = 0;
    std::vector<std::vector<std::uint8_t>> bools;
    std::size_t bool_cols = 0;
    std::string codes;
};

// The block's text, or "!" + the internal failure's message, or "!bad_alloc".
std::string build(const Block& b, Layout layout = Layout::c_order, bool* ascii = nullptr) {
    const Matrix<std::uint32_t> symbols(b.symbols, b.symbol_cols, layout);
    const Matrix<double> floats = b.floats.empty() ? Matrix<double>(b.symbols.size())
                                                   : Matrix<double>(b.floats, b.float_cols, layout);
    const Matrix<std::int64_t> ints = b.ints.empty() ? Matrix<std::int64_t>(b.symbols.size())
                                                     : Matrix<std::int64_t>(b.ints, b.int_cols, layout);
    const Matrix<std::uint8_t> bools = b.bools.empty() ? Matrix<std::uint8_t>(b.symbols.size())
                                                       : Matrix<std::uint8_t>(b.bools, b.bool_cols, layout);
    atomkit::AtomBlockInput input;
    input.symbols = symbols.view();
    input.sym_width = b.width;
    input.floats = floats.view();
    input.ints = ints.view();
    input.bools = bools.view();
    input.col_types = {reinterpret_cast<const std::uint8_t*>(b.codes.data()), b.codes.size()};
    try {
        atomkit::StringSink sink;
        const atomkit::BlockText written = atomkit::build_atom_block(input, sink);
        if (ascii != nullptr) *ascii = written.ascii;
        return std::move(sink).take(written.length);
    } catch (const atomkit::InternalFailure& e) {
        return "!" + e.message();
    } catch (const std::bad_alloc&) {
        return "!bad_alloc";
    }
}

std::string fld(const char* text16) { return std::string(" ") + text16; }

struct BlockCase {
    const char* label;
    Block block;
    std::string text;
};

std::vector<BlockCase> block_cases() {
    const std::vector<std::vector<double>> f3 = {{0.0, 1.5, -2.25}};
    const std::string f0 = fld("      0.00000000");
    const std::string f15 = fld("      1.50000000");
    const std::string fm225 = fld("     -2.25000000");
    return {
        {"symbol then floats", {symbols_of({"H"}, 1), 1, 2, f3, 3, {}, 0, {}, 0, "sfff"}, "H " + f0 + f15 + fm225 + "\n"},
        {"two symbols", {symbols_of({"H"}, 1), 1, 2, f3, 3, {}, 0, {}, 0, "ss"}, "H H \n"},
        {"skip codes write nothing", {symbols_of({"H"}, 1), 1, 2, f3, 3, {}, 0, {}, 0, std::string("xsx\0f\xff", 6)},
         "H " + f0 + "\n"},
        {"floats only", {symbols_of({"H"}, 1), 1, 2, f3, 3, {}, 0, {}, 0, "ff"}, f0 + f15 + "\n"},
        {"symbol longer than width", {symbols_of({"Fe"}, 2), 2, 1, {}, 0, {{7}}, 1, {}, 0, "si"}, "Fe        7\n"},
        {"bools: any non-zero byte is T", {symbols_of({"H"}, 1), 1, 0, {}, 0, {}, 0, {{0, 1, 2, 255}}, 4, "bbbb"},
         "  F  T  T  T\n"},
        {"codes in any order", {symbols_of({"O"}, 1), 1, 3, f3, 3, {{-1, 2}}, 2, {{1}}, 1, "fibsif"},
         f0 + "       -1" + "  T" + "O  " + "        2" + f15 + "\n"},
        {"no codes: one empty line per atom", {symbols_of({"H", "He", "Li"}, 2), 2, 2, {}, 0, {}, 0, {}, 0, ""}, "\n\n\n"},
        {"symbol ends at its first 0", {{{72, 0, 101}}, 3, 2, {}, 0, {}, 0, {}, 0, "s"}, "H \n"},
        {"surrogates are dropped", {{{0xD800, 72, 0xDFFF}}, 3, 2, {}, 0, {}, 0, {}, 0, "s"}, "H \n"},
        {"past U+10FFFF dropped", {{{0x110000, 0xFFFFFFFF}}, 2, 2, {}, 0, {}, 0, {}, 0, "s"}, "  \n"},
        {"width counts code points", {{{0xE9}}, 1, 3, {}, 0, {}, 0, {}, 0, "s"}, "\xc3\xa9  \n"},
        {"each UTF-8 length", {{{0x1F600, 0x4E00, 0x7F}}, 3, 4, {}, 0, {}, 0, {}, 0, "s"},
         "\xf0\x9f\x98\x80\xe4\xb8\x80\x7f \n"},
        {"UTF-8 length edges", {{{0x10FFFF, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000}}, 6, 0, {}, 0, {}, 0, {}, 0, "s"},
         "\xf4\x8f\xbf\xbf\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\n"},
        {"no symbol columns", {{{}, {}}, 0, 1, {}, 0, {}, 0, {}, 0, "ss"}, "  \n  \n"},
        // Empty one- and two-column symbols: padding only (the short-symbol fast path once
        // wrote the terminating 0 over its first space).
        {"empty short symbol pads with spaces", {{{0, 'L'}}, 2, 2, {}, 0, {}, 0, {}, 0, "s"}, "  \n"},
        {"empty one-column symbol", {{{0}, {'H'}}, 1, 1, {{1.5}, {1.5}}, 1, {}, 0, {}, 0, "sf"},
         "  " + f15.substr(1) + "\nH" + f15 + "\n"},
        {"no atoms: nothing, whatever the width", {{}, 3, std::uint64_t{1} << 63, {}, 0, {}, 0, {}, 0, "sfib"}, ""},
        {"width 70000 unused", {symbols_of({"H"}, 1), 1, 70000, {}, 0, {}, 0, {}, 0, "x"}, "\n"},
        {"width 65535 used", {symbols_of({"H"}, 1), 1, 65535, {}, 0, {}, 0, {}, 0, "s"}, "H" + std::string(65534, ' ') + "\n"},
        {"nominal reservation wraps to 0", {symbols_of({"H"}, 1), 1, ~std::uint64_t{0} - 1, {}, 0, {}, 0, {}, 0, ""}, "\n"},
        {"unused huge width costs nothing", {symbols_of({"H"}, 1), 1, std::uint64_t{1} << 62, {}, 0, {}, 0, {}, 0, ""}, "\n"},
        {"wide rows (over 256 code points)", {{std::vector<std::uint32_t>(300, 'A'), std::vector<std::uint32_t>(300, 0x4E00)},
                                               300, 1, {{1.5}, {1.5}}, 1, {}, 0, {}, 0, "sf"},
         std::string(300, 'A') + f15 + "\n" + [] {
             std::string s;
             for (int k = 0; k < 300; ++k) s += "\xe4\xb8\x80";
             return s;
         }() + f15 + "\n"},
        // Internal failures: the first failing code of the first failing line decides.
        {"float row beyond the matrix", {symbols_of({"H", "C"}, 1), 1, 2, f3, 3, {}, 0, {}, 0, "f"},
         "!ndarray: index out of bounds"},
        {"float column beyond the matrix", {symbols_of({"H"}, 1), 1, 2, f3, 3, {}, 0, {}, 0, "ffff"},
         "!ndarray: index out of bounds"},
        {"int column beyond the matrix", {symbols_of({"H"}, 1), 1, 2, {}, 0, {{0}}, 1, {}, 0, "ii"},
         "!ndarray: index out of bounds"},
        {"bool matrix of no columns", {symbols_of({"H"}, 1), 1, 2, {}, 0, {}, 0, {}, 0, "sb"}, "!ndarray: index out of bounds"},
        {"width past 65535 with a symbol", {symbols_of({"H"}, 1), 1, 70000, {}, 0, {}, 0, {}, 0, "s"},
         "!Formatting argument out of range"},
        {"out of bounds before the width", {symbols_of({"H"}, 1), 1, 70000, {}, 0, {}, 0, {}, 0, "fs"},
         "!ndarray: index out of bounds"},
        {"nominal reservation reaches 2^63", {symbols_of({"H"}, 1), 1, std::uint64_t{1} << 63, {}, 0, {}, 0, {}, 0, ""},
         "!capacity overflow"},
        {"product reaches 2^63", {symbols_of({"H", "C"}, 1), 1, std::uint64_t{1} << 62, {}, 0, {}, 0, {}, 0, "s"},
         "!capacity overflow"},
    };
}

void test_blocks() {
    for (const BlockCase& c : block_cases()) {
        harness::check_equal(build(c.block), c.text, "block", c.label);
    }
}

// The same block from every memory layout reads like its C-order copy.
void test_layouts() {
    Block b;
    b.symbols = symbols_of({"H", "He", "Li", "Be", "Na"}, 3);
    b.symbols[2][1] = 0x1F600;
    b.symbol_cols = 3;
    b.width = 3;
    for (int i = 0; i < 5; ++i) {
        std::vector<double> f;
        std::vector<std::int64_t> n;
        std::vector<std::uint8_t> t;
        for (int j = 0; j < 6; ++j) {
            const double x = (i * 6 + j - 4.5) * 1.25;
            f.push_back(x);
            n.push_back(static_cast<std::int64_t>(x * 8));
            t.push_back(x > 0 ? 1 : 0);
        }
        b.floats.push_back(f);
        b.ints.push_back(n);
        b.bools.push_back(t);
    }
    b.float_cols = b.int_cols = b.bool_cols = 6;
    b.codes = "s" + std::string(6, 'f') + std::string(6, 'i') + std::string(6, 'b') + "s";
    const std::string expected = build(b);
    harness::check(expected.find("\nHe ") != std::string::npos, "symbols read at all", "C");
    for (const Layout layout : all_layouts) {
        if (layout == Layout::broadcast_row) continue;
        harness::check_equal(build(b, layout), expected, "layout reads like C order", name(layout));
    }
    // A broadcast view repeats its first row on every line.
    const std::string first_line = expected.substr(0, expected.find('\n') + 1);
    std::string repeated;
    for (int i = 0; i < 5; ++i) repeated += first_line;
    harness::check_equal(build(b, Layout::broadcast_row), repeated, "broadcast row", name(Layout::broadcast_row));
}

void test_ascii_flag() {
    const std::vector<std::pair<Symbols, bool>> cases = {
        {{{72, 101}}, true},
        {{{0xD800, 0x110000, 72}}, true},  // dropped code points write nothing
        {{{72, 0, 0xE9}}, true},           // after the terminating 0
        {{{0xE9}}, false},
    };
    for (const auto& [symbols, ascii] : cases) {
        Block b;
        b.symbols = symbols;
        b.symbol_cols = symbols[0].size();
        b.width = 2;
        b.codes = "s";
        bool flag = !ascii;
        const std::string text = build(b, Layout::c_order, &flag);
        harness::check(flag == ascii, "ASCII flag", text);
    }
    // Symbols that no code writes do not make the text non-ASCII.
    Block unused;
    unused.symbols = {{0xE9}};
    unused.symbol_cols = 1;
    unused.codes = "x";
    bool flag = false;
    build(unused, Layout::c_order, &flag);
    harness::check(flag, "ASCII flag with unwritten symbols", "x");
}

}  // namespace

int main() {
    test_blocks();
    test_layouts();
    test_ascii_flag();
    return harness::finish();
}
