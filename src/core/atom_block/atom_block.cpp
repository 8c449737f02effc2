// The atom block writer: line assembly from the column codes, symbol decoding from code
// points, and the output buffer's reservation and growth.
#include "core/atom_block/atom_block.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "core/atom_block/field_format.hpp"
#include "core/atom_block/float_batch.hpp"
#include "core/common/huge_pages.hpp"
#include "core/common/internal_failure.hpp"

namespace atomkit {
namespace {

constexpr std::uint8_t code_symbol = 's';
constexpr std::uint8_t code_float = 'f';
constexpr std::uint8_t code_int = 'i';
constexpr std::uint8_t code_bool = 'b';
// Stands in for code_symbol when sym_width is out of range, so that the check is made once
// per call and the call still fails only where a line reaches its first symbol field.
constexpr std::uint8_t code_symbol_width_out_of_range = 0;

constexpr std::uint64_t max_sym_width = 65535;
// Symbol rows up to this many code points are budgeted at 4 bytes each in the per-line
// bound; longer rows are checked code point by code point instead, so a huge row of
// mostly zeros does not inflate every line's budget.
constexpr std::size_t max_budgeted_row = 256;
// Lines whose worst case stays within this are checked for room once per line; longer ones
// (thousands of codes) field by field, so that the room held in reserve never exceeds one
// field's worst case and the memory of a call follows its text.
constexpr std::uint64_t max_unchecked_line = std::uint64_t{1} << 20;

// No 64-bit system maps more than 2^56 bytes for one process (5-level paging); a larger
// buffer is refused here without asking the allocator, which some allocators (sanitizers
// among them) answer by ending the process instead of failing.
constexpr std::uint64_t max_buffer_bytes = std::uint64_t{1} << 56;

// Bytes written per column by the usual case (separator plus a field of its minimum width),
// for the first reservation.
constexpr std::uint64_t float_column_text = 1 + min_float_field;
constexpr std::uint64_t int_column_text = 1 + min_int_field;
constexpr std::uint64_t bool_column_text = 3;
// The worst case of one column, for the room checks.
constexpr std::uint64_t float_column_room = 1 + max_float_field;
constexpr std::uint64_t int_column_room = 1 + max_int_field;
constexpr std::uint64_t utf8_max_bytes = 4;
// Padding of short symbols is written as one store of this many spaces.
constexpr std::size_t short_padding = 16;
constexpr char spaces[short_padding] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

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
    // On the first float column of a run of consecutive ones: how many of them (up to a
    // batch) are formatted together; 0 on the others and on other codes.
    std::uint8_t batch = 0;
    std::size_t rows = 0;
    const std::byte* row0 = nullptr;
    std::ptrdiff_t row_stride = 0;
    // For the note of a failure: where the code stands in col_types, which column of its
    // matrix it reads, and the matrix's shape.
    std::size_t position = 0;
    std::size_t index = 0;
    std::size_t matrix_rows = 0;
    std::size_t matrix_cols = 0;
};

template <class T>
Column numeric_column(std::uint8_t code, std::size_t position, const MatrixView<T>& view, std::size_t index) {
    Column column{code};
    column.position = position;
    column.index = index;
    column.matrix_rows = view.rows();
    column.matrix_cols = view.cols();
    if (index < view.cols() && view.rows() != 0) {
        column.rows = view.rows();
        column.row0 = view.address(0, index);
        column.row_stride = view.row_stride();
    }
    return column;
}

const char* matrix_name(std::uint8_t code) noexcept {
    return code == code_float ? "float_mat" : code == code_int ? "int_mat" : "bool_mat";
}

// The notes of failures a caller's data causes, made only when one happens.
class Note {
public:
    Note& operator<<(std::string_view text) {
        text_ += text;
        return *this;
    }
    Note& operator<<(std::uint64_t number) {
        text_ += std::to_string(number);
        return *this;
    }
    Note& ordinal(std::size_t n) {
        const std::size_t tens = n % 100;
        const std::size_t ones = n % 10;
        return *this << n << ((tens >= 11 && tens <= 13) ? "th" : ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th");
    }
    Note& shape(std::size_t rows, std::size_t cols) { return *this << "(" << rows << ", " << cols << ")"; }
    std::string take() && { return std::move(text_); }

private:
    std::string text_;
};

// "ndarray: index out of bounds", with a note on which code ran past which matrix.
[[noreturn, gnu::cold, gnu::noinline]] void out_of_bounds(const Column& column, std::size_t i) {
    const std::string_view matrix = matrix_name(column.code);
    const char code[] = {'\'', static_cast<char>(column.code), '\'', '\0'};
    Note note;
    if (column.index >= column.matrix_cols) {
        note << "col_types[" << column.position << "] is the ";
        note.ordinal(column.index + 1) << " " << code << " code, but " << matrix << " has " << column.matrix_cols
                                       << " columns";
    } else {
        note << matrix << " has shape ";
        note.shape(column.matrix_rows, column.matrix_cols)
            << ", but col_types[" << column.position << "] reads its row " << i << " for atom " << i
            << ": it needs a row for every atom of sym_codepoints";
    }
    fail_noted("ndarray: index out of bounds", std::move(note).take());
}

template <class T>
T read_cell(const Column& column, std::size_t i) {
    if (i >= column.rows) out_of_bounds(column, i);
    T value;
    std::memcpy(&value, column.row0 + static_cast<std::ptrdiff_t>(i) * column.row_stride,
                sizeof(T));
    return value;
}

inline bool is_scalar_value(std::uint32_t c) noexcept {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// The growing output: a cursor is only ever advanced after room for what it writes was
// made sure of, so no write can land outside the sink's buffer.
class Output {
public:
    explicit Output(TextSink& sink) noexcept : sink_(sink) {}

    // Room for `need` more bytes at `out`; returns the cursor, moved if the buffer was.
    char* ensure(char* out, std::uint64_t need) {
        if (static_cast<std::uint64_t>(limit_ - out) >= need) return out;
        return grow(out, need);
    }
    [[gnu::cold, gnu::noinline]] char* grow(char* out, std::uint64_t need) {
        const auto used = static_cast<std::size_t>(out - base_);
        const std::uint64_t capacity = std::max(saturating_mul(capacity_, 2), saturating_add(used, need));
        return reserve(capacity, used);
    }
    char* reserve(std::uint64_t capacity, std::size_t used) {
        if (capacity > max_buffer_bytes) throw std::bad_alloc();
        base_ = sink_.grow(static_cast<std::size_t>(capacity), used);
        capacity_ = capacity;
        limit_ = base_ + capacity;
        return base_ + used;
    }
    std::size_t length(const char* out) const noexcept { return static_cast<std::size_t>(out - base_); }

private:
    TextSink& sink_;
    char* base_ = nullptr;
    char* limit_ = nullptr;
    std::uint64_t capacity_ = 0;
};

class BlockWriter {
public:
    explicit BlockWriter(const AtomBlockInput& input) : in_(input) {
        const bool width_ok = in_.sym_width <= max_sym_width;
        std::size_t floats = 0, ints = 0, bools = 0;
        for (std::size_t position = 0; position < in_.col_types.size(); ++position) {
            const std::uint8_t code = in_.col_types[position];
            switch (code) {
                case code_float: columns_.push_back(numeric_column(code, position, in_.floats, floats++)); break;
                case code_int: columns_.push_back(numeric_column(code, position, in_.ints, ints++)); break;
                case code_bool: columns_.push_back(numeric_column(code, position, in_.bools, bools++)); break;
                case code_symbol: {
                    Column column{width_ok ? code : code_symbol_width_out_of_range};
                    column.position = position;
                    columns_.push_back(column);
                    break;
                }
                default: break;  // not a column code: writes nothing, moves no cursor
            }
        }
        wide_symbols_ = in_.symbols.cols() > max_budgeted_row;
        // Narrow rows are budgeted whole: at most 4 bytes per code point, however the array
        // changes between a measure and a write. Wide rows check each code point instead.
        // A width out of range fails at the first symbol, before anything is written.
        const std::uint64_t width = width_ok ? in_.sym_width : 0;
        if (width_ok) {
            // Plus the store of short padding, which may run past the padding itself.
            symbol_room_ = width + (wide_symbols_ ? 0 : utf8_max_bytes * in_.symbols.cols()) + short_padding;
        }
        // A code beyond its matrix's columns ends the call after its separators, so it is
        // budgeted at those alone: a long col_types must fail as out of bounds, not as out
        // of memory.
        std::uint64_t bound = 1;  // the line feed
        std::uint64_t usual = 1;
        for (const Column& column : columns_) {
            switch (column.code) {
                case code_symbol:
                    bound = saturating_add(bound, symbol_room_);
                    usual = saturating_add(usual, std::max<std::uint64_t>(width, 2));
                    break;
                case code_symbol_width_out_of_range:
                    break;
                case code_float:
                    bound = saturating_add(bound, column.rows == 0 ? 2 : float_column_room);
                    usual = saturating_add(usual, column.rows == 0 ? 0 : float_column_text);
                    break;
                case code_int:
                    bound = saturating_add(bound, column.rows == 0 ? 2 : int_column_room);
                    usual = saturating_add(usual, column.rows == 0 ? 0 : int_column_text);
                    break;
                default:
                    bound = saturating_add(bound, bool_column_text);
                    usual = saturating_add(usual, column.rows == 0 ? 0 : bool_column_text);
                    break;
            }
        }
        line_bound_ = bound;
        usual_line_ = usual;
        // Runs of float columns are formatted together where a batch kernel makes that pay.
        if (float_batch_kernel() != FloatBatchKernel::portable) {
            for (std::size_t k = 0; k < columns_.size();) {
                std::size_t run = 0;
                while (k + run < columns_.size() && run < float_batch_max &&
                       columns_[k + run].code == code_float) {
                    ++run;
                }
                if (run > 1) columns_[k].batch = static_cast<std::uint8_t>(run);
                k += run == 0 ? 1 : run;
            }
        }
        // A wide symbol takes room beyond the line's bound, so the fields after it check theirs.
        const bool writes_symbols = std::any_of(columns_.begin(), columns_.end(),
                                                            [](const Column& c) { return c.code == code_symbol; });
        checked_lines_ = bound > max_unchecked_line || (wide_symbols_ && writes_symbols);
    }

    BlockText write_all(TextSink& sink) {
        const std::size_t natoms = in_.symbols.rows();
        Output output(sink);
        // What the lines usually take, plus one line's worst case when lines are checked
        // whole, so that lines within their estimate never make the buffer grow.
        std::uint64_t first = saturating_mul(natoms, usual_line_);
        if (!checked_lines_) first = saturating_add(first, line_bound_);
        char* out = output.reserve(first, 0);
        for (std::size_t i = 0; i < natoms; ++i) {
            out = checked_lines_ ? write_line<true>(out, i, output) : write_line<false>(out, i, output);
        }
        return BlockText{output.length(out), !non_ascii_};
    }

private:
    // Writes line i at `out`. Unchecked lines make sure of their worst case once; checked
    // lines (Checked) field by field.
    template <bool Checked>
    char* write_line(char* out, std::size_t i, Output& output) {
        if constexpr (!Checked) out = output.ensure(out, line_bound_);
        for (std::size_t k = 0; k < columns_.size(); ++k) {
            const Column& column = columns_[k];
            switch (column.code) {
                case code_float:
                    if (column.batch != 0) {
                        out = write_float_run<Checked>(out, i, k, column.batch, output);
                        k += column.batch - 1u;
                        break;
                    }
                    if constexpr (Checked) out = output.ensure(out, float_column_room);
                    *out++ = ' ';
                    out = write_float_field(out, read_cell<double>(column, i));
                    break;
                case code_int:
                    if constexpr (Checked) out = output.ensure(out, int_column_room);
                    *out++ = ' ';
                    out = write_int_field(out, read_cell<std::int64_t>(column, i));
                    break;
                case code_bool:
                    if constexpr (Checked) out = output.ensure(out, bool_column_text);
                    *out++ = ' ';
                    *out++ = ' ';
                    out = write_bool_field(out, read_cell<std::uint8_t>(column, i));
                    break;
                case code_symbol:
                    if constexpr (Checked) out = output.ensure(out, symbol_room_);
                    out = write_symbol(out, i, output);
                    break;
                case code_symbol_width_out_of_range:
                    width_out_of_range(column);
                default:
                    break;  // never stored
            }
        }
        if constexpr (Checked) out = output.ensure(out, 1);
        *out++ = '\n';
        return out;
    }

    // The run of `n` float columns from columns_[k] for line i: in one batch when every field
    // has the usual width, one by one otherwise. Room for a run's worst case covers the
    // batch's scratch (it may write the room of eight fields whatever n is).
    template <bool Checked>
    char* write_float_run(char* out, std::size_t i, std::size_t k, std::size_t n, Output& output) {
        if constexpr (Checked) {
            out = output.ensure(out, std::max<std::uint64_t>(n * float_column_room,
                                                             float_batch_max * float_column_width));
        }
        double values[float_batch_max];
        for (std::size_t j = 0; j < n; ++j) values[j] = read_cell<double>(columns_[k + j], i);
        if (char* end = write_short_float_columns(out, values, n)) return end;
        for (std::size_t j = 0; j < n; ++j) {
            *out++ = ' ';
            out = write_float_field(out, values[j]);
        }
        return out;
    }

    [[noreturn, gnu::cold, gnu::noinline]] void width_out_of_range(const Column& column) const {
        Note note;
        note << "sym_width is " << in_.sym_width << ", but col_types[" << column.position
             << "] is an 's' code, and a symbol is padded to at most " << max_sym_width << " code points";
        fail_noted("Formatting argument out of range", std::move(note).take());
    }

    // Row i up to its first 0, read element by element through the view's strides so that
    // every memory layout gives the symbols of its row-major copy. Code points that are no
    // Unicode scalar values are dropped; the width counts code points, and a longer symbol
    // is written whole. Each code point is read once and written from that one read, so the
    // text stays valid UTF-8 and the ASCII flag true to it whatever the array does.
    char* write_symbol(char* out, std::size_t i, Output& output) {
        const MatrixView<std::uint32_t>& symbols = in_.symbols;
        const std::size_t length = symbols.cols();
        // The usual species: one or two ASCII code points, read once each, and padding of a
        // few spaces written as one store into the room that every symbol has in reserve.
        if (length <= 2 && length != 0 && in_.sym_width <= short_padding) {
            const std::uint32_t c0 = symbols.at(i, 0);
            const std::uint32_t c1 = length == 2 ? symbols.at(i, 1) : 0;
            if ((c0 | c1) < 0x80) {
                const std::size_t k = static_cast<std::size_t>(c0 != 0) + static_cast<std::size_t>(c0 != 0 && c1 != 0);
                std::memcpy(out + k, spaces, short_padding);
                if (k >= 1) out[0] = static_cast<char>(c0);
                if (k == 2) out[1] = static_cast<char>(c1);
                return out + std::max<std::size_t>(k, static_cast<std::size_t>(in_.sym_width));
            }
        }
        std::size_t code_points = 0;
        for (std::size_t j = 0; j < length; ++j) {
            const std::uint32_t c = symbols.at(i, j);
            if (c == 0) break;
            if (wide_symbols_) out = output.ensure(out, utf8_max_bytes);
            if (c < 0x80) {
                *out++ = static_cast<char>(c);
            } else if (!is_scalar_value(c)) {
                continue;
            } else {
                non_ascii_ = true;
                if (c < 0x800) {
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
            }
            ++code_points;
        }
        if (code_points < in_.sym_width) {
            const std::size_t fill = in_.sym_width - code_points;
            if (wide_symbols_) out = output.ensure(out, fill);
            std::memset(out, ' ', fill);
            out += fill;
        }
        return out;
    }

    const AtomBlockInput& in_;
    std::vector<Column> columns_;
    std::uint64_t symbol_room_ = 0;
    std::uint64_t line_bound_ = 0;
    std::uint64_t usual_line_ = 0;
    bool wide_symbols_ = false;
    bool checked_lines_ = false;
    bool non_ascii_ = false;
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

BlockText build_atom_block(const AtomBlockInput& input, TextSink& sink) {
    const std::size_t natoms = input.symbols.rows();
    if (natoms == 0) return {};

    // The nominal reservation wraps like the unsigned arithmetic it is defined by; only its
    // top bit is an error. What is really reserved follows the codes, not the matrices.
    const std::uint64_t per_line = input.sym_width + float_column_text * std::uint64_t{input.floats.cols()} +
                                   int_column_text * std::uint64_t{input.ints.cols()} +
                                   bool_column_text * std::uint64_t{input.bools.cols()} + 2;
    const std::uint64_t reservation = std::uint64_t{natoms} * per_line;
    if ((reservation >> 63) != 0) {
        Note note;
        note << "the block of " << natoms << " atoms is budgeted at sym_width " << input.sym_width
             << " + 17 per float_mat column + 9 per int_mat column + 3 per bool_mat column + 2 bytes a line"
             << " (float_mat ";
        note.shape(input.floats.rows(), input.floats.cols()) << ", int_mat ";
        note.shape(input.ints.rows(), input.ints.cols()) << ", bool_mat ";
        note.shape(input.bools.rows(), input.bools.cols()) << "): 2^63 bytes or more";
        fail_noted("capacity overflow", std::move(note).take());
    }

    BlockWriter writer(input);
    return writer.write_all(sink);
}

std::string build_atom_block(const AtomBlockInput& input) {
    StringSink sink;
    const BlockText text = build_atom_block(input, sink);
    return std::move(sink).take(text.length);
}

}  // namespace atomkit
