// Many frames of one buffer read into columns at once: each frame's comment line typed and its
// atom lines parsed into the rows that its layout's columns keep for it, the frames split into
// ranges run on the module's threads. Plain C++.
//
// A frame it cannot take whole (a comment line that is not UTF-8 or does not parse, atom lines
// that do not parse, info values whose types differ between frames) makes it give up, saying
// which frame and why; the caller words the error or reads the frames apart. Values only the package types (nested lists, lists of strs, integers beyond int64)
// come back as written, for it to put in their columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"
#include "core/comment_line/comment_line.hpp"
#include "core/frames/file_window.hpp"
#include "core/frames/info_columns.hpp"

namespace atomkit::frames {

struct TableRequest {
    std::string_view data;                  // the frames' bytes, unless fd says otherwise
    std::span<const std::int64_t> offsets;  // each frame's count line (found by the scan)
    std::span<const std::int64_t> natoms;
    std::span<const std::int32_t> layouts;  // each frame's index into col_types
    std::span<const std::string> col_types;  // per layout: the atom parser's column codes
    std::size_t tasks = 1;                   // ranges of frames, run at once on the pool
    bool strict = false;                     // an atom line with more tokens than columns fails
    std::size_t int_digits_limit = 0;        // an info integer of more digits fails (0: none)
    // With fd >= 0 the frames are read from that file instead of data: frame f's text is its
    // bytes offsets[f]..ends[f], and each range reads its own a window at a time.
    int fd = -1;
    std::span<const std::int64_t> ends{};
    std::size_t window = window_bytes;  // the text a range reads at once (more for a larger frame)
};

struct FrameTableColumns {
    std::vector<double> lattice;        // 9 per frame, zero without one
    std::vector<std::uint8_t> has_lattice;
    std::vector<std::uint8_t> pbc;      // 3 per frame
    std::vector<InfoColumn> info;       // keys in order of first appearance
    KeySets keys;                       // each frame's info keys in line order
    std::vector<LooseValue> loose;      // values no column keeps, in frame order
    std::vector<ParsedAtoms> atoms;     // per layout: its frames' rows, frame after frame
};

// Why the table gave up on the first frame it could not take: its comment line (not UTF-8, or
// refused by the parser: the package words the error from the line), its atom lines, or an
// info value whose type or width differs from the frames' before it (not an error of the
// frame: read alone, it is taken), or a file that ends before a frame's text or cannot be read.
enum class RefusalKind : std::uint8_t { comment, atoms, clash, unread };

struct TableRefusal {
    std::size_t frame = 0;
    RefusalKind kind = RefusalKind::clash;
    // atoms: the parser's failure with its row counted within the frame ("row 3: ..."), and
    // where that row's line starts in the data when the failure is in a line.
    std::size_t row = 0;
    std::string message;
    bool in_line = false;
    std::size_t line_start = 0;
};

[[nodiscard]] std::expected<FrameTableColumns, TableRefusal> read_frame_table(const TableRequest& request);

}  // namespace atomkit::frames
