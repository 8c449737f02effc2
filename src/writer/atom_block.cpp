// The atom block writer: line assembly from the column codes, symbol decoding from code
// points, and the output buffer's reservation and growth.
#include "writer/atom_block.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>


#include "lib/internal_failure.hpp"
#include "writer/field_format.hpp"
#include "writer/huge_pages.hpp"

namespace atomkit {
namespace {

constexpr std::uint8_t code_symbol = 's';
constexpr std::uint8_t code_float = 'f';
constexpr std::uint8_t code_int = 'i';
constexpr std::uint8_t code_bool = 'b';

constexpr std::uint64_t max_sym_width = 65535;
// Symbol rows up to this many code points are budgeted at 4 bytes each in the per-line
// bound; longer rows are measured line by line instead, so a huge row of mostly zeros
// does not inflate every line's budget.
constexpr std::size_t max_budgeted_row = 256;

// No 64-bit system maps more than 2^56 bytes for one process (5-level paging); a larger
// buffer is refused here without asking the allocator, which some allocators (sanitizers
// among them) answer by ending the process instead of failing.
constexpr std::uint64_t max_buffer_bytes = std::uint64_t{1} << 56;

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return a * b;
}

// One column code that writes something, resolved once per call. Cursors restart on every
// line, so the k-th "f" of the codes always reads float column k: each numeric column
// keeps its element address in row 0 and the row stride. A column beyond the matrix's
// columns gets rows = 0, so the one row check also catches it when a line reaches it.
struct Column {
    std::uint8_t code;
    std::size_t rows = 0;
    const std::byte* row0 = nullptr;
    std::ptrdiff_t row_stride = 0;
};

template <class T>
Column numeric_column(std::uint8_t code, const MatrixView<T>& view, std::size_t index) {
    Column column{code};
    if (index < view.cols() && view.rows() != 0) {
        column.rows = view.rows();
        column.row0 = view.address(0, index);
        column.row_stride = view.row_stride();
    }
    return column;
}

template <class T>
T read_cell(const Column& column, std::size_t i) {
    if (i >= column.rows) fail("ndarray: index out of bounds");
    T value;
    std::memcpy(&value, column.row0 + static_cast<std::ptrdiff_t>(i) * column.row_stride,
                sizeof(T));
    return value;
}

inline bool is_scalar_value(std::uint32_t c) noexcept {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

inline std::size_t utf8_length(std::uint32_t c) noexcept {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

class BlockWriter {
public:
    explicit BlockWriter(const AtomBlockInput& input) : in_(input) {
        std::size_t floats = 0, ints = 0, bools = 0, symbols = 0;
        for (const std::uint8_t code : in_.col_types) {
            switch (code) {
                case code_float: columns_.push_back(numeric_column(code, in_.floats, floats++)); break;
                case code_int: columns_.push_back(numeric_column(code, in_.ints, ints++)); break;
                case code_bool: columns_.push_back(numeric_column(code, in_.bools, bools++)); break;
                case code_symbol: columns_.push_back(Column{code}); ++symbols; break;
                default: break;  // not a column code: writes nothing, moves no cursor
            }
        }
        symbol_fields_ = symbols;
        const std::uint64_t width = std::min(in_.sym_width, max_sym_width);
        // Worst case per field: separator plus the widest field; a symbol adds its UTF-8
        // bytes (at most 4 per code point) and at most `width` spaces of padding. A code
        // beyond its matrix's columns ends the call after its separators, so it is budgeted
        // at those alone: a long col_types must fail as out of bounds, not as out of memory.
        std::uint64_t bound = 1;  // the line feed
        for (const Column& column : columns_) {
            if (column.code == code_symbol) continue;
            if (column.rows == 0) {
                bound = saturating_add(bound, 2);
                continue;
            }
            const std::uint64_t field = column.code == code_float ? 1 + max_float_field
                                        : column.code == code_int ? 1 + max_int_field
                                                                  : 3;
            bound = saturating_add(bound, field);
        }
        bound = saturating_add(bound, saturating_mul(symbols, width));
        measure_symbols_ = symbols != 0 && in_.symbols.cols() > max_budgeted_row;
        if (!measure_symbols_) {
            bound = saturating_add(bound, saturating_mul(symbols, 4 * in_.symbols.cols()));
        }
        fixed_bound_ = bound;
    }

    std::uint64_t fixed_bound() const noexcept { return fixed_bound_; }

    // Room that line i can take at most.
    std::uint64_t line_bound(std::size_t i) const noexcept {
        if (!measure_symbols_) return fixed_bound_;
        return saturating_add(fixed_bound_, saturating_mul(symbol_fields_, symbol_bytes(i)));
    }

    // Writes line i at `out`, which has line_bound(i) bytes of room; returns its end.
    char* write_line(char* out, std::size_t i) const {
        for (const Column& column : columns_) {
            switch (column.code) {
                case code_float:
                    *out++ = ' ';
                    out = write_float_field(out, read_cell<double>(column, i));
                    break;
                case code_int:
                    *out++ = ' ';
                    out = write_int_field(out, read_cell<std::int64_t>(column, i));
                    break;
                case code_bool:
                    *out++ = ' ';
                    *out++ = ' ';
                    out = write_bool_field(out, read_cell<std::uint8_t>(column, i));
                    break;
                case code_symbol:
                    if (in_.sym_width > max_sym_width) fail("Formatting argument out of range");
                    out = write_symbol(out, i);
                    break;
                default:
                    break;  // never stored
            }
        }
        *out++ = '\n';
        return out;
    }

private:
    // Row i up to its first 0, read element by element through the view's strides so that
    // every memory layout gives the symbols of its row-major copy. Code points that are no
    // Unicode scalar values are dropped; the width counts code points, and a longer symbol
    // is written whole.
    char* write_symbol(char* out, std::size_t i) const {
        const MatrixView<std::uint32_t>& symbols = in_.symbols;
        const std::size_t length = symbols.cols();
        std::size_t code_points = 0;
        for (std::size_t j = 0; j < length; ++j) {
            const std::uint32_t c = symbols.at(i, j);
            if (c == 0) break;
            if (c < 0x80) {
                *out++ = static_cast<char>(c);
            } else if (!is_scalar_value(c)) {
                continue;
            } else if (c < 0x800) {
                out[0] = static_cast<char>(0xC0 | (c >> 6));
                out[1] = static_cast<char>(0x80 | (c & 0x3F));
                out += 2;
            } else if (c < 0x10000) {
                out[0] = static_cast<char>(0xE0 | (c >> 12));
                out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[2] = static_cast<char>(0x80 | (c & 0x3F));
                out += 3;
            } else {
                out[0] = static_cast<char>(0xF0 | (c >> 18));
                out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[3] = static_cast<char>(0x80 | (c & 0x3F));
                out += 4;
            }
            ++code_points;
        }
        if (code_points < in_.sym_width) {
            const std::size_t fill = in_.sym_width - code_points;
            std::memset(out, ' ', fill);
            out += fill;
        }
        return out;
    }

    std::uint64_t symbol_bytes(std::size_t i) const noexcept {
        const MatrixView<std::uint32_t>& symbols = in_.symbols;
        std::uint64_t bytes = 0;
        for (std::size_t j = 0; j < symbols.cols(); ++j) {
            const std::uint32_t c = symbols.at(i, j);
            if (c == 0) break;
            if (is_scalar_value(c)) bytes += utf8_length(c);
        }
        return bytes;
    }

    const AtomBlockInput& in_;
    std::vector<Column> columns_;
    std::size_t symbol_fields_ = 0;
    std::uint64_t fixed_bound_ = 0;
    bool measure_symbols_ = false;
};

}  // namespace

char* StringSink::grow(std::size_t capacity, std::size_t used) {
    if (capacity > text_.max_size()) throw std::bad_alloc();
    try {
        // The new bytes are written by the block builder before anything reads them, so
        // they need no filling here.
        text_.resize_and_overwrite(capacity, [used](char* base, std::size_t size) noexcept {
            advise_huge_pages(base + used, size - used);
            return size;
        });
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
    return text_.data();
}

std::string StringSink::take(std::size_t length) && {
    text_.resize(length);
    return std::move(text_);
}

std::size_t build_atom_block(const AtomBlockInput& input, TextSink& sink) {
    const std::size_t natoms = input.symbols.rows();
    if (natoms == 0) return 0;

    // The reservation estimate wraps like the unsigned arithmetic it is defined by; only
    // its top bit is an error.
    const std::uint64_t per_line = input.sym_width + 17 * std::uint64_t{input.floats.cols()} +
                                   9 * std::uint64_t{input.ints.cols()} +
                                   3 * std::uint64_t{input.bools.cols()} + 2;
    const std::uint64_t reservation = std::uint64_t{natoms} * per_line;
    if ((reservation >> 63) != 0) fail("capacity overflow");

    const BlockWriter writer(input);
    char* base = nullptr;
    std::size_t used = 0;
    std::size_t next = 0;
    // The reservation plus one line's worst case, so that lines within their estimate
    // never make the buffer grow.
    std::uint64_t capacity =
        reservation != 0 ? saturating_add(reservation, writer.fixed_bound()) : 0;
    std::uint64_t have = 0;
    while (next < natoms) {
        const std::uint64_t need = writer.line_bound(next);
        if (have - used < need) {
            if (capacity - used < need) {
                capacity = std::max(saturating_mul(capacity, 2), saturating_add(used, need));
            }
            if (capacity > max_buffer_bytes) throw std::bad_alloc();
            base = sink.grow(static_cast<std::size_t>(capacity), used);
            have = capacity;
        }
        // Lines are written through a raw pointer while the buffer has room for a whole
        // line's worst case.
        while (next < natoms && have - used >= writer.line_bound(next)) {
            used = static_cast<std::size_t>(writer.write_line(base + used, next) - base);
            ++next;
        }
    }
    return used;
}

std::string build_atom_block(const AtomBlockInput& input) {
    StringSink sink;
    const std::size_t length = build_atom_block(input, sink);
    return std::move(sink).take(length);
}

bool symbols_are_ascii(const MatrixView<std::uint32_t>& symbols) noexcept {
    for (std::size_t i = 0; i < symbols.rows(); ++i) {
        for (std::size_t j = 0; j < symbols.cols(); ++j) {
            const std::uint32_t c = symbols.at(i, j);
            if (c == 0) break;
            if (c >= 0x80 && is_scalar_value(c)) return false;  // invalid ones are dropped
        }
    }
    return true;
}

}  // namespace atomkit
