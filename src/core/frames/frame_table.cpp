// The frames of a table read in ranges at once, then their comment lines sorted into per-frame
// columns and their layouts' string columns joined in frame order.
#include "core/frames/frame_table.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "core/common/internal_failure.hpp"
#include "core/common/thread_pool.hpp"
#include "core/common/utf8.hpp"

namespace atomkit::frames {
namespace {

// The line that starts at `at` (without its line feed), and where the next one starts.
std::string_view line_from(std::string_view data, std::size_t at, std::size_t& next) noexcept {
    const void* feed = at < data.size() ? std::memchr(data.data() + at, '\n', data.size() - at) : nullptr;
    const std::size_t end = feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - data.data())
                                            : data.size();
    next = std::min(end + 1, data.size());
    return data.substr(at, end - at);
}

// A range of frames and what reading it made: per layout, the parser of the rows its frames
// take (made when the range meets the layout's first frame), and the first frame it refused.
struct FrameRange {
    std::size_t first = 0;
    std::size_t last = 0;
    std::vector<std::size_t> first_rows;  // per layout: the row of this range's first frame of it
    std::vector<std::size_t> last_rows;
    std::vector<std::optional<AtomParser>> parsers;
    std::optional<RangeInfo> info;
    std::optional<TableRefusal> refused;
};

constexpr std::size_t table_ranges_per_thread = 4;

// Ranges of about equal work (atoms plus a share for each comment line), each knowing the
// rows its frames take in every layout.
std::vector<FrameRange> split_frames(const TableRequest& request, std::vector<std::size_t>& layout_rows) {
    const std::size_t n = request.offsets.size();
    const std::size_t layouts = request.col_types.size();
    constexpr std::size_t comment_weight = 8;  // a comment line costs about as much as 8 atom lines
    std::size_t total = 0;
    for (std::size_t f = 0; f < n; ++f) total += static_cast<std::size_t>(request.natoms[f]) + comment_weight;
    // A call that may have every thread of the pool takes several ranges a thread: threads claim
    // them as they go, so one that the machine holds back (another process on its CPU) takes
    // fewer. Fewer threads get a range each, so that no more than they run at once.
    const std::size_t wanted =
        request.tasks > 1 && request.tasks >= thread_count() ? request.tasks * table_ranges_per_thread : request.tasks;
    // Every range keeps a slot per layout: many layouts get few ranges.
    constexpr std::size_t max_range_slots = std::size_t{1} << 16;
    const std::size_t tasks =
        std::max<std::size_t>(1, std::min({wanted, n, max_range_slots / std::max<std::size_t>(layouts, 1)}));
    std::vector<FrameRange> ranges;
    layout_rows.assign(layouts, 0);
    std::size_t done = 0;
    for (std::size_t f = 0; f < n; ++f) {
        if (f == 0 || done >= range_boundary(total, tasks, ranges.size())) {
            if (!ranges.empty()) {
                ranges.back().last = f;
                ranges.back().last_rows = layout_rows;
            }
            FrameRange& range = ranges.emplace_back();
            range.first = f;
            range.first_rows = layout_rows;
            range.parsers.resize(layouts);
        }
        layout_rows[static_cast<std::size_t>(request.layouts[f])] += static_cast<std::size_t>(request.natoms[f]);
        done += static_cast<std::size_t>(request.natoms[f]) + comment_weight;
    }
    if (!ranges.empty()) {
        ranges.back().last = n;
        ranges.back().last_rows = layout_rows;
    }
    return ranges;
}

// A frame's lattice and pbc (pbc as the lattice says when the line gives none).
void store_cell(const ParsedComment& comment, std::size_t f, FrameTableColumns& out) {
    if (comment.lattice) {
        if (comment.lattice->reals.size() != 9) fail("a typed Lattice of other than 9 numbers");
        std::copy_n(comment.lattice->reals.begin(), 9, out.lattice.begin() + static_cast<std::ptrdiff_t>(f * 9));
        out.has_lattice[f] = 1;
    }
    const bool periodic = comment.lattice.has_value();
    for (std::size_t k = 0; k < 3; ++k) {
        out.pbc[f * 3 + k] = static_cast<std::uint8_t>(comment.pbc ? (*comment.pbc)[k] : periodic);
    }
}

TableRefusal refusal_of(std::size_t f, RefusalKind kind) {
    TableRefusal refusal;
    refusal.frame = f;
    refusal.kind = kind;
    return refusal;
}

// The refusal of frame `f` whose atom lines failed (the failure names its row within the frame).
TableRefusal atoms_refusal(std::size_t f, ParseFailure failure) {
    TableRefusal refusal = refusal_of(f, RefusalKind::atoms);
    refusal.row = failure.row;
    refusal.message = std::move(failure.message);
    refusal.in_line = failure.in_line;
    refusal.line_start = failure.line_start;
    return refusal;
}

// Where a range finds its frames' bytes: the request's data, or a window of its file that
// moves on as the frames do.
class RangeText {
public:
    RangeText(const TableRequest& request, const FrameRange& range) : request_(request), last_(range.last) {
        if (request.fd >= 0) window_.emplace(request.fd);
    }

    // Bytes that hold frame f whole, and the offset in the file (or data) they start at;
    // nullopt when the file no longer holds the frame.
    std::optional<std::pair<std::string_view, std::size_t>> of(std::size_t f) {
        if (!window_) return std::pair{request_.data, std::size_t{0}};
        const auto from = static_cast<std::size_t>(request_.offsets[f]);
        const auto to = static_cast<std::size_t>(request_.ends[f]);
        if (!window_->holds(from, to)) {
            // A read reaches as far as the frames after f that end within a window of it.
            std::size_t ahead = to;
            for (std::size_t g = f + 1; g < last_; ++g) {
                const auto end = static_cast<std::size_t>(request_.ends[g]);
                if (end < ahead || end - from > request_.window) break;
                ahead = end;
            }
            if (!window_->read(from, to, ahead)) return std::nullopt;
        }
        return std::pair{window_->bytes(), window_->low()};
    }

private:
    const TableRequest& request_;
    std::size_t last_;
    std::optional<FileWindow> window_;
};

// Reads the frames of one range: comment lines into their frames' rows of `out` and the
// range's info columns, atom lines into the rows of their layout's columns (`wholes`).
void read_range(const TableRequest& request, std::vector<std::optional<AtomParser>>& wholes, FrameTableColumns& out,
                FrameRange& range) {
    RangeInfo& info = range.info.emplace(range.last - range.first);
    const CommentOptions options{.type_all = true, .int_digits_limit = request.int_digits_limit};
    RangeText text(request, range);
    for (std::size_t f = range.first; f < range.last; ++f) {
        const auto held = text.of(f);
        if (!held) {
            range.refused = refusal_of(f, RefusalKind::unread);
            return;
        }
        const auto [data, low] = *held;
        std::size_t at = 0;
        line_from(data, static_cast<std::size_t>(request.offsets[f]) - low, at);  // the count line
        const std::string_view line = line_from(data, at, at);
        const bool utf8 = is_valid_utf8(line);
        std::expected<ParsedComment, CommentError> parsed;
        if (utf8) parsed = parse_comment_line(line, options);
        if (!utf8 || !parsed) {
            range.refused = refusal_of(f, RefusalKind::comment);
            return;
        }
        store_cell(*parsed, f, out);
        if (!info.add(f - range.first, parsed->info)) {
            range.refused = refusal_of(f, RefusalKind::clash);
            return;
        }
        const auto natoms = static_cast<std::size_t>(request.natoms[f]);
        if (natoms == 0) continue;
        const auto layout = static_cast<std::size_t>(request.layouts[f]);
        std::optional<AtomParser>& parser = range.parsers[layout];
        if (!parser) {
            const std::string& codes = request.col_types[layout];
            parser.emplace(wholes[layout]->columns(),
                           std::span(reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size()),
                           /*check_strings=*/true, range.first_rows[layout], range.last_rows[layout]);
            parser->set_strict(request.strict);
        }
        if (!parser->parse_more_rows(data, at, natoms)) {
            range.refused = atoms_refusal(f, std::move(*parser).take_failure());
            range.refused->line_start += low;
            return;
        }
    }
}

}  // namespace

std::expected<FrameTableColumns, TableRefusal> read_frame_table(const TableRequest& request) {
    const std::size_t n = request.offsets.size();
    std::vector<std::size_t> layout_rows;
    std::vector<FrameRange> ranges = split_frames(request, layout_rows);
    std::vector<std::optional<AtomParser>> wholes(request.col_types.size());
    for (std::size_t layout = 0; layout < wholes.size(); ++layout) {
        const std::string& codes = request.col_types[layout];
        wholes[layout].emplace(layout_rows[layout],
                               std::span(reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size()),
                               /*check_strings=*/true, layout_rows[layout]);
    }
    FrameTableColumns out;
    out.lattice.assign(n * 9, 0.0);
    out.has_lattice.assign(n, 0);
    out.pbc.assign(n * 3, 0);
    if (ranges.size() == 1) {
        read_range(request, wholes, out, ranges[0]);
    } else {
        parallel_for(ranges.size(), [&](std::size_t k) { read_range(request, wholes, out, ranges[k]); });
    }
    // The first frame refused: by its range, or for an info value that does not fit the
    // frames before it in other ranges (found as the ranges are joined).
    std::vector<RangeInfo> infos;
    std::vector<std::size_t> firsts;
    std::optional<TableRefusal> refused;
    for (FrameRange& range : ranges) {
        infos.push_back(std::move(*range.info));
        firsts.push_back(range.first);
        if (range.refused && !refused) refused = std::move(range.refused);
    }
    const std::optional<std::size_t> clash = join_info(infos, firsts, n, out.info, out.keys, out.loose);
    // A frame's info values are sorted in before its atom lines are read: on one thread, its
    // clash is found first.
    if (clash && (!refused || *clash <= refused->frame)) return std::unexpected(refusal_of(*clash, RefusalKind::clash));
    if (refused) return std::unexpected(std::move(*refused));
    for (std::size_t layout = 0; layout < wholes.size(); ++layout) {
        ParsedAtoms atoms = std::move(*wholes[layout]).take();
        std::vector<AtomParser*> parts;  // the ranges that met the layout, in frame order
        for (FrameRange& range : ranges) {
            if (range.parsers[layout]) parts.push_back(&*range.parsers[layout]);
        }
        for (std::size_t c = 0; c < atoms.strs.size(); ++c) {
            // One range's column is the layout's as it stands; more are joined in order.
            if (parts.size() == 1) {
                atoms.strs[c] = std::move(parts[0]->columns().strs[c]);
                continue;
            }
            StringColumn joined;
            for (AtomParser* part : parts) joined.append(part->columns().strs[c]);
            atoms.strs[c] = std::move(joined);
        }
        out.atoms.push_back(std::move(atoms));
    }
    return out;
}

}  // namespace atomkit::frames
