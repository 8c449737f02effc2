// The atom block writer's plan: col_types resolved into columns, the room of a symbol and of a
// line, the runs of float columns formatted together, and the check of the nominal reservation.
#include "core/atom_block/budget.hpp"

#include <algorithm>

#include "core/atom_block/float_batch.hpp"
#include "core/atom_block/notes.hpp"
#include "core/common/saturating.hpp"

namespace atomkit::block {
namespace {

// Symbol rows up to this many code points are budgeted at 4 bytes each in the per-line
// bound; longer rows are checked code point by code point instead, so a huge row of
// mostly zeros does not inflate every line's budget.
constexpr std::size_t max_budgeted_row = 256;
// Lines whose worst case stays within this are checked for room once per line; longer ones
// (thousands of codes) field by field, so that the room held in reserve never exceeds one
// field's worst case and the memory of a call follows its text.
constexpr std::uint64_t max_unchecked_line = std::uint64_t{1} << 20;

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

std::vector<Column> resolve_columns(const AtomBlockInput& in) {
    const bool width_ok = in.sym_width <= max_sym_width;
    std::vector<Column> columns;
    std::size_t floats = 0, ints = 0, bools = 0;
    for (std::size_t position = 0; position < in.col_types.size(); ++position) {
        const std::uint8_t code = in.col_types[position];
        switch (code) {
            case code_float: columns.push_back(numeric_column(code, position, in.floats, floats++)); break;
            case code_int: columns.push_back(numeric_column(code, position, in.ints, ints++)); break;
            case code_bool: columns.push_back(numeric_column(code, position, in.bools, bools++)); break;
            case code_symbol: {
                Column column{width_ok ? code : code_symbol_width_out_of_range};
                column.position = position;
                columns.push_back(column);
                break;
            }
            default: break;  // not a column code: writes nothing, moves no cursor
        }
    }
    return columns;
}

// A line's worst case and usual size. A code beyond its matrix's columns ends the call after
// its separators, so it is budgeted at those alone: a long col_types must fail as out of
// bounds, not as out of memory.
void budget_lines(BlockPlan& plan, std::uint64_t width) {
    std::uint64_t bound = 1;  // the line feed
    std::uint64_t usual = 1;
    for (const Column& column : plan.columns) {
        switch (column.code) {
            case code_symbol:
                bound = saturating_add(bound, plan.symbol_room);
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
    plan.line_bound = bound;
    plan.usual_line = usual;
}

// Runs of float columns are formatted together where a batch kernel makes that pay.
void mark_float_batches(std::vector<Column>& columns) {
    if (float_batch_kernel() == FloatBatchKernel::portable) return;
    for (std::size_t k = 0; k < columns.size();) {
        std::size_t run = 0;
        while (k + run < columns.size() && run < float_batch_max && columns[k + run].code == code_float) {
            ++run;
        }
        if (run > 1) columns[k].batch = static_cast<std::uint8_t>(run);
        k += run == 0 ? 1 : run;
    }
}

}  // namespace

void check_reservation(const AtomBlockInput& input) {
    // The nominal reservation wraps like the unsigned arithmetic it is defined by; only its
    // top bit is an error. What is really reserved follows the codes, not the matrices.
    const std::uint64_t per_line = input.sym_width + float_column_text * std::uint64_t{input.floats.cols()} +
                                   int_column_text * std::uint64_t{input.ints.cols()} +
                                   bool_column_text * std::uint64_t{input.bools.cols()} + 2;
    const std::uint64_t reservation = std::uint64_t{input.symbols.rows()} * per_line;
    if ((reservation >> 63) != 0) capacity_overflow(input);
}

BlockPlan plan_block(const AtomBlockInput& input) {
    BlockPlan plan;
    plan.columns = resolve_columns(input);
    const bool width_ok = input.sym_width <= max_sym_width;
    plan.wide_symbols = input.symbols.cols() > max_budgeted_row;
    // Narrow rows are budgeted whole: at most 4 bytes per code point, however the array
    // changes between a measure and a write. Wide rows check each code point instead.
    // A width out of range fails at the first symbol, before anything is written.
    const std::uint64_t width = width_ok ? input.sym_width : 0;
    if (width_ok) {
        // Plus the store of short padding, which may run past the padding itself.
        plan.symbol_room =
            width + (plan.wide_symbols ? 0 : utf8_max_bytes * input.symbols.cols()) + short_padding;
    }
    budget_lines(plan, width);
    mark_float_batches(plan.columns);
    // A wide symbol takes room beyond the line's bound, so the fields after it check theirs.
    const bool writes_symbols = std::any_of(plan.columns.begin(), plan.columns.end(),
                                            [](const Column& c) { return c.code == code_symbol; });
    plan.checked_lines = plan.line_bound > max_unchecked_line || (plan.wide_symbols && writes_symbols);
    return plan;
}

}  // namespace atomkit::block
