// libFuzzer target of the batch writer (frame_text): frames and item columns of any shape and
// value from the input. Columns the refusal lets through are written into a buffer of exactly
// the bound's size, which AddressSanitizer fences: the text never outgrows its bound, each
// frame starts with its count, and the block's lines follow each comment line whole.
//
// Input: a control byte (frames 0-7, items 0-3), each item's kind, shape and values, the
// frames' (count, start, end) rows, then the block.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/frames/frame_text.hpp"
#include "fuzz_support.hpp"

namespace {

using atomkit::MatrixView;
using atomkit::frames::ItemColumn;
using atomkit::frames::ItemKind;

template <class T>
MatrixView<T> matrix(const std::vector<T>& values, std::size_t rows, std::size_t cols) {
    return MatrixView<T>(reinterpret_cast<const std::byte*>(values.data()), rows, cols,
                         static_cast<std::ptrdiff_t>(cols * sizeof(T)), sizeof(T));
}

// What one item's views point at: kept alive beside the item.
struct ItemValues {
    std::vector<std::string> texts;
    std::vector<double> reals;
    std::vector<std::int64_t> integers;
    std::vector<std::uint8_t> present;
};

std::string text_of(fuzz::Bytes& in) {
    std::string text;
    // No line feed: the check finds where each comment line ends by its line feed.
    for (std::uint8_t n = in.byte() % 9; n > 0; --n) {
        const char c = static_cast<char>(in.byte());
        text += c == '\n' ? 'n' : c;
    }
    return text;
}

ItemColumn item_of(fuzz::Bytes& in, std::size_t frames, ItemValues& values) {
    ItemColumn item;
    const std::uint8_t control = in.byte();
    item.kind = static_cast<ItemKind>(control % 4);
    const std::size_t width = 1 + (control >> 2) % 9;
    // A row short or long now and then, which the refusal must catch.
    const std::size_t rows = control >= 0xF0 ? frames + 1 : frames;
    const std::size_t texts = item.kind == ItemKind::choice ? 1 + in.byte() % 4 : item.kind == ItemKind::texts ? rows : 0;
    for (std::size_t k = 0; k < texts; ++k) values.texts.push_back(text_of(in));
    for (const std::string& text : values.texts) {
        // An empty text with no data is an absent one; in a choice, an empty text is a text.
        item.texts.push_back(text.empty() && item.kind == ItemKind::texts && (in.byte() & 1) ? atomkit::frames::absent_text
                                                                                              : std::string_view(text));
    }
    if (item.kind == ItemKind::reals || item.kind == ItemKind::integers || item.kind == ItemKind::choice) {
        const std::size_t cols = item.kind == ItemKind::choice ? 1 : width;
        for (std::size_t k = 0; k < rows * cols; ++k) {
            const std::uint64_t bits = in.u64();
            values.integers.push_back(static_cast<std::int64_t>(item.kind == ItemKind::choice ? bits % 5 : bits));
            double real;
            std::memcpy(&real, &bits, sizeof real);
            values.reals.push_back(real);
        }
        item.reals = matrix(values.reals, rows, cols);
        item.integers = matrix(values.integers, rows, cols);
    }
    if (control & 0x80) {  // present flags
        for (std::size_t f = 0; f < rows; ++f) values.present.push_back(in.byte() & 1);
        item.present = matrix(values.present, rows, 1);
    }
    item.prefix = "key=\"";
    item.suffix = "\"";
    return item;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::uint8_t control = in.byte();
    const std::size_t frames = control % 8;
    const std::size_t count = (control >> 3) % 4;
    std::vector<ItemValues> values(count);
    std::vector<ItemColumn> items;
    for (std::size_t i = 0; i < count; ++i) items.push_back(item_of(in, frames, values[i]));
    std::vector<std::int64_t> rows;
    for (std::size_t f = 0; f < frames; ++f) {
        rows.push_back(static_cast<std::int8_t>(in.byte()));  // counts, some negative
        rows.push_back(in.byte() % 64);
        rows.push_back(in.byte() % 64);
    }
    const std::string block(in.rest());
    const atomkit::frames::FrameSlices slices{block, matrix(rows, frames, 3)};
    if (atomkit::frames::frame_text_refusal(slices, items)) return 0;
    const std::size_t bound = atomkit::frames::frame_text_bound(slices, items);
    std::vector<char> out(bound);  // exactly the bound: a byte past it is a finding
    const std::size_t written = atomkit::frames::write_frame_text(slices, items, out.data());
    fuzz::check(written <= bound, "the text outgrew its bound");
    const std::string_view text(out.data(), written);
    std::size_t at = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        const std::string head = std::to_string(rows[3 * f]) + "\n";
        fuzz::check(text.substr(at, head.size()) == head, "a frame does not start with its count", text);
        const std::size_t comment_end = text.find('\n', at + head.size());
        fuzz::check(comment_end != std::string_view::npos, "a comment line without its line feed", text);
        const auto start = static_cast<std::size_t>(rows[3 * f + 1]);
        const auto lines = std::string_view(block).substr(start, static_cast<std::size_t>(rows[3 * f + 2]) - start);
        fuzz::check(text.substr(comment_end + 1, lines.size()) == lines, "a frame's lines are not the block's", text);
        at = comment_end + 1 + lines.size();
    }
    fuzz::check(at == written, "the text holds more than its frames");
    return 0;
}
