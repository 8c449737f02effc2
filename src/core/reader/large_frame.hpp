// The atom lines of one large frame of a file read a window at a time, in pieces at once on the
// module's threads: the frame's text is never held whole (a frame of 10^6 atoms is 10^8 bytes,
// whose fresh pages would cost as much as parsing them). Plain C++ over a POSIX descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"
#include "core/reader/run_table.hpp"

namespace atomkit::reader {

struct LargeFrame {
    int fd = -1;
    std::uint64_t begin = 0;  // the file offset of its first atom line
    std::uint64_t end = 0;    // just past its last line (the scan's frame end)
    FramePart rows;           // its rows in the layout's table (`columns`)
    std::span<const std::uint8_t> codes;
    std::size_t ranges = 1;   // pieces parsed at once (1: one, on the calling thread)
    std::size_t window = 0;   // the text a piece reads at once (more for a longer line)
};

// How the read of a large frame ended: its string columns, or the failure of its atom lines
// (the one reading them row by row meets, with the failing line's text), or a file that no
// longer holds the frame's text (`changed`), or a read that failed.
struct LargeFrameRead {
    std::vector<StringColumn> strings;
    std::optional<ParseFailure> failure;
    std::string failed_line;
    bool changed = false;
    std::optional<IoError> io;
};

[[nodiscard]] LargeFrameRead read_large_frame(const LargeFrame& frame, ParsedAtoms& columns);

}  // namespace atomkit::reader
