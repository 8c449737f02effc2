// The atom block writer: each line assembled from the planned columns, numbers through the
// field formatters and symbols decoded from their code points.
#include "core/atom_block/atom_block.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/atom_block/budget.hpp"
#include "core/atom_block/field_format.hpp"
#include "core/atom_block/float_batch.hpp"
#include "core/atom_block/notes.hpp"
#include "core/atom_block/output_buffer.hpp"
#include "core/common/saturating.hpp"
#include "core/common/utf8.hpp"

namespace atomkit {
namespace {

using block::Column;
using block::Output;

constexpr char spaces[block::short_padding] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                               ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

template <class T>
T read_cell(const Column& column, std::size_t i) {
    if (i >= column.rows) block::out_of_bounds(column, i);
    T value;
    std::memcpy(&value, column.row0 + static_cast<std::ptrdiff_t>(i) * column.row_stride,
                sizeof(T));
    return value;
}

class BlockWriter {
public:
    explicit BlockWriter(const AtomBlockInput& input) : in_(input), plan_(block::plan_block(input)) {}

    BlockText write_all(TextSink& sink) {
        const std::size_t natoms = in_.symbols.rows();
        Output output(sink);
        // What the lines usually take, plus one line's worst case when lines are checked
        // whole, so that lines within their estimate never make the buffer grow.
        std::uint64_t first = saturating_mul(natoms, plan_.usual_line);
        if (!plan_.checked_lines) first = saturating_add(first, plan_.line_bound);
        char* out = output.reserve(first, 0);
        for (std::size_t i = 0; i < natoms; ++i) {
            out = plan_.checked_lines ? write_line<true>(out, i, output) : write_line<false>(out, i, output);
        }
        return BlockText{output.length(out), !non_ascii_};
    }

private:
    // Writes line i at `out`. Unchecked lines make sure of their worst case once; checked
    // lines (Checked) field by field.
    template <bool Checked>
    char* write_line(char* out, std::size_t i, Output& output) {
        if constexpr (!Checked) out = output.ensure(out, plan_.line_bound);
        const std::vector<Column>& columns = plan_.columns;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const Column& column = columns[k];
            switch (column.code) {
                case block::code_float:
                    if (column.batch != 0) {
                        out = write_float_run<Checked>(out, i, k, column.batch, output);
                        k += column.batch - 1u;
                        break;
                    }
                    if constexpr (Checked) out = output.ensure(out, block::float_column_room);
                    *out++ = ' ';
                    out = write_float_field(out, read_cell<double>(column, i));
                    break;
                case block::code_int:
                    if constexpr (Checked) out = output.ensure(out, block::int_column_room);
                    *out++ = ' ';
                    out = write_int_field(out, read_cell<std::int64_t>(column, i));
                    break;
                case block::code_bool:
                    if constexpr (Checked) out = output.ensure(out, block::bool_column_text);
                    *out++ = ' ';
                    *out++ = ' ';
                    out = write_bool_field(out, read_cell<std::uint8_t>(column, i));
                    break;
                case block::code_symbol:
                    if constexpr (Checked) out = output.ensure(out, plan_.symbol_room);
                    out = write_symbol(out, i, output);
                    break;
                case block::code_symbol_width_out_of_range:
                    block::width_out_of_range(column, in_.sym_width);
                default:
                    break;  // never stored
            }
        }
        if constexpr (Checked) out = output.ensure(out, 1);
        *out++ = '\n';
        return out;
    }

    // The run of `n` float columns from columns[k] for line i: in one batch when every field
    // has the usual width, one by one otherwise. Room for a run's worst case covers the
    // batch's scratch (it may write the room of eight fields whatever n is).
    template <bool Checked>
    char* write_float_run(char* out, std::size_t i, std::size_t k, std::size_t n, Output& output) {
        if constexpr (Checked) {
            out = output.ensure(out, std::max<std::uint64_t>(n * block::float_column_room,
                                                             float_batch_max * float_column_width));
        }
        double values[float_batch_max];
        for (std::size_t j = 0; j < n; ++j) values[j] = read_cell<double>(plan_.columns[k + j], i);
        if (char* end = write_short_float_columns(out, values, n)) return end;
        for (std::size_t j = 0; j < n; ++j) {
            *out++ = ' ';
            out = write_float_field(out, values[j]);
        }
        return out;
    }

    // Row i up to its first 0, read element by element through the view's strides so that
    // every memory layout gives the symbols of its row-major copy. Code points that are no
    // Unicode scalar values are dropped; the width counts code points, and a longer symbol
    // is written whole. Each code point is read once and written from that one read, so the
    // text stays valid UTF-8 and the ASCII flag true to it whatever the array does.
    char* write_symbol(char* out, std::size_t i, Output& output) {
        if (char* end = write_short_symbol(out, i)) return end;
        const MatrixView<std::uint32_t>& symbols = in_.symbols;
        std::size_t code_points = 0;
        for (std::size_t j = 0; j < symbols.cols(); ++j) {
            const std::uint32_t c = symbols.at(i, j);
            if (c == 0) break;
            if (plan_.wide_symbols) out = output.ensure(out, block::utf8_max_bytes);
            if (c < 0x80) {
                *out++ = static_cast<char>(c);
            } else if (!is_scalar_value(c)) {
                continue;
            } else {
                non_ascii_ = true;
                out = encode_utf8_multibyte(out, c);
            }
            ++code_points;
        }
        if (code_points < in_.sym_width) {
            const std::size_t fill = in_.sym_width - code_points;
            if (plan_.wide_symbols) out = output.ensure(out, fill);
            std::memset(out, ' ', fill);
            out += fill;
        }
        return out;
    }

    // The usual species: one or two ASCII code points, read once each, and padding of a few
    // spaces written as one store into the room that every symbol has in reserve; nullptr
    // when row i is not of that kind.
    char* write_short_symbol(char* out, std::size_t i) const noexcept {
        const MatrixView<std::uint32_t>& symbols = in_.symbols;
        const std::size_t length = symbols.cols();
        if (length > 2 || length == 0 || in_.sym_width > block::short_padding) return nullptr;
        const std::uint32_t c0 = symbols.at(i, 0);
        const std::uint32_t c1 = length == 2 ? symbols.at(i, 1) : 0;
        if ((c0 | c1) >= 0x80) return nullptr;
        const std::size_t k = static_cast<std::size_t>(c0 != 0) + static_cast<std::size_t>(c0 != 0 && c1 != 0);
        std::memcpy(out + k, spaces, block::short_padding);
        if (k >= 1) out[0] = static_cast<char>(c0);
        if (k == 2) out[1] = static_cast<char>(c1);
        return out + std::max<std::size_t>(k, static_cast<std::size_t>(in_.sym_width));
    }

    const AtomBlockInput& in_;
    const block::BlockPlan plan_;
    bool non_ascii_ = false;
};

}  // namespace

BlockText build_atom_block(const AtomBlockInput& input, TextSink& sink) {
    if (input.symbols.rows() == 0) return {};
    block::check_reservation(input);
    BlockWriter writer(input);
    return writer.write_all(sink);
}

std::string build_atom_block(const AtomBlockInput& input) {
    StringSink sink;
    const BlockText text = build_atom_block(input, sink);
    return std::move(sink).take(text.length);
}

}  // namespace atomkit
