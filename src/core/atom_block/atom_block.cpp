// The atom block writer: each line assembled from the planned columns, numbers through the
// field formatters and symbols decoded from their code points.
#include "core/atom_block/atom_block.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/atom_block/budget.hpp"
#include "core/atom_block/field_format.hpp"
#include "core/atom_block/float_batch.hpp"
#include "core/atom_block/notes.hpp"
#include "core/atom_block/output_buffer.hpp"
#include "core/common/saturating.hpp"
#include "core/common/thread_pool.hpp"
#include "core/common/utf8.hpp"

namespace atomkit {
namespace {

using block::Column;
using block::Output;
using block::RangeOutput;

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

// The first reservation of a block: what the lines usually take, plus one line's worst case
// when lines are checked whole, so that lines within their estimate never make the buffer grow.
std::uint64_t first_reservation(const block::BlockPlan& plan, std::size_t natoms) {
    std::uint64_t first = saturating_mul(natoms, plan.usual_line);
    if (!plan.checked_lines) first = saturating_add(first, plan.line_bound);
    return first;
}

class BlockWriter {
public:
    BlockWriter(const AtomBlockInput& input, const block::BlockPlan& plan) noexcept : in_(input), plan_(plan) {}

    BlockText write_all(TextSink& sink) {
        const std::size_t natoms = in_.symbols.rows();
        Output output(sink);
        char* out = output.reserve(first_reservation(plan_, natoms), 0);
        out = write_rows(out, 0, natoms, output);
        return BlockText{output.length(out), !non_ascii_};
    }

    // Lines [first, last) at `out`; returns where they end.
    template <class Out>
    char* write_rows(char* out, std::size_t first, std::size_t last, Out& output) {
        for (std::size_t i = first; i < last; ++i) {
            out = plan_.checked_lines ? write_line<true>(out, i, output) : write_line<false>(out, i, output);
        }
        return out;
    }

    bool non_ascii() const noexcept { return non_ascii_; }

private:
    // Writes line i at `out`. Unchecked lines make sure of their worst case once; checked
    // lines (Checked) field by field.
    template <bool Checked, class Out>
    char* write_line(char* out, std::size_t i, Out& output) {
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
    template <bool Checked, class Out>
    char* write_float_run(char* out, std::size_t i, std::size_t k, std::size_t n, Out& output) {
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
    template <class Out>
    char* write_symbol(char* out, std::size_t i, Out& output) {
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
    const block::BlockPlan& plan_;
    bool non_ascii_ = false;
};

// Blocks of this many bytes and more are written by write_split (in one range when they are
// not split): their buffer is reserved at exactly the usual room of their lines, which is the
// text's length when every field has its usual width. The result then needs no shrinking,
// and the allocator, which takes such sizes from the system and gives them back when freed,
// reuses the memory of the block before for the next of the same size rather than handing
// out pages that fault afresh on every call.
constexpr std::uint64_t min_exact_reservation = std::uint64_t{1} << 16;

// The block in `ranges` ranges of rows written at once. The buffer is reserved at the usual
// room of every line; range k writes into its window there, starting where its first row
// would start if every line before it took the usual room (as lines of numbers of the usual
// size do), and spills into a buffer of its own what its window cannot hold (at least its
// last lines, whose worst case the window's end cannot hold). Then the ranges are put
// together: a range whose text begins where it was guessed stays where it is, and what it
// spilled is copied after it; any other range is copied to where it begins.
BlockText write_split(const AtomBlockInput& input, const block::BlockPlan& plan, TextSink& sink,
                      std::size_t ranges) {
    const std::size_t natoms = input.symbols.rows();
    Output output(sink);
    const std::uint64_t reserved = saturating_mul(natoms, plan.usual_line);
    char* base = output.reserve(reserved, 0);
    // Where range k's window starts (the usual room of its rows before it).
    std::vector<std::size_t> guess(ranges + 1);
    for (std::size_t k = 0; k < ranges; ++k) {
        guess[k] = static_cast<std::size_t>(range_boundary(natoms, ranges, k) * plan.usual_line);
    }
    guess[ranges] = static_cast<std::size_t>(reserved);
    std::vector<RangeOutput> parts;
    parts.reserve(ranges);
    for (std::size_t k = 0; k < ranges; ++k) parts.emplace_back(base + guess[k], guess[k + 1] - guess[k]);
    std::vector<char> non_ascii(ranges, 0);
    parallel_for(ranges, [&](std::size_t k) {
        BlockWriter writer(input, plan);
        RangeOutput& part = parts[k];
        part.finish(writer.write_rows(part.begin(), range_boundary(natoms, ranges, k),
                                      range_boundary(natoms, ranges, k + 1), part));
        non_ascii[k] = writer.non_ascii();
    });

    // Where each range's text begins in the block; the window parts that must move are kept
    // aside first, since moving one may cover another still in its window.
    std::vector<std::size_t> begins(ranges);
    std::size_t total = 0;
    bool ascii = true;
    for (std::size_t k = 0; k < ranges; ++k) {
        begins[k] = total;
        total += parts[k].length();
        ascii = ascii && non_ascii[k] == 0;
    }
    std::vector<std::string> moved(ranges);
    for (std::size_t k = 0; k < ranges; ++k) {
        if (begins[k] != guess[k]) moved[k].assign(base + guess[k], parts[k].window_length());
    }
    if (total > reserved) {
        // Everything reserved is kept: range windows still hold text anywhere in it.
        const auto kept = static_cast<std::size_t>(reserved);
        base = output.reserve(total, kept) - kept;
    }
    for (std::size_t k = 0; k < ranges; ++k) {
        const RangeOutput& part = parts[k];
        char* at = base + begins[k];
        if (begins[k] != guess[k]) std::memcpy(at, moved[k].data(), moved[k].size());
        if (part.spilled() != nullptr) std::memcpy(at + part.window_length(), part.spilled(), part.spilled_length());
    }
    return BlockText{total, ascii};
}

}  // namespace

BlockText build_atom_block(const AtomBlockInput& input, TextSink& sink) {
    const std::size_t natoms = input.symbols.rows();
    if (natoms == 0) return {};
    block::check_reservation(input);
    const block::BlockPlan plan = block::plan_block(input);
    if (const std::size_t ranges = parallel_ranges(natoms); ranges > 1) return write_split(input, plan, sink, ranges);
    if (saturating_mul(natoms, plan.usual_line) >= min_exact_reservation) return write_split(input, plan, sink, 1);
    BlockWriter writer(input, plan);
    return writer.write_all(sink);
}

std::string build_atom_block(const AtomBlockInput& input) {
    StringSink sink;
    const BlockText text = build_atom_block(input, sink);
    return std::move(sink).take(text.length);
}

}  // namespace atomkit
