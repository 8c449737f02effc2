// The info values of a table's comment lines sorted into columns: one range of frames at a
// time (RangeInfo, on the range's own thread), then the ranges joined in frame order
// (join_info), with the outcome that sorting the frames one by one gives. A key whose values
// change type between frames keeps them all as loose values. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/comment_line/comment_line.hpp"
#include "core/comment_line/flat_line.hpp"

namespace atomkit::frames {

// One info key over every frame: the frames that have it, and its values in the column type
// they all share. Frames without it hold zeros, false or no text.
struct InfoColumn {
    std::string key;
    // flag is stored as boolean; `deferred` while the key has had only loose values here, and
    // for good once its values changed type (`all_loose`)
    CommentValueKind kind = CommentValueKind::real;
    bool all_loose = false;
    bool square = false;                             // float_array values of 3x3
    std::size_t width = 0;                           // values per frame of an array kind
    std::vector<std::uint8_t> present;
    std::vector<double> reals;
    std::vector<std::int64_t> ints;  // integers, and 0/1 for booleans
    // Integers and reals under one key make a real column; `integral` then marks the frames
    // whose value was an integer, kept exactly in `ints`.
    bool mixed = false;
    std::vector<std::uint8_t> integral;
    // Texts: the distinct ones, in order of first appearance, and each frame's (-1 if absent).
    std::vector<std::string> texts;
    std::vector<std::int32_t> text_index;
};

// A typed value of a kind no column here keeps (a nested list, a list of strs, an integer
// beyond int64), or any value of a key whose values change type between frames, with its frame
// and column. Its frame's row of the column stays absent; the package makes the column of such
// a key from its values (they are rare, and their columns take NumPy's rules for stacking
// arrays). A flag is given as the boolean true.
struct LooseValue {
    std::size_t frame = 0;
    std::uint32_t column = 0;
    CommentValue value;
};

// Whether `value` is loose: kept beside the columns rather than in one.
[[nodiscard]] bool is_loose(const CommentValue& value) noexcept;

// The info keys of each frame in line order, as an index into `sets` (the distinct sequences
// of column indices).
struct KeySets {
    std::vector<std::int32_t> of_frame;
    std::vector<std::vector<std::uint32_t>> sets;
};

// Numbers by text, looked up by a view of it.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};
template <class Number>
using TextNumbers = std::unordered_map<std::string, Number, TextHash, std::equal_to<>>;

// The info columns of a range of frames, numbered from 0.
class RangeInfo {
public:
    explicit RangeInfo(std::size_t frames);

    // Adds a frame's items (loose values are moved out). A value whose type or width differs
    // from its key's in frames before makes every value of that key loose.
    void add(std::size_t frame, std::vector<CommentItem>& items);
    // The same for a line typed in one pass (no value of it is loose): nothing allocated but
    // a key, a text or a set of keys the range meets for the first time.
    void add(std::size_t frame, const FlatLine& line);
    // Keeps the frames marked in `kept` (one flag a frame; frames left out were never added),
    // numbered again in order.
    void keep(std::span<const std::uint8_t> kept);

    std::vector<InfoColumn> columns;
    KeySets keys;
    std::vector<LooseValue> loose;  // in frame order

private:
    // The column of `key` for a value of `kind` (deferred: a loose one) in the frame being
    // added, made on first sight; every value of it turned loose when the value does not fit.
    std::uint32_t column_for(std::string_view key, CommentValueKind kind, bool square, std::size_t width);
    void end_frame(std::size_t frame);

    std::size_t frames_;
    TextNumbers<std::uint32_t> index_;
    std::vector<TextNumbers<std::int32_t>> text_ids_;  // per column: its texts' numbers
    std::map<std::vector<std::uint32_t>, std::int32_t> set_of_;
    std::vector<std::uint32_t> frame_keys_;
    std::int32_t last_set_ = -1;  // the key set of the frame added last
};

// The ranges' columns joined over all `frames` frames (range k's first frame is firsts[k]),
// loose values in order of frame, then column.
void join_info(std::vector<RangeInfo>& ranges, std::span<const std::size_t> firsts, std::size_t frames,
               std::vector<InfoColumn>& columns, KeySets& keys, std::vector<LooseValue>& loose);

}  // namespace atomkit::frames
