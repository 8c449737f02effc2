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

#include "core/atom_lines/atom_lines.hpp"

namespace atomkit {

// The lines in `ranges` ranges of rows (ranges >= 2).
[[nodiscard]] std::expected<ParsedAtoms, ParseFailure> parse_lines_split(
    std::span<const std::string_view> lines, std::span<const std::uint8_t> col_types, std::size_t ranges);

// `natoms` lines of `data` from `offset` on in up to `ranges` ranges (ranges >= 2): the range
// starts are chosen at line feeds near an even split of the bytes the lines are expected to
// take, and the line feeds before each counted, so that each range knows its first row. The
// caller has made sure that the bytes can hold `natoms` rows (see parse_atom_block) and that
// col_types is not empty. Nothing when the block does not split (fewer lines than ranges,
// data that ends first): it is then parsed row by row.
[[nodiscard]] std::optional<std::expected<ParsedBlock, ParseFailure>> parse_block_split(
    std::string_view data, std::size_t offset, std::size_t natoms, std::span<const std::uint8_t> col_types,
    std::size_t ranges);

// The line feeds in [begin, begin + size).
std::size_t count_line_feeds(const char* begin, std::size_t size) noexcept;

}  // namespace atomkit
