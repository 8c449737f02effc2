// Info columns a range at a time, and the ranges joined: keys in order of first appearance,
// integers among reals kept beside a real column, texts numbered once per column, the values of
// a key whose type changes turned back into loose values.
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

std::int32_t text_id(InfoColumn& column, TextNumbers<std::int32_t>& ids, std::string_view text) {
    if (const auto found = ids.find(text); found != ids.end()) return found->second;
    const auto id = static_cast<std::int32_t>(column.texts.size());
    column.texts.emplace_back(text);
    ids.emplace(text, id);
    return id;
}

std::int32_t key_set_id(KeySets& keys, std::map<std::vector<std::uint32_t>, std::int32_t>& set_of,
                        const std::vector<std::uint32_t>& frame_keys) {
    auto [place, fresh] = set_of.try_emplace(frame_keys, static_cast<std::int32_t>(keys.sets.size()));
    if (fresh) keys.sets.push_back(frame_keys);
    return place->second;
}

// A parsed value as the columns take it (not a loose one).
InfoValue view_of(const CommentValue& value) noexcept {
    InfoValue view;
    view.kind = value.kind == CommentValueKind::flag ? CommentValueKind::boolean : value.kind;
    view.square = value.square;
    view.boolean = value.kind == CommentValueKind::flag || value.boolean;
    view.integer = value.integer;
    view.real = value.real;
    view.text = value.text;
    view.reals = value.reals;
    view.ints = value.ints;
    return view;
}

// The values a column of `kind` keeps of each frame.
std::size_t width_of(const InfoValue& value) noexcept {
    if (value.kind == CommentValueKind::float_array) return value.reals.size();
    return is_array(value.kind) ? value.ints.size() : 1;
}

// Stores one frame's value (the column takes its kind).
void store(InfoColumn& column, std::size_t frame, const InfoValue& value, TextNumbers<std::int32_t>& ids) {
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
            column.ints[frame] = value.boolean ? 1 : 0;
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
void copy_rows(InfoColumn& whole, const InfoColumn& part, std::size_t first, TextNumbers<std::int32_t>& ids) {
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

// A typed value with only the fields its kind uses, so that a value given loose as it came and
// one taken back from a column are equal.
CommentValue normalized(CommentValue value) {
    if (value.rows != 0) return value;  // a nested list, given whole
    CommentValue out;
    out.kind = value.kind == CommentValueKind::flag ? CommentValueKind::boolean : value.kind;
    switch (value.kind) {
        case CommentValueKind::flag: out.boolean = true; break;
        case CommentValueKind::boolean: out.boolean = value.boolean; break;
        case CommentValueKind::integer: out.integer = value.integer; break;
        case CommentValueKind::real: out.real = value.real; break;
        case CommentValueKind::text: out.text = std::move(value.text); break;
        case CommentValueKind::bool_array:
        case CommentValueKind::int_array: out.ints = std::move(value.ints); break;
        case CommentValueKind::float_array:
            out.square = value.square;
            out.reals = std::move(value.reals);
            break;
        default: return value;  // loose kinds are given whole
    }
    return out;
}

// A value of a flat line as normalized() gives it.
CommentValue owned(const InfoValue& value) {
    CommentValue out;
    out.kind = value.kind;
    switch (value.kind) {
        case CommentValueKind::boolean: out.boolean = value.boolean; break;
        case CommentValueKind::integer: out.integer = value.integer; break;
        case CommentValueKind::real: out.real = value.real; break;
        case CommentValueKind::text: out.text = std::string(value.text); break;
        case CommentValueKind::float_array:
            out.square = value.square;
            out.reals.assign(value.reals.begin(), value.reals.end());
            break;
        default: fail("a value of a flat line of a kind it does not type");
    }
    return out;
}

// Frame f's value as the column stores it.
CommentValue value_at(const InfoColumn& column, std::size_t f) {
    CommentValue value;
    value.kind = column.kind;
    const std::size_t w = column.width;
    switch (column.kind) {
        case CommentValueKind::real:
            if (column.mixed && column.integral[f] != 0) {
                value.kind = CommentValueKind::integer;
                value.integer = column.ints[f];
            } else {
                value.real = column.reals[f];
            }
            break;
        case CommentValueKind::integer: value.integer = column.ints[f]; break;
        case CommentValueKind::boolean: value.boolean = column.ints[f] != 0; break;
        case CommentValueKind::text: value.text = column.texts[static_cast<std::size_t>(column.text_index[f])]; break;
        case CommentValueKind::float_array:
            value.square = column.square;
            value.reals.assign(column.reals.begin() + static_cast<std::ptrdiff_t>(f * w),
                               column.reals.begin() + static_cast<std::ptrdiff_t>((f + 1) * w));
            break;
        case CommentValueKind::bool_array:
        case CommentValueKind::int_array:
            value.ints.assign(column.ints.begin() + static_cast<std::ptrdiff_t>(f * w),
                              column.ints.begin() + static_cast<std::ptrdiff_t>((f + 1) * w));
            break;
        default: fail("a stored info value of a kind no column keeps");
    }
    return value;
}

// Every value the column holds becomes loose (column `index`, frames numbered from `first`),
// and so does every value of its key from now on.
void make_all_loose(InfoColumn& column, std::uint32_t index, std::size_t first, std::vector<LooseValue>& loose) {
    if (column.kind != CommentValueKind::deferred) {
        for (std::size_t f = 0; f < column.present.size(); ++f) {
            if (column.present[f] != 0) loose.push_back({first + f, index, value_at(column, f)});
        }
    }
    InfoColumn emptied;
    emptied.key = std::move(column.key);
    emptied.kind = CommentValueKind::deferred;
    emptied.all_loose = true;
    emptied.present.assign(column.present.size(), 0);
    column = std::move(emptied);
}

// Keeps the rows of `values` (one row of values.size() / kept.size() items a frame) whose frame
// is kept.
template <class T>
void keep_rows(std::vector<T>& values, std::span<const std::uint8_t> kept) {
    if (values.empty() || kept.empty()) return;
    const std::size_t width = values.size() / kept.size();
    std::size_t to = 0;
    for (std::size_t f = 0; f < kept.size(); ++f) {
        if (kept[f] == 0) continue;
        if (to != f) std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(f * width), width,
                                 values.begin() + static_cast<std::ptrdiff_t>(to * width));
        ++to;
    }
    values.resize(to * width);
}

bool by_frame_then_column(const LooseValue& a, const LooseValue& b) noexcept {
    return a.frame != b.frame ? a.frame < b.frame : a.column < b.column;
}

}  // namespace

bool is_loose(const CommentValue& value) noexcept {
    return value.kind == CommentValueKind::big_integer || value.kind == CommentValueKind::str_array ||
           (is_array(value.kind) && value.rows != 0);
}

RangeInfo::RangeInfo(std::size_t frames) : frames_(frames) { keys.of_frame.assign(frames, 0); }

std::uint32_t RangeInfo::column_for(std::string_view key, CommentValueKind kind, bool square, std::size_t width) {
    // Frames mostly repeat the keys of the frame before, in the same order.
    const std::size_t place = frame_keys_.size();
    std::uint32_t c = 0;
    const std::vector<std::uint32_t>* before = last_set_ >= 0 ? &keys.sets[static_cast<std::size_t>(last_set_)] : nullptr;
    if (before != nullptr && place < before->size() && columns[(*before)[place]].key == key) {
        c = (*before)[place];
    } else if (const auto found = index_.find(key); found != index_.end()) {
        c = found->second;
    } else {
        c = static_cast<std::uint32_t>(columns.size());
        index_.emplace(key, c);
        columns.push_back(new_column(std::string(key), kind, square, width, frames_));
        text_ids_.emplace_back();
    }
    frame_keys_.push_back(c);
    InfoColumn& column = columns[c];
    if (!column.all_loose && !takes(column, kind, square, width, frames_)) {
        make_all_loose(column, c, 0, loose);
        text_ids_[c].clear();
    }
    return c;
}

void RangeInfo::end_frame(std::size_t frame) {
    const bool same = last_set_ >= 0 && frame_keys_ == keys.sets[static_cast<std::size_t>(last_set_)];
    if (!same) last_set_ = key_set_id(keys, set_of_, frame_keys_);
    keys.of_frame[frame] = last_set_;
}

void RangeInfo::add(std::size_t frame, std::vector<CommentItem>& items) {
    frame_keys_.clear();
    for (CommentItem& item : items) {
        CommentValue& value = item.value;
        const bool loose_value = is_loose(value);
        const InfoValue view = view_of(value);
        const std::uint32_t c = column_for(item.key, loose_value ? CommentValueKind::deferred : view.kind, view.square,
                                           loose_value ? 1 : width_of(view));
        if (loose_value || columns[c].all_loose) {
            loose.push_back({frame, c, normalized(std::move(value))});
        } else {
            store(columns[c], frame, view, text_ids_[c]);
        }
    }
    end_frame(frame);
}

void RangeInfo::add(std::size_t frame, const FlatLine& line) {
    frame_keys_.clear();
    for (const FlatItem& item : line.info()) {
        const InfoValue& value = item.value;
        const std::uint32_t c = column_for(item.key, value.kind, value.square, width_of(value));
        if (columns[c].all_loose) {
            loose.push_back({frame, c, owned(value)});
        } else {
            store(columns[c], frame, value, text_ids_[c]);
        }
    }
    end_frame(frame);
}

void RangeInfo::keep(std::span<const std::uint8_t> kept) {
    if (kept.size() != frames_) fail("RangeInfo::keep: a flag for each frame expected");
    std::vector<std::size_t> row_of(frames_);
    std::size_t rows = 0;
    for (std::size_t f = 0; f < frames_; ++f) {
        row_of[f] = rows;
        if (kept[f] != 0) ++rows;
    }
    if (rows == frames_) return;
    for (InfoColumn& column : columns) {
        keep_rows(column.present, kept);
        keep_rows(column.reals, kept);
        keep_rows(column.ints, kept);
        keep_rows(column.integral, kept);
        keep_rows(column.text_index, kept);
    }
    keep_rows(keys.of_frame, kept);
    for (LooseValue& value : loose) {
        if (kept[value.frame] == 0) fail("RangeInfo::keep: a value of a frame left out");
        value.frame = row_of[value.frame];
    }
    frames_ = rows;
}

void join_info(std::vector<RangeInfo>& ranges, std::span<const std::size_t> firsts, std::size_t frames,
               std::vector<InfoColumn>& columns, KeySets& keys, std::vector<LooseValue>& loose) {
    if (ranges.size() == 1) {
        columns = std::move(ranges[0].columns);
        keys = std::move(ranges[0].keys);
        loose = std::move(ranges[0].loose);
        std::sort(loose.begin(), loose.end(), by_frame_then_column);
        return;
    }
    std::unordered_map<std::string, std::uint32_t> index;
    std::vector<TextNumbers<std::int32_t>> text_ids;
    std::map<std::vector<std::uint32_t>, std::int32_t> set_of;
    keys.of_frame.assign(frames, 0);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        RangeInfo& range = ranges[k];
        std::vector<std::uint32_t> global(range.columns.size());
        for (std::size_t c = 0; c < range.columns.size(); ++c) {
            InfoColumn& part = range.columns[c];
            auto [place, fresh] = index.try_emplace(part.key, static_cast<std::uint32_t>(columns.size()));
            const std::uint32_t g = place->second;
            if (fresh) {
                columns.push_back(new_column(part.key, part.kind, part.square, part.width, frames));
                text_ids.emplace_back();
            }
            global[c] = g;
            InfoColumn& whole = columns[g];
            const bool fits = whole.all_loose || part.all_loose || takes(whole, part.kind, part.square, part.width, frames);
            if (!whole.all_loose && (part.all_loose || !fits)) {
                make_all_loose(whole, g, 0, loose);
                text_ids[g].clear();
            }
            if (whole.all_loose) {
                make_all_loose(part, g, firsts[k], loose);
                continue;
            }
            if (part.mixed) mix(whole, frames);  // the range's integers among its reals
            if (part.kind != CommentValueKind::deferred) copy_rows(whole, part, firsts[k], text_ids[g]);
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
        // (A range whose frames were all left out has no key set.)
        for (std::size_t f = 0; f < range.keys.of_frame.size() && !set_ids.empty(); ++f) {
            keys.of_frame[firsts[k] + f] = set_ids[static_cast<std::size_t>(range.keys.of_frame[f])];
        }
    }
    std::sort(loose.begin(), loose.end(), by_frame_then_column);
}

}  // namespace atomkit::frames
