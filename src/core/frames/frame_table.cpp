// The frames of a table read in ranges at once, then their comment lines sorted into per-frame
// columns and their layouts' string columns joined in frame order.
#include "core/frames/frame_table.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <unordered_map>
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

// Whether every value of the line was typed here (none left to the package's parser).
bool typed_alone(const ParsedComment& comment) noexcept {
    if (comment.lattice && comment.lattice->kind == CommentValueKind::deferred) return false;
    return std::none_of(comment.info.begin(), comment.info.end(),
                        [](const CommentItem& item) { return item.value.kind == CommentValueKind::deferred; });
}

// A range of frames and what reading it made: per layout, the parser of the rows its frames
// take (made when the range meets the layout's first frame), and the first frame it refused.
struct FrameRange {
    std::size_t first = 0;
    std::size_t last = 0;
    std::vector<std::size_t> first_rows;  // per layout: the row of this range's first frame of it
    std::vector<std::size_t> last_rows;
    std::vector<std::optional<AtomParser>> parsers;
    std::optional<std::size_t> refused;
};

// Ranges of about equal work (atoms plus a share for each comment line), each knowing the
// rows its frames take in every layout.
std::vector<FrameRange> split_frames(const TableRequest& request, std::vector<std::size_t>& layout_rows) {
    const std::size_t n = request.offsets.size();
    const std::size_t layouts = request.col_types.size();
    constexpr std::size_t comment_weight = 8;  // a comment line costs about as much as 8 atom lines
    std::size_t total = 0;
    for (std::size_t f = 0; f < n; ++f) total += static_cast<std::size_t>(request.natoms[f]) + comment_weight;
    const std::size_t tasks = std::max<std::size_t>(1, std::min(request.tasks, n));
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

// Reads the frames of one range: comment lines into `comments`, atom lines into the rows of
// their layout's columns (`wholes`).
void read_range(const TableRequest& request, std::vector<std::optional<AtomParser>>& wholes,
                std::vector<ParsedComment>& comments, FrameRange& range) {
    const std::string_view data = request.data;
    for (std::size_t f = range.first; f < range.last; ++f) {
        std::size_t at = 0;
        line_from(data, static_cast<std::size_t>(request.offsets[f]), at);  // the count line
        const std::string_view line = line_from(data, at, at);
        const bool utf8 = is_valid_utf8(line);
        std::expected<ParsedComment, CommentError> parsed;
        if (utf8) parsed = parse_comment_line(line);
        if (!utf8 || !parsed || !typed_alone(*parsed)) {
            range.refused = f;
            return;
        }
        comments[f] = std::move(*parsed);
        const auto natoms = static_cast<std::size_t>(request.natoms[f]);
        if (natoms == 0) continue;
        const auto layout = static_cast<std::size_t>(request.layouts[f]);
        std::optional<AtomParser>& parser = range.parsers[layout];
        if (!parser) {
            const std::string& codes = request.col_types[layout];
            parser.emplace(wholes[layout]->columns(),
                           std::span(reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size()),
                           /*check_strings=*/true, range.first_rows[layout], range.last_rows[layout]);
        }
        if (!parser->parse_more_rows(data, at, natoms)) {
            range.refused = f;
            return;
        }
    }
}

// The info columns, built frame by frame from the typed comment lines.
class InfoColumns {
public:
    explicit InfoColumns(std::size_t frames) : frames_(frames) {}

    // Adds a frame's item; false when its value's type differs from the key's in frames before.
    bool add(std::size_t frame, const CommentItem& item, std::vector<std::uint32_t>& keys) {
        const CommentValue& value = item.value;
        const CommentValueKind kind = value.kind == CommentValueKind::flag ? CommentValueKind::boolean : value.kind;
        const std::size_t width = kind == CommentValueKind::float_array ? value.reals.size()
                                  : is_array(kind)                     ? value.ints.size()
                                                                       : 1;
        auto [place, fresh] = index_.try_emplace(item.key, static_cast<std::uint32_t>(columns_.size()));
        if (fresh) start(item.key, kind, value.square, width);
        InfoColumn& column = columns_[place->second];
        if (column.kind != kind && numbers(column.kind) && numbers(kind)) mix(column);
        if (column.kind != (column.mixed && kind == CommentValueKind::integer ? CommentValueKind::real : kind) ||
            column.square != value.square || column.width != width) {
            return false;
        }
        keys.push_back(place->second);
        column.present[frame] = 1;
        store(column, frame, value);
        return true;
    }

    std::vector<InfoColumn> take() && { return std::move(columns_); }

private:
    static bool is_array(CommentValueKind kind) noexcept {
        return kind == CommentValueKind::bool_array || kind == CommentValueKind::int_array ||
               kind == CommentValueKind::float_array;
    }

    static bool numbers(CommentValueKind kind) noexcept {
        return kind == CommentValueKind::integer || kind == CommentValueKind::real;
    }

    // An integer column met a real, or a real column an integer: from now on reals, with the
    // integers kept beside them (Python gives each frame its value as written).
    void mix(InfoColumn& column) {
        if (column.mixed) return;
        column.mixed = true;
        column.integral.assign(frames_, 0);
        if (column.kind == CommentValueKind::integer) {
            column.reals.assign(frames_, 0.0);
            for (std::size_t f = 0; f < frames_; ++f) {
                column.reals[f] = static_cast<double>(column.ints[f]);
                column.integral[f] = column.present[f];
            }
        } else {
            column.ints.assign(frames_, 0);
        }
        column.kind = CommentValueKind::real;
    }

    void start(const std::string& key, CommentValueKind kind, bool square, std::size_t width) {
        InfoColumn& column = columns_.emplace_back();
        column.key = key;
        column.kind = kind;
        column.square = square;
        column.width = width;
        column.present.assign(frames_, 0);
        text_ids_.emplace_back();  // used by text columns only
        if (kind == CommentValueKind::real || kind == CommentValueKind::float_array) {
            column.reals.assign(frames_ * width, 0.0);
        } else if (kind == CommentValueKind::text) {
            column.text_index.assign(frames_, -1);
        } else {
            column.ints.assign(frames_ * width, 0);
        }
    }

    void store(InfoColumn& column, std::size_t frame, const CommentValue& value) {
        switch (column.kind) {
            case CommentValueKind::real:
                if (value.kind == CommentValueKind::integer) {
                    column.reals[frame] = static_cast<double>(value.integer);
                    column.ints[frame] = value.integer;
                    column.integral[frame] = 1;
                } else {
                    column.reals[frame] = value.real;
                }
                break;
            case CommentValueKind::integer:
                column.ints[frame] = value.integer;
                break;
            case CommentValueKind::boolean:
                column.ints[frame] = value.kind == CommentValueKind::flag || value.boolean ? 1 : 0;
                break;
            case CommentValueKind::float_array:
                std::copy(value.reals.begin(), value.reals.end(), column.reals.begin() + frame * column.width);
                break;
            case CommentValueKind::bool_array:
            case CommentValueKind::int_array:
                std::copy(value.ints.begin(), value.ints.end(), column.ints.begin() + frame * column.width);
                break;
            case CommentValueKind::text:
                column.text_index[frame] = text_id(column, value.text);
                break;
            default:
                fail("an info value of a kind the table does not keep");
        }
    }

    std::int32_t text_id(InfoColumn& column, const std::string& text) {
        auto& ids = text_ids_[static_cast<std::size_t>(&column - columns_.data())];
        auto [place, fresh] = ids.try_emplace(text, static_cast<std::int32_t>(column.texts.size()));
        if (fresh) column.texts.push_back(text);
        return place->second;
    }

    std::size_t frames_;
    std::vector<InfoColumn> columns_;
    std::unordered_map<std::string, std::uint32_t> index_;
    std::vector<std::unordered_map<std::string, std::int32_t>> text_ids_;  // per column: its texts' numbers
};

// The per-frame columns of the typed comment lines; the first frame whose info does not fit
// the columns of the frames before it, if one does not.
std::optional<std::size_t> sort_comments(std::vector<ParsedComment>& comments, FrameTableColumns& out) {
    const std::size_t n = comments.size();
    out.lattice.assign(n * 9, 0.0);
    out.has_lattice.assign(n, 0);
    out.pbc.assign(n * 3, 0);
    out.key_set.assign(n, 0);
    InfoColumns info(n);
    std::map<std::vector<std::uint32_t>, std::int32_t> key_set_of;
    std::vector<std::uint32_t> keys;
    for (std::size_t f = 0; f < n; ++f) {
        ParsedComment& comment = comments[f];
        if (comment.lattice) {
            if (comment.lattice->reals.size() != 9) fail("a typed Lattice of other than 9 numbers");
            std::copy_n(comment.lattice->reals.begin(), 9, out.lattice.begin() + f * 9);
            out.has_lattice[f] = 1;
        }
        for (std::size_t k = 0; k < 3; ++k) out.pbc[f * 3 + k] = static_cast<std::uint8_t>(comment.pbc ? (*comment.pbc)[k] : out.has_lattice[f] != 0);
        keys.clear();
        for (const CommentItem& item : comment.info) {
            if (!info.add(f, item, keys)) return f;
        }
        if (f == 0 || keys != out.key_sets[static_cast<std::size_t>(out.key_set[f - 1])]) {
            auto [place, fresh] = key_set_of.try_emplace(keys, static_cast<std::int32_t>(out.key_sets.size()));
            if (fresh) out.key_sets.push_back(keys);
            out.key_set[f] = place->second;
        } else {
            out.key_set[f] = out.key_set[f - 1];
        }
        comment = ParsedComment{};  // its memory goes as soon as it is sorted
    }
    out.info = std::move(info).take();
    return std::nullopt;
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
    std::vector<ParsedComment> comments(n);
    if (ranges.size() == 1) {
        read_range(request, wholes, comments, ranges[0]);
    } else {
        parallel_for(ranges.size(), [&](std::size_t k) { read_range(request, wholes, comments, ranges[k]); });
    }
    for (const FrameRange& range : ranges) {
        if (range.refused) return std::unexpected(TableRefusal{*range.refused});
    }

    FrameTableColumns out;
    if (const std::optional<std::size_t> misfit = sort_comments(comments, out)) {
        return std::unexpected(TableRefusal{*misfit});
    }
    for (std::size_t layout = 0; layout < wholes.size(); ++layout) {
        ParsedAtoms atoms = std::move(*wholes[layout]).take();
        for (std::size_t c = 0; c < atoms.strs.size(); ++c) {
            StringColumn joined;
            for (FrameRange& range : ranges) {
                if (range.parsers[layout]) joined.append(range.parsers[layout]->columns().strs[c]);
            }
            atoms.strs[c] = std::move(joined);
        }
        out.atoms.push_back(std::move(atoms));
    }
    return out;
}

}  // namespace atomkit::frames
