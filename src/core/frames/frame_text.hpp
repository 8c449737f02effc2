// The text of a batch of frames written from columns: each frame's count line, its comment
// line made from one column per item, then its atom lines cut from the batch's block. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/matrix_view.hpp"

namespace atomkit::frames {

// How one item of the comment line is made, frame by frame.
enum class ItemKind : std::uint8_t {
    texts,     // each frame's own text, made by the caller
    reals,     // prefix, the frame's row of doubles as repr() writes them between spaces, suffix
    integers,  // the same with int64 values in decimal
    choice,    // one of a few texts, picked by the frame's index
};

// A text of an ItemKind::texts column for a frame without the item: no data at all, which
// sets it apart from an empty text.
inline constexpr std::string_view absent_text{};

struct ItemColumn {
    ItemKind kind = ItemKind::texts;
    std::vector<std::string_view> texts;  // texts: one a frame (or absent_text); choice: the texts picked from
    std::string_view prefix;              // reals, integers: before the values
    std::string_view suffix;              // reals, integers: after them
    MatrixView<double> reals;             // reals: a row a frame
    MatrixView<std::int64_t> integers;    // integers: a row a frame; choice: the index, one column
    MatrixView<std::uint8_t> present;     // reals, integers: one column, 0 where a frame lacks the item;
                                          // no rows when every frame has it
};

// The batch: its atom lines, and a row a frame of (atom count, start, end of its lines in block).
struct FrameSlices {
    std::string_view block;
    MatrixView<std::int64_t> frames;
};

// Why the columns cannot make the frames' text (a column without a row per frame, an index
// past its texts, lines outside the block), or nothing.
[[nodiscard]] std::optional<std::string> frame_text_refusal(const FrameSlices& slices, std::span<const ItemColumn> items);

// The most bytes write_frame_text may write for these frames (their text is at most that long).
[[nodiscard]] std::size_t frame_text_bound(const FrameSlices& slices, std::span<const ItemColumn> items);

// Writes every frame at `out` (room for frame_text_bound bytes) and returns the bytes written:
// "{count}\n{present items joined by spaces}\n{atom lines}". The columns are those that
// frame_text_refusal accepts.
std::size_t write_frame_text(const FrameSlices& slices, std::span<const ItemColumn> items, char* out);

}  // namespace atomkit::frames
