// Each range's frames read, and the waves of ranges of a read's plan (run_plan.cpp) run on the
// pool with keep_going asked between them.
#include "core/reader/run_read.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/atom_lines/split_parse.hpp"
#include "core/common/internal_failure.hpp"
#include "core/common/thread_pool.hpp"
#include "core/common/utf8.hpp"
#include "core/frames/count_line.hpp"
#include "core/frames/properties_value.hpp"
#include "core/reader/large_frame.hpp"
#include "core/reader/run_parts.hpp"

namespace atomkit::reader {
namespace {

using run::Cells;
using run::FrameRange;
using run::LayoutSpan;
using run::none;
using run::Plan;

// A frame of a file larger than this many windows has its atom lines read a window at a time.
constexpr std::size_t large_frame_windows = 4;

// The line that starts at `at` (without its line feed), and where the next one starts.
std::string_view line_from(std::string_view data, std::size_t at, std::size_t& next) noexcept {
    const void* feed = at < data.size() ? std::memchr(data.data() + at, '\n', data.size() - at) : nullptr;
    const std::size_t end = feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - data.data())
                                            : data.size();
    next = std::min(end + 1, data.size());
    return data.substr(at, end - at);
}

// Where a range finds its frames' bytes: the request's memory, or a window of its file that
// moves on as the frames do.
class RangeText {
public:
    struct Held {
        std::string_view bytes;  // from at most the frame's count line to its end
        std::uint64_t low = 0;   // the offset they start at
    };

    RangeText(const RunRequest& request, const FrameRange& range) : request_(request), last_(range.last) {
        if (request.source.fd >= 0) window_.emplace(request.source.fd);
    }

    // Frame f's bytes; nullopt when the file ends before the frame does.
    std::expected<std::optional<Held>, IoError> of(std::size_t f) {
        const auto from = static_cast<std::size_t>(request_.rows[f].offset);
        const auto to = static_cast<std::size_t>(request_.rows[f].end);
        if (!window_) {
            const RunSource& source = request_.source;
            if (from < source.base || to - source.base > source.data.size()) fail("read_run: a frame's bytes are not held");
            return Held{source.data.substr(0, static_cast<std::size_t>(to - source.base)), source.base};
        }
        if (!window_->holds(from, to)) {
            // A read reaches as far as the frames after f that end within a window of it.
            std::size_t ahead = to;
            for (std::size_t g = f + 1; g < last_; ++g) {
                const auto end = static_cast<std::size_t>(request_.rows[g].end);
                if (end < ahead || end - from > request_.window) break;
                ahead = end;
            }
            switch (window_->read(from, to, ahead)) {
                case frames::WindowRead::ok: break;
                case frames::WindowRead::short_file: return std::nullopt;
                case frames::WindowRead::failed: return std::unexpected(IoError{window_->error()});
            }
        }
        const std::string_view bytes = window_->bytes();
        return Held{bytes.substr(0, to - window_->low()), window_->low()};
    }

private:
    const RunRequest& request_;
    std::size_t last_;
    std::optional<frames::FileWindow> window_;
};

Refusal refusal_of(const RunRequest& request, std::size_t f, RefusalKind kind) {
    Refusal refusal;
    refusal.kind = kind;
    refusal.frame = static_cast<std::size_t>(request.numbers[f]);
    refusal.count_line = static_cast<std::uint64_t>(request.rows[f].lineno);
    refusal.line = refusal.count_line;
    refusal.fatal = kind == RefusalKind::changed;
    return refusal;
}

Refusal comment_refusal(const RunRequest& request, std::size_t f, std::string_view line) {
    Refusal refusal = refusal_of(request, f, RefusalKind::comment);
    refusal.line = refusal.count_line + 1;
    refusal.text.assign(line);
    return refusal;
}

// The text of the line a failure names (empty for a failure in no line).
std::string_view failed_line(const ParseFailure& failure, std::string_view data) noexcept {
    std::size_t next = 0;
    return failure.in_line ? line_from(data, failure.line_start, next) : std::string_view{};
}

Refusal atoms_refusal(const RunRequest& request, std::size_t f, const ParseFailure& failure, std::string_view line) {
    Refusal refusal = refusal_of(request, f, RefusalKind::atoms);
    refusal.message = failure.message;
    refusal.row = static_cast<std::int64_t>(failure.row);
    refusal.column = failure.column;
    refusal.in_line = failure.in_line;
    refusal.line = refusal.count_line + 2 + (failure.in_line ? failure.row : 0);
    if (failure.in_line) refusal.text.assign(line);
    return refusal;
}

// A frame's lattice and pbc (pbc as the lattice says when the line gives none).
void store_cell(const double* lattice, const std::optional<std::array<bool, 3>>& pbc, bool has_properties,
                std::size_t f, Cells& cells) {
    if (lattice != nullptr) {
        std::copy_n(lattice, 9, cells.lattice.begin() + static_cast<std::ptrdiff_t>(f * 9));
        cells.has_lattice[f] = 1;
    }
    const bool periodic = lattice != nullptr;
    for (std::size_t k = 0; k < 3; ++k) {
        cells.pbc[f * 3 + k] = static_cast<std::uint8_t>(pbc ? (*pbc)[k] : periodic);
    }
    cells.has_pbc[f] = pbc.has_value() ? 1 : 0;
    cells.has_properties[f] = has_properties ? 1 : 0;
}

// Reads what one range needs while its frames are read.
struct RangeReader {
    const RunRequest& request;
    Plan& plan;
    std::vector<std::optional<AtomParser>>& wholes;
    Cells& cells;
    FrameRange& range;
    CommentOptions options;
    std::size_t split = 1;  // the ranges a large frame's rows are parsed in at once (1: none)

    std::span<const std::uint8_t> codes_of(std::size_t f) const {
        const std::string& codes = request.layouts[static_cast<std::size_t>(request.rows[f].layout)]->value().col_types;
        return {reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size()};
    }

    // The ranges frame f's rows are parsed in at once: every thread of the pool claims ranges as
    // threads go; fewer threads take one a thread, so that no more run at once. 1: none.
    std::size_t ranges_of(std::size_t f) const {
        const auto natoms = static_cast<std::size_t>(request.rows[f].natoms);
        if (split < 2 || natoms < parallel_min_rows() || codes_of(f).empty()) return 1;
        return split >= thread_count() ? parallel_ranges(natoms) : std::min(split, natoms);
    }

    // The parser of frame f's layout span in this range, ready to fill the frame's first row.
    AtomParser& parser_of(std::size_t f) {
        LayoutSpan& span = range.spans[plan.span[f]];
        if (!span.parser) {
            span.parser.emplace(wholes[span.dense]->columns(), codes_of(f), /*check_strings=*/true, span.first_row,
                                span.last_row);
            span.parser->set_strict(true);
        }
        if (span.parser->row() != plan.first_row[f]) {
            span.parser->resume(span.parser->string_rows(), plan.first_row[f]);  // after a frame left out
        }
        return *span.parser;
    }

    ParsedAtoms& table_of(std::size_t f) { return wholes[range.spans[plan.span[f]].dense]->columns(); }

    // Frame f's rows parsed apart (its string columns `parts`, nullopt when they failed) made the
    // parser's: the strings added, or none, and the parser past the frame either way.
    void take_parts(std::size_t f, AtomParser& parser, std::optional<std::vector<StringColumn>> parts) {
        const std::size_t strings = parser.string_rows();
        const auto natoms = static_cast<std::size_t>(request.rows[f].natoms);
        if (parts) {
            for (std::size_t c = 0; c < parts->size(); ++c) parser.columns().strs[c].append((*parts)[c]);
        }
        parser.resume(parts ? strings + natoms : strings, plan.first_row[f] + natoms);
    }

    // Frame f's atom lines parsed into its rows (data[at..] the first of them); its refusal if
    // they fail, its string tokens then dropped. A frame large enough goes in ranges at once.
    std::optional<Refusal> parse_atoms(std::size_t f, std::string_view data, std::size_t at) {
        const FrameRow& row = request.rows[f];
        AtomParser& parser = parser_of(f);
        const std::size_t first = plan.first_row[f];
        const auto natoms = static_cast<std::size_t>(row.natoms);
        if (const std::size_t ranges = ranges_of(f); ranges > 1) {
            if (auto parsed = parse_frame_split(table_of(f), data, at, {first, natoms}, codes_of(f), ranges)) {
                if (!*parsed) {
                    take_parts(f, parser, std::nullopt);
                    return atoms_refusal(request, f, parsed->error(), failed_line(parsed->error(), data));
                }
                take_parts(f, parser, std::move(parsed->value()));
                return std::nullopt;
            }
        }
        const std::size_t strings = parser.string_rows();
        if (parser.parse_more_rows(data, at, natoms)) return std::nullopt;
        Refusal refusal = atoms_refusal(request, f, parser.failure(), failed_line(parser.failure(), data));
        LayoutSpan& span = range.spans[plan.span[f]];
        span.cut = span.cut || parser.string_rows() != strings;
        parser.resume(strings, first + natoms);
        return refusal;
    }

    // Frame f's atom lines read from the file a window at a time (the first at offset `begin`).
    std::expected<std::optional<Refusal>, IoError> parse_atoms_in_file(std::size_t f, std::uint64_t begin) {
        const FrameRow& row = request.rows[f];
        AtomParser& parser = parser_of(f);
        const LargeFrame frame{request.source.fd, begin, static_cast<std::uint64_t>(row.end),
                               {plan.first_row[f], static_cast<std::size_t>(row.natoms)}, codes_of(f), ranges_of(f),
                               request.window};
        LargeFrameRead read = read_large_frame(frame, table_of(f));
        if (read.io || read.changed || read.failure) take_parts(f, parser, std::nullopt);
        if (read.io) return std::unexpected(*read.io);
        if (read.changed) return refusal_of(request, f, RefusalKind::changed);
        if (read.failure) return atoms_refusal(request, f, *read.failure, read.failed_line);
        take_parts(f, parser, std::move(read.strings));
        return std::nullopt;
    }

    // Frame f read from its bytes (data, which start at the file's offset `low`); its refusal
    // if it cannot be. With `atoms_in_file`, data holds its count and comment lines only, and
    // its atom lines are read from the file.
    std::expected<std::optional<Refusal>, IoError> read_frame(std::size_t f, std::string_view data, std::uint64_t low,
                                                              bool atoms_in_file = false) {
        const FrameRow& row = request.rows[f];
        std::size_t at = static_cast<std::size_t>(static_cast<std::uint64_t>(row.offset) - low);
        // A count line that no longer says the frame's atoms: the file is not what was scanned.
        const auto natoms = frames::read_count_line(line_from(data, at, at));
        if (!natoms || *natoms != static_cast<std::uint64_t>(row.natoms)) return refusal_of(request, f, RefusalKind::changed);
        const std::string_view line = line_from(data, at, at);
        // Most lines are typed in one pass into the range's own buffers; any other is parsed whole.
        // Once several lines in a row were declined, only every 32nd is tried: files whose lines
        // hold lists then pay little for the try.
        std::optional<ParsedComment> comment;
        const bool tried = range.declined < 4 || range.declined % 32 == 0;
        range.declined = tried && range.line.read(line, options) ? 0 : range.declined + 1;
        if (range.declined != 0) {
            if (!is_valid_utf8(line)) return comment_refusal(request, f, line);
            auto parsed = parse_declined_line(line, options);
            if (!parsed) {
                Refusal refusal = comment_refusal(request, f, line);
                refusal.comment_error = std::move(parsed.error());
                return refusal;
            }
            comment = std::move(*parsed);
        }
        const ParsedLayout* layout = request.layouts[static_cast<std::size_t>(row.layout)];
        // The scan could not read this line, which reads now.
        if (layout == nullptr) return refusal_of(request, f, RefusalKind::changed);
        if (!layout->has_value()) {
            Refusal refusal = comment_refusal(request, f, line);
            refusal.properties_error = layout->error();
            const std::optional<std::string_view> properties =
                comment ? std::optional<std::string_view>(comment->properties) : range.line.properties();
            refusal.properties = properties.value_or(frames::plain_xyz_properties);
            return refusal;
        }
        if (row.natoms > 0) {
            if (!atoms_in_file) {
                if (auto refused = parse_atoms(f, data, at)) return refused;
            } else {
                auto refused = parse_atoms_in_file(f, low + at);
                if (!refused || *refused) return refused;
            }
        }
        if (comment) {
            const std::optional<CommentValue>& lattice = comment->lattice;
            if (lattice && lattice->reals.size() != 9) fail("a typed Lattice of other than 9 numbers");
            store_cell(lattice ? lattice->reals.data() : nullptr, comment->pbc, comment->properties.has_value(), f, cells);
            range.info->add(f - range.first, comment->info);
        } else {
            store_cell(range.line.lattice(), range.line.pbc(), range.line.properties().has_value(), f, cells);
            range.info->add(f - range.first, range.line);
        }
        range.kept[f - range.first] = 1;
        return std::nullopt;
    }

    // A frame of a file larger than a few windows: its atom lines are not held whole.
    bool large(std::size_t f) const {
        const FrameRow& row = request.rows[f];
        return request.source.fd >= 0 && row.natoms > 0 &&
               static_cast<std::uint64_t>(row.end - row.offset) > large_frame_windows * request.window;
    }

    // Frame f of a file, larger than a few windows: its count and comment lines read first (a
    // window, more for a longer comment line), then its atom lines a window at a time.
    std::expected<std::optional<Refusal>, IoError> read_large(std::size_t f) {
        const FrameRow& row = request.rows[f];
        const auto from = static_cast<std::uint64_t>(row.offset);
        const auto end = static_cast<std::uint64_t>(row.end);
        frames::FileWindow head(request.source.fd);
        for (std::uint64_t length = request.window;; length *= 2) {
            const std::uint64_t ahead = std::min(end, from + length);
            switch (head.read(from, ahead, ahead)) {
                case frames::WindowRead::ok: break;
                case frames::WindowRead::short_file: return refusal_of(request, f, RefusalKind::changed);
                case frames::WindowRead::failed: return std::unexpected(IoError{head.error()});
            }
            const std::string_view bytes = head.bytes();
            const std::size_t count_end = bytes.find('\n');
            const bool comment_held = count_end != std::string_view::npos &&
                                      bytes.find('\n', count_end + 1) != std::string_view::npos;
            // The whole frame held (its lines fewer than the scan found): read as any frame.
            if (ahead == end) return read_frame(f, bytes, from);
            if (comment_held) return read_frame(f, bytes, from, /*atoms_in_file=*/true);
        }
    }

    void run() {
        range.info.emplace(range.last - range.first);
        range.kept.assign(range.last - range.first, 0);
        RangeText text(request, range);
        for (std::size_t f = range.first; f < range.last; ++f) {
            std::expected<std::optional<Refusal>, IoError> refusal;
            if (large(f)) {
                refusal = read_large(f);
            } else if (const auto held = text.of(f); !held) {
                refusal = std::unexpected(held.error());
            } else {
                refusal = *held ? read_frame(f, (*held)->bytes, (*held)->low) : refusal_of(request, f, RefusalKind::changed);
            }
            if (!refusal) {
                range.io = refusal.error();
                range.io_frame = f;
                return;
            }
            if (!*refusal) continue;
            const bool halts = (*refusal)->fatal || !request.keep_going_past;
            range.refusals.push_back(std::move(**refusal));
            if (halts) {
                range.halt = f;
                return;
            }
        }
    }
};

// Each layout's table, made at its final size (the ranges parse into its rows).
std::vector<std::optional<AtomParser>> layout_tables(const RunRequest& request, const Plan& plan) {
    std::vector<std::optional<AtomParser>> wholes(plan.used.size());
    for (std::size_t dense = 0; dense < wholes.size(); ++dense) {
        const std::string& codes = request.layouts[static_cast<std::size_t>(plan.used[dense])]->value().col_types;
        wholes[dense].emplace(plan.rows[dense], std::span(reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size()),
                              /*check_strings=*/true, plan.rows[dense]);
    }
    return wholes;
}

// The frame a wave's ranges end the read at (the first halt; none to go on), or the I/O error
// met before it.
std::expected<std::size_t, IoError> wave_halt(const Plan& plan, std::size_t begin, std::size_t count) {
    std::size_t halt = none;
    const FrameRange* failed = nullptr;
    for (std::size_t k = begin; k < begin + count; ++k) {
        const FrameRange& range = plan.ranges[k];
        halt = std::min(halt, range.halt);
        if (range.io && (failed == nullptr || range.io_frame < failed->io_frame)) failed = &range;
    }
    if (failed != nullptr && failed->io_frame < halt) return std::unexpected(*failed->io);
    return halt;
}

bool keep_on(const RunRequest& request) {
    return request.keep_going == nullptr || !*request.keep_going || (*request.keep_going)();
}

}  // namespace

std::expected<ReadOutcome, IoError> read_run(const RunRequest& request) {
    if (request.numbers.size() != request.rows.size()) fail("read_run: a number for each frame expected");
    Plan plan = run::plan_of(request);
    std::vector<std::optional<AtomParser>> wholes = layout_tables(request, plan);
    Cells cells(request.rows.size());
    const CommentOptions options{.type_all = true, .int_digits_limit = request.int_digits_limit};
    ReadOutcome outcome;
    std::size_t limit = request.rows.size();
    for (std::size_t w = 0; w + 1 < plan.waves.size() && limit == request.rows.size(); ++w) {
        const std::size_t begin = plan.waves[w];
        const std::size_t count = plan.waves[w + 1] - begin;
        if (w > 0 && !keep_on(request)) {
            outcome.cancelled = true;
            limit = plan.ranges[begin].first;
            break;
        }
        // A wave of one range leaves the other threads free for its large frames.
        const std::size_t split = count == 1 ? std::min(request.threads, thread_count()) : 1;
        auto read = [&](std::size_t k) {
            RangeReader{request, plan, wholes, cells, plan.ranges[begin + k], options, split}.run();
        };
        if (count == 1) {
            read(0);
        } else {
            parallel_for(count, read);
        }
        const auto halt = wave_halt(plan, begin, count);
        if (!halt) return std::unexpected(halt.error());
        limit = std::min(limit, *halt);
    }
    outcome.run = run::compose(request, plan, wholes, cells, limit);
    return outcome;
}

}  // namespace atomkit::reader
