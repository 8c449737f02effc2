// The text of a batch of frames from their item columns and atom lines: checking the columns,
// bounding the text, and writing it frame by frame without a Python object.
#include "core/frames/frame_text.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/comment_line/float_repr.hpp"
#include "core/common/saturating.hpp"

namespace atomkit::frames {
namespace {

// "-9223372036854775808", the longest int64 in decimal.
constexpr std::size_t max_int64_length = 20;

std::optional<std::string> rows_refusal(std::size_t rows, std::size_t frames, std::size_t item, std::string_view what) {
    if (rows == frames) return std::nullopt;
    return "item " + std::to_string(item) + " has " + std::to_string(rows) + " " + std::string(what) + " for " +
           std::to_string(frames) + " frames";
}

std::optional<std::string> item_refusal(const ItemColumn& item, std::size_t frames, std::size_t number) {
    switch (item.kind) {
        case ItemKind::texts:
            return rows_refusal(item.texts.size(), frames, number, "texts");
        case ItemKind::reals:
        case ItemKind::integers: {
            const std::size_t rows = item.kind == ItemKind::reals ? item.reals.rows() : item.integers.rows();
            if (auto refusal = rows_refusal(rows, frames, number, "rows")) return refusal;
            if (item.present.rows() == 0) return std::nullopt;
            if (item.present.cols() != 1) return "item " + std::to_string(number) + ": present needs one column";
            return rows_refusal(item.present.rows(), frames, number, "present flags");
        }
        case ItemKind::choice: {
            if (auto refusal = rows_refusal(item.integers.rows(), frames, number, "indices")) return refusal;
            if (item.integers.cols() != 1) return "item " + std::to_string(number) + ": the index needs one column";
            for (std::size_t f = 0; f < frames; ++f) {
                const std::int64_t index = item.integers.at(f, 0);
                if (index < 0 || static_cast<std::uint64_t>(index) >= item.texts.size()) {
                    return "item " + std::to_string(number) + ": frame " + std::to_string(f) + " picks text " +
                           std::to_string(index) + " of " + std::to_string(item.texts.size());
                }
            }
            return std::nullopt;
        }
    }
    return "item " + std::to_string(number) + " of an unknown kind";
}

bool has_item(const ItemColumn& item, std::size_t frame) {
    return item.present.rows() == 0 || item.present.at(frame, 0) != 0;
}

// The most bytes one item takes in a frame, its separating space included; texts apart.
std::uint64_t item_room(const ItemColumn& item) {
    const std::uint64_t around = 1 + item.prefix.size() + item.suffix.size();
    switch (item.kind) {
        case ItemKind::reals:
            return saturating_add(around, saturating_mul(item.reals.cols(), max_float_repr_length + 1));
        case ItemKind::integers:
            return saturating_add(around, saturating_mul(item.integers.cols(), max_int64_length + 1));
        case ItemKind::choice: {
            std::size_t longest = 0;
            for (const std::string_view text : item.texts) longest = std::max(longest, text.size());
            return 1 + longest;
        }
        case ItemKind::texts:
            break;
    }
    return 0;
}

char* put(char* at, std::string_view text) {
    if (!text.empty()) std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

template <class T, class Write>
char* put_row(char* at, const ItemColumn& item, const MatrixView<T>& values, std::size_t frame, Write write) {
    at = put(at, item.prefix);
    for (std::size_t j = 0; j < values.cols(); ++j) {
        if (j != 0) *at++ = ' ';
        at = write(values.at(frame, j), at);
    }
    return put(at, item.suffix);
}

// One item of a frame, after a space unless it comes first; nothing for an absent one.
char* put_item(char* at, const ItemColumn& item, std::size_t frame, bool& first) {
    std::string_view text;
    switch (item.kind) {
        case ItemKind::texts:
            text = item.texts[frame];
            if (text.data() == nullptr) return at;  // absent_text
            break;
        case ItemKind::choice:
            text = item.texts[static_cast<std::size_t>(item.integers.at(frame, 0))];
            break;
        case ItemKind::reals:
        case ItemKind::integers:
            if (!has_item(item, frame)) return at;
            break;
    }
    if (!std::exchange(first, false)) *at++ = ' ';
    if (item.kind == ItemKind::reals) {
        return put_row(at, item, item.reals, frame, [](double value, char* out) { return out + write_float_repr(value, out); });
    }
    if (item.kind == ItemKind::integers) {
        return put_row(at, item, item.integers, frame,
                       [](std::int64_t value, char* out) { return std::to_chars(out, out + max_int64_length, value).ptr; });
    }
    return put(at, text);
}

}  // namespace

std::optional<std::string> frame_text_refusal(const FrameSlices& slices, std::span<const ItemColumn> items) {
    const MatrixView<std::int64_t>& frames = slices.frames;
    if (frames.cols() != 3) return std::string("frames need 3 columns: atom count, start and end of the lines");
    for (std::size_t f = 0; f < frames.rows(); ++f) {
        const std::int64_t count = frames.at(f, 0);
        const std::int64_t start = frames.at(f, 1);
        const std::int64_t stop = frames.at(f, 2);
        if (count < 0 || start < 0 || start > stop || static_cast<std::uint64_t>(stop) > slices.block.size()) {
            return "frame " + std::to_string(f) + " has lines outside the block, or a negative count";
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (auto refusal = item_refusal(items[i], frames.rows(), i)) return refusal;
    }
    return std::nullopt;
}

std::size_t frame_text_bound(const FrameSlices& slices, std::span<const ItemColumn> items) {
    const std::size_t frames = slices.frames.rows();
    std::uint64_t each = max_int64_length + 2;  // the count and two line feeds
    std::uint64_t total = 0;
    for (const ItemColumn& item : items) {
        each = saturating_add(each, item_room(item));
        if (item.kind != ItemKind::texts) continue;
        for (const std::string_view text : item.texts) total = saturating_add(total, 1 + text.size());
    }
    total = saturating_add(total, saturating_mul(each, frames));
    for (std::size_t f = 0; f < frames; ++f) {
        total = saturating_add(total, static_cast<std::uint64_t>(slices.frames.at(f, 2) - slices.frames.at(f, 1)));
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(total, SIZE_MAX));
}

std::size_t write_frame_text(const FrameSlices& slices, std::span<const ItemColumn> items, char* out) {
    char* at = out;
    for (std::size_t f = 0; f < slices.frames.rows(); ++f) {
        at = std::to_chars(at, at + max_int64_length, slices.frames.at(f, 0)).ptr;
        *at++ = '\n';
        bool first = true;
        for (const ItemColumn& item : items) at = put_item(at, item, f, first);
        *at++ = '\n';
        const auto start = static_cast<std::size_t>(slices.frames.at(f, 1));
        at = put(at, slices.block.substr(start, static_cast<std::size_t>(slices.frames.at(f, 2)) - start));
    }
    return static_cast<std::size_t>(at - out);
}

}  // namespace atomkit::frames
