// libFuzzer target of build_atom_block: random shapes, strides and column codes over
// buffers of exactly the viewed size, against a line-by-line reference written here.
//
// Input: a header (natoms, symbol columns, sym_width choice, codes, then per matrix its
// shape and layout byte, plus two stride bytes for the free layout), then the bytes that
// fill the matrices, used cyclically.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/atom_block/atom_block.hpp"
#include "core/common/internal_failure.hpp"
#include "fuzz_support.hpp"

namespace {

// Widths beyond the small ones: the limit of the 's' field, and nominal reservations that
// reach or wrap past 2^63 depending on natoms.
constexpr std::uint64_t special_widths[] = {
    65535, 65536, 70000, std::uint64_t{1} << 62, std::uint64_t{1} << 63,
    (std::uint64_t{1} << 63) + 1, ~std::uint64_t{0} - 1, ~std::uint64_t{0},
    (std::uint64_t{1} << 62) + (std::uint64_t{1} << 61),
};

// Code points worth meeting often: the ends of each UTF-8 length, surrogates, values past
// U+10FFFF, and a few ordinary ones.
constexpr std::uint32_t special_code_points[] = {
    0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF, 0xD800, 0xDFFF, 0x110000, 0xFFFFFFFF,
    0xE9, 0xA0, 0x300, 0x4E00, 0x1F600, 0xFEFF,
};

// Storage of one matrix: exactly the bytes its view can address, so AddressSanitizer
// reports any read outside them.
struct Matrix {
    std::unique_ptr<std::byte[]> storage;
    const std::byte* origin = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    template <class T>
    T at(std::size_t i, std::size_t j) const {
        T value;
        std::memcpy(&value, origin + static_cast<std::ptrdiff_t>(i) * row_stride +
                                static_cast<std::ptrdiff_t>(j) * col_stride,
                    sizeof(T));
        return value;
    }
    template <class T>
    atomkit::MatrixView<T> view() const {
        return {origin, rows, cols, row_stride, col_stride};
    }
};

// The fill bytes, repeated as long as needed.
class Filler {
public:
    explicit Filler(std::string_view bytes) : bytes_(bytes) {}
    std::uint8_t next() {
        if (bytes_.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(bytes_[pos_]);
        pos_ = (pos_ + 1) % bytes_.size();
        return b;
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// Strides for a layout: C order, Fortran order, reversed rows or columns, broadcast rows,
// stepped, unaligned C order, or any small byte strides.
void choose_strides(Matrix& m, std::size_t elem, std::uint8_t layout, fuzz::Bytes& in) {
    const auto e = static_cast<std::ptrdiff_t>(elem);
    const auto rows = static_cast<std::ptrdiff_t>(m.rows);
    const auto cols = static_cast<std::ptrdiff_t>(m.cols);
    switch (layout % 8) {
        case 0: m.row_stride = cols * e; m.col_stride = e; break;
        case 1: m.row_stride = e; m.col_stride = rows * e; break;
        case 2: m.row_stride = -cols * e; m.col_stride = e; break;
        case 3: m.row_stride = cols * e; m.col_stride = -e; break;
        case 4: m.row_stride = 0; m.col_stride = e; break;
        case 5: m.row_stride = 3 * cols * e; m.col_stride = 2 * e; break;
        case 6: m.row_stride = cols * e + 1; m.col_stride = e + 1; break;
        default:
            m.row_stride = static_cast<std::int8_t>(in.byte());
            m.col_stride = static_cast<std::int8_t>(in.byte());
            break;
    }
}

// A matrix's shape and strides; its storage comes later, from the fill bytes.
template <class T>
Matrix shape_matrix(std::size_t rows, std::size_t cols, std::uint8_t layout, fuzz::Bytes& in) {
    Matrix m;
    m.rows = rows;
    m.cols = cols;
    choose_strides(m, sizeof(T), layout, in);
    return m;
}

// Allocates the addressed span and fills it element by element with `next_element()`.
template <class T, class Next>
void fill_matrix(Matrix& m, Next next_element) {
    if (m.rows == 0 || m.cols == 0) return;
    const std::ptrdiff_t last_row = static_cast<std::ptrdiff_t>(m.rows - 1) * m.row_stride;
    const std::ptrdiff_t last_col = static_cast<std::ptrdiff_t>(m.cols - 1) * m.col_stride;
    const std::ptrdiff_t low = std::min<std::ptrdiff_t>(0, last_row) + std::min<std::ptrdiff_t>(0, last_col);
    const std::ptrdiff_t high = std::max<std::ptrdiff_t>(0, last_row) + std::max<std::ptrdiff_t>(0, last_col) +
                                static_cast<std::ptrdiff_t>(sizeof(T));
    const auto span = static_cast<std::size_t>(high - low);
    m.storage = std::make_unique<std::byte[]>(span);
    for (std::size_t k = 0; k + sizeof(T) <= span; k += sizeof(T)) {
        const T value = next_element();
        std::memcpy(m.storage.get() + k, &value, sizeof(T));
    }
    m.origin = m.storage.get() - low;
}

bool is_scalar_value(std::uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

struct Expected {
    std::string text;
    std::string failure;  // the internal failure's message, when one is due
};

struct Inputs {
    Matrix symbols, floats, ints, bools;
    std::uint64_t sym_width = 0;
    std::vector<std::uint8_t> codes;
};

// What the block must be: the nominal reservation's check first, then line by line, code
// by code. Memory follows the text, so no block of this target may run out of it.
Expected reference(const Inputs& in) {
    Expected out;
    const std::size_t natoms = in.symbols.rows;
    if (natoms == 0) return out;
    const std::uint64_t per_line = in.sym_width + 17 * std::uint64_t{in.floats.cols} +
                                   9 * std::uint64_t{in.ints.cols} + 3 * std::uint64_t{in.bools.cols} + 2;
    const std::uint64_t reservation = natoms * per_line;  // wraps, like the estimate it mirrors
    if ((reservation >> 63) != 0) {
        out.failure = "capacity overflow";
        return out;
    }

    for (std::size_t i = 0; i < natoms; ++i) {
        std::size_t next[3] = {};  // float, int, bool column cursors
        for (const std::uint8_t code : in.codes) {
            const Matrix* numeric = code == 'f' ? &in.floats : code == 'i' ? &in.ints
                                  : code == 'b' ? &in.bools : nullptr;
            if (numeric != nullptr) {
                std::size_t& column = next[code == 'f' ? 0 : code == 'i' ? 1 : 2];
                if (i >= numeric->rows || column >= numeric->cols) {
                    out.failure = "ndarray: index out of bounds";
                    return out;
                }
                if (code == 'f') {
                    out.text += ' ' + fuzz::float_field_reference(numeric->at<double>(i, column));
                } else if (code == 'i') {
                    out.text += ' ' + fuzz::int_field_reference(numeric->at<std::int64_t>(i, column));
                } else {
                    out.text += numeric->at<std::uint8_t>(i, column) != 0 ? "  T" : "  F";
                }
                ++column;
            } else if (code == 's') {
                if (in.sym_width > 65535) {
                    out.failure = "Formatting argument out of range";
                    return out;
                }
                std::size_t code_points = 0;
                for (std::size_t j = 0; j < in.symbols.cols; ++j) {
                    const auto c = in.symbols.at<std::uint32_t>(i, j);
                    if (c == 0) break;
                    if (!is_scalar_value(c)) continue;
                    fuzz::append_utf8(out.text, c);
                    ++code_points;
                }
                if (code_points < in.sym_width) out.text.append(in.sym_width - code_points, ' ');
            }
        }
        out.text += '\n';
    }
    return out;
}

// A sink that hands out buffers of exactly the asked capacity, so that AddressSanitizer
// catches a line written past what the builder reserved.
class ExactSink final : public atomkit::TextSink {
public:
    char* grow(std::size_t capacity, std::size_t used) override {
        fuzz::check(used <= capacity && used <= capacity_, "grow keeps more than it had");
        // Far more than any block of this target; the builder asking for it is a finding of
        // its own, reported as the exhausted memory it would be.
        if (capacity > (std::size_t{1} << 30)) throw std::bad_alloc();
        auto bigger = std::make_unique<char[]>(capacity);
        if (used != 0) std::memcpy(bigger.get(), buffer_.get(), used);
        buffer_ = std::move(bigger);
        capacity_ = capacity;
        return buffer_.get();
    }
    std::string text(std::size_t length) const {
        fuzz::check(length <= capacity_, "block longer than its buffer");
        return length == 0 ? std::string() : std::string(buffer_.get(), length);
    }

private:
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
};

// The shapes of the matrices, the width and the codes, from the head of the input.
Inputs draw_shapes(fuzz::Bytes& in) {
    Inputs inputs;
    const std::size_t natoms = in.byte() % 9u;
    const std::uint8_t sym_shape = in.byte();
    // Rows longer than 256 code points are checked code point by code point instead of
    // budgeted; one input in sixteen has them (they cost most of a run's time).
    const std::size_t sym_cols = sym_shape >= 0xF0 ? 250 + sym_shape % 64u : sym_shape % 8u;
    const std::uint8_t width_choice = in.byte();
    inputs.sym_width = width_choice < 0xF0 ? width_choice % 12u
                                           : special_widths[(width_choice - 0xF0u) % std::size(special_widths)];
    const std::size_t ncodes = in.byte() % 24u;
    for (std::size_t k = 0; k < ncodes; ++k) {
        const std::uint8_t c = in.byte();
        // Mostly the four column codes; every fifth choice any byte, which skips.
        inputs.codes.push_back(c % 5 < 4 ? static_cast<std::uint8_t>("fibs"[c % 5]) : c);
    }
    // Numeric matrices: one row fewer than natoms now and then (out of bounds) or more,
    // and zero to nine columns (runs of floats are written up to eight at a time).
    auto numeric_shape = [&](auto element) {
        const std::uint8_t shape = in.byte();
        const std::size_t extra = shape % 4u;
        const std::size_t rows = extra == 0 ? (natoms == 0 ? 0 : natoms - 1) : natoms + extra - 1;
        return shape_matrix<decltype(element)>(rows, (shape >> 2) % 10u, in.byte(), in);
    };
    inputs.symbols = shape_matrix<std::uint32_t>(natoms, sym_cols, in.byte(), in);
    inputs.floats = numeric_shape(double{});
    inputs.ints = numeric_shape(std::int64_t{});
    inputs.bools = numeric_shape(std::uint8_t{});
    return inputs;
}

// The matrices' elements from the rest of the input.
void fill_inputs(Inputs& inputs, Filler& filler) {
    fill_matrix<std::uint32_t>(inputs.symbols, [&] {
        const std::uint8_t b = filler.next();
        if (b < 0x80) return std::uint32_t{b};
        if (b < 0xC0) return special_code_points[(b - 0x80u) % std::size(special_code_points)];
        std::uint32_t raw = 0;
        for (int k = 0; k < 4; ++k) raw |= std::uint32_t{filler.next()} << (8 * k);
        return raw;
    });
    auto raw_bytes = [&](std::size_t count) {
        std::uint64_t raw = 0;
        for (std::size_t k = 0; k < count; ++k) raw |= std::uint64_t{filler.next()} << (8 * k);
        return raw;
    };
    fill_matrix<std::uint64_t>(inputs.floats, [&] { return raw_bytes(8); });
    fill_matrix<std::uint64_t>(inputs.ints, [&] { return raw_bytes(8); });
    fill_matrix<std::uint8_t>(inputs.bools, [&] {
        // Mostly 0 and 1, sometimes any byte.
        const std::uint8_t b = filler.next();
        return b < 0xC0 ? static_cast<std::uint8_t>(b & 1) : b;
    });
}

// The block the writer builds from the inputs against the reference's text or failure.
void check_block(const Inputs& inputs, const Expected& expected) {
    atomkit::AtomBlockInput block;
    block.symbols = inputs.symbols.view<std::uint32_t>();
    block.sym_width = inputs.sym_width;
    block.floats = inputs.floats.view<double>();
    block.ints = inputs.ints.view<std::int64_t>();
    block.bools = inputs.bools.view<std::uint8_t>();
    block.col_types = inputs.codes;

    ExactSink sink;
    try {
        const atomkit::BlockText written = atomkit::build_atom_block(block, sink);
        const std::string text = sink.text(written.length);
        fuzz::check(expected.failure.empty(), "no internal failure where one was due", expected.failure);
        fuzz::check(text == expected.text, "block differs", expected.text + " | " + text);
        fuzz::check(written.ascii == fuzz::is_ascii(text), "ASCII flag differs from the text", text);
        // The std::string form goes through StringSink and its growth (for short blocks:
        // the long ones, of wide symbol fields, would halve the executions).
        if (text.size() <= 4096) {
            fuzz::check(atomkit::build_atom_block(block) == text, "std::string block differs", text);
        }
    } catch (const atomkit::InternalFailure& e) {
        fuzz::check(e.message() == expected.failure, "internal failure differs",
                    expected.failure + " | " + e.message());
    } catch (const std::bad_alloc&) {
        fuzz::fail("exhausted memory on a small block", expected.failure);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    Inputs inputs = draw_shapes(in);
    Filler filler(in.rest());
    fill_inputs(inputs, filler);
    check_block(inputs, reference(inputs));
    return 0;
}
