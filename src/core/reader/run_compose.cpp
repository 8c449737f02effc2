// What the ranges of a read made, joined into its RunTable: the frames read whole before the
// limit, in frame order; each layout's rows moved up over those of frames left out; string
// columns joined (and made again where a frame's tokens were dropped, so that no token of a
// frame left out remains); info columns joined over the frames kept.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "core/common/internal_failure.hpp"
#include "core/reader/run_parts.hpp"

namespace atomkit::reader::run {
namespace {

// Which frames of the request the run keeps.
std::vector<std::uint8_t> kept_frames(const Plan& plan, std::size_t frames, std::size_t limit) {
    std::vector<std::uint8_t> kept(frames, 0);
    for (const FrameRange& range : plan.ranges) {
        if (range.first >= limit) break;
        for (std::size_t f = range.first; f < std::min(range.last, limit); ++f) kept[f] = range.kept[f - range.first];
    }
    return kept;
}

void add_frames(const RunRequest& request, Cells& cells, const std::vector<std::uint8_t>& kept, RunTable& run) {
    // Each column at its size at once: grown frame by frame, it is copied again and again.
    const auto frames = static_cast<std::size_t>(std::count(kept.begin(), kept.end(), 1));
    for (auto* column : {&run.frames, &run.natoms, &run.lines}) column->reserve(frames);
    run.layout.reserve(frames);
    for (std::size_t f = 0; f < kept.size(); ++f) {
        if (kept[f] == 0) continue;
        const FrameRow& row = request.rows[f];
        run.frames.push_back(request.numbers[f]);
        run.natoms.push_back(row.natoms);
        run.lines.push_back(row.lineno);
        run.layout.push_back(static_cast<std::int32_t>(row.layout));
    }
    // The cells of the frames kept moved up over those left out (all of them kept: as they are).
    std::size_t to = 0;
    for (std::size_t f = 0; f < kept.size() && frames != kept.size(); ++f) {
        if (kept[f] == 0) continue;
        std::copy_n(cells.lattice.begin() + static_cast<std::ptrdiff_t>(f * 9), 9,
                    cells.lattice.begin() + static_cast<std::ptrdiff_t>(to * 9));
        std::copy_n(cells.pbc.begin() + static_cast<std::ptrdiff_t>(f * 3), 3, cells.pbc.begin() + static_cast<std::ptrdiff_t>(to * 3));
        cells.has_lattice[to] = cells.has_lattice[f];
        cells.has_pbc[to] = cells.has_pbc[f];
        cells.has_properties[to] = cells.has_properties[f];
        ++to;
    }
    cells.lattice.resize(frames * 9);
    cells.pbc.resize(frames * 3);
    for (auto* column : {&cells.has_lattice, &cells.has_pbc, &cells.has_properties}) column->resize(frames);
    run.lattice = std::move(cells.lattice);
    run.pbc = std::move(cells.pbc);
    run.has_lattice = std::move(cells.has_lattice);
    run.has_pbc = std::move(cells.has_pbc);
    run.has_properties = std::move(cells.has_properties);
}

void add_refusals(const RunRequest& request, Plan& plan, std::size_t limit, RunTable& run) {
    for (FrameRange& range : plan.ranges) {
        if (range.first > limit) break;
        for (Refusal& refusal : range.refusals) {
            if (limit < request.rows.size() && refusal.frame > static_cast<std::size_t>(request.numbers[limit])) break;
            run.refusals.push_back(std::move(refusal));
        }
    }
}

void join_info_of(Plan& plan, std::size_t limit, RunTable& run) {
    std::vector<frames::RangeInfo> infos;
    std::vector<std::size_t> firsts;
    std::size_t rows = 0;
    for (FrameRange& range : plan.ranges) {
        if (range.first >= limit) break;
        range.info->keep(range.kept);
        firsts.push_back(rows);
        rows += static_cast<std::size_t>(std::count(range.kept.begin(), range.kept.end(), 1));
        infos.push_back(std::move(*range.info));
    }
    if (!infos.empty()) frames::join_info(infos, firsts, rows, run.info, run.keys, run.loose);
}

// Rows [from, from + count) of a table's buffers moved to row `to`.
void move_rows(ParsedAtoms& atoms, std::size_t to, std::size_t from, std::size_t count) {
    if (to == from || count == 0) return;
    auto move = [&](auto* data, std::size_t width) {
        if (width != 0) std::memmove(data + to * width, data + from * width, count * width * sizeof(*data));
    };
    move(atoms.floats.data(), atoms.n_float_cols);
    move(atoms.ints.data(), atoms.n_int_cols);
    move(atoms.bools.data(), atoms.n_bool_cols);
}

// Each layout's rows of the frames kept moved up to follow one another; the rows each keeps.
std::vector<std::size_t> close_rows(const RunRequest& request, const Plan& plan,
                                    std::vector<std::optional<AtomParser>>& wholes, const std::vector<std::uint8_t>& kept) {
    std::vector<std::size_t> rows(plan.used.size(), 0);
    for (std::size_t f = 0; f < kept.size(); ++f) {
        const FrameRow& row = request.rows[f];
        if (kept[f] == 0 || row.natoms == 0) continue;
        const std::size_t dense = plan.dense[static_cast<std::size_t>(row.layout)];
        move_rows(wholes[dense]->columns(), rows[dense], plan.first_row[f], static_cast<std::size_t>(row.natoms));
        rows[dense] += static_cast<std::size_t>(row.natoms);
    }
    return rows;
}

// A string column made again from its rows: only the tokens they hold, in order of appearance.
void remake(StringColumn& column) {
    StringColumn made;
    made.reserve(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) made.push_back(column[r]);
    column = std::move(made);
}

// Layout `dense`'s string columns: the ranges' columns joined in frame order.
void join_strings(Plan& plan, std::size_t dense, std::size_t limit, ParsedAtoms& atoms) {
    std::vector<AtomParser*> parts;
    bool cut = false;
    for (FrameRange& range : plan.ranges) {
        if (range.first >= limit) break;
        for (LayoutSpan& span : range.spans) {
            if (span.dense != dense || !span.parser) continue;
            parts.push_back(&*span.parser);
            cut = cut || span.cut;
        }
    }
    for (std::size_t c = 0; c < atoms.strs.size(); ++c) {
        if (parts.size() == 1) {
            atoms.strs[c] = std::move(parts[0]->columns().strs[c]);
        } else {
            StringColumn joined;
            joined.reserve(atoms.natoms);
            for (AtomParser* part : parts) joined.append(part->columns().strs[c]);
            atoms.strs[c] = std::move(joined);
        }
        if (atoms.strs[c].size() != atoms.natoms) fail("a string column of other rows than its table");
        if (cut) remake(atoms.strs[c]);
    }
}

void add_atoms(const RunRequest& request, Plan& plan, std::vector<std::optional<AtomParser>>& wholes,
               const std::vector<std::uint8_t>& kept, std::size_t limit, RunTable& run) {
    const std::vector<std::size_t> rows = close_rows(request, plan, wholes, kept);
    std::vector<std::uint8_t> met(plan.used.size(), 0);
    for (std::size_t f = 0; f < kept.size(); ++f) {
        if (kept[f] != 0) {
            const std::size_t dense = plan.dense[static_cast<std::size_t>(request.rows[f].layout)];
            if (dense != none) met[dense] = 1;
        }
    }
    std::vector<std::size_t> order(plan.used.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return plan.used[a] < plan.used[b]; });
    for (const std::size_t dense : order) {
        if (met[dense] == 0) continue;
        ParsedAtoms atoms = std::move(*wholes[dense]).take();
        atoms.natoms = rows[dense];
        atoms.floats.truncate(rows[dense] * atoms.n_float_cols);
        atoms.ints.truncate(rows[dense] * atoms.n_int_cols);
        atoms.bools.truncate(rows[dense] * atoms.n_bool_cols);
        join_strings(plan, dense, limit, atoms);
        run.atoms.push_back({plan.used[dense], std::move(atoms)});
    }
}

}  // namespace

RunTable compose(const RunRequest& request, Plan& plan, std::vector<std::optional<AtomParser>>& wholes, Cells& cells,
                 std::size_t limit) {
    RunTable run;
    const std::vector<std::uint8_t> kept = kept_frames(plan, request.rows.size(), limit);
    add_frames(request, cells, kept, run);
    add_refusals(request, plan, limit, run);
    join_info_of(plan, limit, run);
    add_atoms(request, plan, wholes, kept, limit, run);
    return run;
}

}  // namespace atomkit::reader::run
