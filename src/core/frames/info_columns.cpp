// Info columns a range at a time, and the ranges joined: keys in order of first appearance,
// integers among reals kept beside a real column, texts numbered once per column.
#include "core/frames/info_columns.hpp"

#include <algorithm>
#include <utility>

#include "core/common/internal_failure.hpp"

namespace atomkit::frames {
namespace {

bool is_array(CommentValueKind kind) noexcept {
    return kind == CommentValueKind::bool_array || kind == CommentValueKind::int_array ||
           kind == CommentValueKind::float_array;
}

bool is_number(CommentValueKind kind) noexcept {
    return kind == CommentValueKind::integer || kind == CommentValueKind::real;
}

InfoColumn new_column(const std::string& key, CommentValueKind kind, bool square, std::size_t width,
                      std::size_t frames) {
    InfoColumn column;
    column.key = key;
    column.kind = kind;
    column.square = square;
    column.width = width;
    column.present.assign(frames, 0);
    if (kind == CommentValueKind::deferred) return column;  // no value to keep yet
    if (kind == CommentValueKind::real || kind == CommentValueKind::float_array) {
        column.reals.assign(frames * width, 0.0);
    } else if (kind == CommentValueKind::text) {
        column.text_index.assign(frames, -1);
    } else {
        column.ints.assign(frames * width, 0);
    }
    return column;
}

// An integer column that meets a real, or a real column that meets an integer: from then on
// reals, with the integers kept beside them (each frame's value is given back as written).
void mix(InfoColumn& column, std::size_t frames) {
    if (column.mixed) return;
    column.mixed = true;
    column.integral.assign(frames, 0);
    if (column.kind == CommentValueKind::integer) {
        column.reals.assign(frames, 0.0);
        for (std::size_t f = 0; f < frames; ++f) {
            column.reals[f] = static_cast<double>(column.ints[f]);
            column.integral[f] = column.present[f];
        }
    } else {
        column.ints.assign(frames, 0);
    }
    column.kind = CommentValueKind::real;
}

// Whether values of `kind` (and shape) go into `column`, mixing it if they need to; a column
// of loose values alone takes the kind of the first value it keeps.
bool takes(InfoColumn& column, CommentValueKind kind, bool square, std::size_t width, std::size_t frames) {
    if (kind == CommentValueKind::deferred) return true;
    if (column.kind == CommentValueKind::deferred) column = new_column(column.key, kind, square, width, frames);
    if (column.kind != kind && is_number(column.kind) && is_number(kind)) mix(column, frames);
    const CommentValueKind stored = column.mixed && kind == CommentValueKind::integer ? CommentValueKind::real : kind;
    return column.kind == stored && column.square == square && column.width == width;
}

std::int32_t text_id(InfoColumn& column, std::unordered_map<std::string, std::int32_t>& ids, const std::string& text) {
    auto [place, fresh] = ids.try_emplace(text, static_cast<std::int32_t>(column.texts.size()));
    if (fresh) column.texts.push_back(text);
    return place->second;
}

std::int32_t key_set_id(KeySets& keys, std::map<std::vector<std::uint32_t>, std::int32_t>& set_of,
                        const std::vector<std::uint32_t>& frame_keys) {
    auto [place, fresh] = set_of.try_emplace(frame_keys, static_cast<std::int32_t>(keys.sets.size()));
    if (fresh) keys.sets.push_back(frame_keys);
    return place->second;
}

// Stores one frame's value (the column takes its kind).
void store(InfoColumn& column, std::size_t frame, const CommentValue& value, std::unordered_map<std::string, std::int32_t>& ids) {
    column.present[frame] = 1;
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
            column.text_index[frame] = text_id(column, ids, value.text);
            break;
        default:
            fail("an info value of a kind the table does not keep");
    }
}

// Copies the rows of `part` (a range's column) to `whole` from frame `first` on; `whole`
// takes part's kind (mixed where one is integers and the other reals).
void copy_rows(InfoColumn& whole, const InfoColumn& part, std::size_t first,
               std::unordered_map<std::string, std::int32_t>& ids) {
    const std::size_t frames = part.present.size();
    std::copy(part.present.begin(), part.present.end(), whole.present.begin() + first);
    const std::size_t w = whole.width;
    if (whole.kind == CommentValueKind::real) {
        for (std::size_t f = 0; f < frames; ++f) {
            if (part.present[f] == 0) continue;
            const bool integer = part.kind == CommentValueKind::integer || (part.mixed && part.integral[f] != 0);
            whole.reals[first + f] = part.kind == CommentValueKind::integer ? static_cast<double>(part.ints[f]) : part.reals[f];
            if (whole.mixed && integer) {
                whole.integral[first + f] = 1;
                whole.ints[first + f] = part.ints[f];
            }
        }
    } else if (whole.kind == CommentValueKind::text) {
        for (std::size_t f = 0; f < frames; ++f) {
            const std::int32_t index = part.text_index[f];
            if (index >= 0) whole.text_index[first + f] = text_id(whole, ids, part.texts[static_cast<std::size_t>(index)]);
        }
    } else if (whole.kind == CommentValueKind::float_array) {
        std::copy(part.reals.begin(), part.reals.end(), whole.reals.begin() + first * w);
    } else {
        std::copy(part.ints.begin(), part.ints.end(), whole.ints.begin() + first * w);
    }
}

}  // namespace

bool is_loose(const CommentValue& value) noexcept {
    return value.kind == CommentValueKind::big_integer || value.kind == CommentValueKind::str_array ||
           (is_array(value.kind) && value.rows != 0);
}

RangeInfo::RangeInfo(std::size_t frames) : frames_(frames) { keys.of_frame.assign(frames, 0); }

bool RangeInfo::add(std::size_t frame, std::vector<CommentItem>& items) {
    frame_keys_.clear();
    for (CommentItem& item : items) {
        CommentValue& value = item.value;
        const bool loose_value = is_loose(value);
        const CommentValueKind kind = loose_value                              ? CommentValueKind::deferred
                                      : value.kind == CommentValueKind::flag ? CommentValueKind::boolean
                                                                             : value.kind;
        const std::size_t width = kind == CommentValueKind::float_array ? value.reals.size()
                                  : is_array(kind)                     ? value.ints.size()
                                                                       : 1;
        auto [place, fresh] = index_.try_emplace(item.key, static_cast<std::uint32_t>(columns.size()));
        if (fresh) {
            columns.push_back(new_column(item.key, kind, value.square, width, frames_));
            text_ids_.emplace_back();
        }
        InfoColumn& column = columns[place->second];
        if (!takes(column, kind, value.square, width, frames_)) return false;
        frame_keys_.push_back(place->second);
        if (loose_value) {
            loose.push_back({frame, place->second, std::move(value)});
        } else {
            store(column, frame, value, text_ids_[place->second]);
        }
    }
    // Frames mostly repeat the keys of the frame before.
    const bool same = frame > 0 && frame_keys_ == keys.sets[static_cast<std::size_t>(keys.of_frame[frame - 1])];
    keys.of_frame[frame] = same ? keys.of_frame[frame - 1] : key_set_id(keys, set_of_, frame_keys_);
    return true;
}

std::optional<std::size_t> join_info(std::vector<RangeInfo>& ranges, std::span<const std::size_t> firsts,
                                     std::size_t frames, std::vector<InfoColumn>& columns, KeySets& keys,
                                     std::vector<LooseValue>& loose) {
    if (ranges.size() == 1) {
        columns = std::move(ranges[0].columns);
        keys = std::move(ranges[0].keys);
        loose = std::move(ranges[0].loose);
        return std::nullopt;
    }
    std::unordered_map<std::string, std::uint32_t> index;
    std::vector<std::unordered_map<std::string, std::int32_t>> text_ids;
    std::map<std::vector<std::uint32_t>, std::int32_t> set_of;
    std::optional<std::size_t> clash;
    keys.of_frame.assign(frames, 0);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        RangeInfo& range = ranges[k];
        std::vector<std::uint32_t> global(range.columns.size());
        for (std::size_t c = 0; c < range.columns.size(); ++c) {
            const InfoColumn& part = range.columns[c];
            auto [place, fresh] = index.try_emplace(part.key, static_cast<std::uint32_t>(columns.size()));
            if (fresh) {
                columns.push_back(new_column(part.key, part.kind, part.square, part.width, frames));
                text_ids.emplace_back();
            }
            global[c] = place->second;
            InfoColumn& whole = columns[place->second];
            const bool fits = takes(whole, part.kind, part.square, part.width, frames);
            if (fits && part.mixed) mix(whole, frames);  // the range's integers among its reals
            if (!fits) {
                // The range's first frame with the key is the first whose value does not fit.
                const auto first = static_cast<std::size_t>(
                    std::find(part.present.begin(), part.present.end(), 1) - part.present.begin());
                clash = std::min(clash.value_or(firsts[k] + first), firsts[k] + first);
                continue;
            }
            if (part.kind != CommentValueKind::deferred) copy_rows(whole, part, firsts[k], text_ids[place->second]);
        }
        for (LooseValue& value : range.loose) {
            loose.push_back({firsts[k] + value.frame, global[value.column], std::move(value.value)});
        }
        std::vector<std::int32_t> set_ids(range.keys.sets.size());
        std::vector<std::uint32_t> frame_keys;
        for (std::size_t s = 0; s < set_ids.size(); ++s) {
            frame_keys.clear();
            for (const std::uint32_t c : range.keys.sets[s]) frame_keys.push_back(global[c]);
            set_ids[s] = key_set_id(keys, set_of, frame_keys);
        }
        // (A range that refused a frame has no key set for it and the frames after it.)
        for (std::size_t f = 0; f < range.keys.of_frame.size() && !set_ids.empty(); ++f) {
            keys.of_frame[firsts[k] + f] = set_ids[static_cast<std::size_t>(range.keys.of_frame[f])];
        }
    }
    return clash;
}

}  // namespace atomkit::frames
