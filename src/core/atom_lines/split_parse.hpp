// A frame's rows parsed in ranges at once on the module's threads (core/common/thread_pool.hpp).
// Each range fills its own rows of the frame's buffers and string columns of its own, joined
// afterwards; the outcome is the one parsing row by row gives: the same columns, or the
// failure of the lowest bad row. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"

namespace atomkit {

// The lines in `ranges` ranges of rows (ranges >= 2).
[[nodiscard]] std::expected<ParsedAtoms, ParseFailure> parse_lines_split(
    std::span<const std::string_view> lines, std::span<const std::uint8_t> col_types, std::size_t ranges);

// Where `natoms` lines of `data` from `offset` on are cut into up to `ranges` ranges (ranges >=
// 2): the range starts are chosen at line feeds near an even split of the bytes the lines are
// expected to take, and the line feeds before each counted (on the module's threads), so that
// each range knows its first row. Nothing when the lines do not split (fewer lines than
// ranges, data that ends first).
struct BlockSplit {
    std::vector<std::size_t> starts;      // range k's first line starts at starts[k]
    std::vector<std::size_t> first_rows;  // range k's rows: [first_rows[k], first_rows[k + 1])
    std::size_t ranges() const noexcept { return starts.size(); }
};
[[nodiscard]] std::optional<BlockSplit> split_block(std::string_view data, std::size_t offset, std::size_t natoms,
                                                    std::size_t ranges);

// `natoms` lines of `data` from `offset` on in up to `ranges` ranges (see split_block). The
// caller has made sure that the bytes can hold `natoms` rows (see parse_atom_block) and that
// col_types is not empty. Nothing when the block does not split: it is then parsed row by row.
[[nodiscard]] std::optional<std::expected<ParsedBlock, ParseFailure>> parse_block_split(
    std::string_view data, std::size_t offset, std::size_t natoms, std::span<const std::uint8_t> col_types,
    std::size_t ranges);

// One frame of a table's rows (`frame`, in `columns`, whose buffers hold them), its lines those
// of `data` from `offset` on, parsed strictly in up to `ranges` ranges at once: the frame's
// string columns, or the failure parsing it row by row meets (its rows named within the frame).
// Nothing when the frame does not split (see split_block).
[[nodiscard]] std::optional<std::expected<std::vector<StringColumn>, ParseFailure>> parse_frame_split(
    ParsedAtoms& columns, std::string_view data, std::size_t offset, FramePart frame,
    std::span<const std::uint8_t> col_types, std::size_t ranges);

// The line feeds in [begin, begin + size).
std::size_t count_line_feeds(const char* begin, std::size_t size) noexcept;

}  // namespace atomkit
