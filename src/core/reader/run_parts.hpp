// What one read keeps while it runs: its plan (each frame's first row in its layout's table, the
// ranges of frames, the waves), each range's parsers, info and refusals, and the frames' cells;
// shared by the read (run_read.cpp) and the joining of what it made (run_compose.cpp).
// Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"
#include "core/frames/info_columns.hpp"
#include "core/reader/run_read.hpp"

namespace atomkit::reader::run {

inline constexpr std::size_t none = static_cast<std::size_t>(-1);

// A layout that a range meets: the rows its frames take in the layout's table, and the parser
// that fills them (made when the range reaches its first frame of the layout).
struct LayoutSpan {
    std::size_t dense = 0;  // the layout's place among the layouts read
    std::size_t first_row = 0;
    std::size_t last_row = 0;
    std::optional<AtomParser> parser;
    bool cut = false;  // a frame's string tokens were dropped: the columns keep tokens no row has
};

struct FrameRange {
    std::size_t first = 0;  // frames [first, last) of the request
    std::size_t last = 0;
    std::vector<LayoutSpan> spans;
    std::optional<frames::RangeInfo> info;
    FlatLine line;  // the comment line being read, its buffers kept from frame to frame
    std::size_t declined = 0;  // lines `line` declined one after another
    std::vector<std::uint8_t> kept;  // per frame: read whole
    std::vector<Refusal> refusals;
    std::size_t halt = none;         // the frame the read ends at (its refusal the last)
    std::optional<IoError> io;
    std::size_t io_frame = none;
};

struct Plan {
    std::vector<std::size_t> dense;     // per layout number: its place among the layouts read, or none
    std::vector<std::int64_t> used;     // per place: the layout number
    std::vector<std::size_t> rows;      // per place: the rows of its table
    std::vector<std::size_t> first_row; // per frame: its first row in its layout's table
    std::vector<std::uint32_t> span;    // per frame whose atoms are read: its layout's span in its range
    std::vector<FrameRange> ranges;
    std::vector<std::size_t> waves;     // each wave's first range, then ranges.size()
};

// Each frame's lattice, pbc and flags, filled by the range that reads it.
struct Cells {
    explicit Cells(std::size_t frames)
        : lattice(frames * 9, 0.0), has_lattice(frames, 0), pbc(frames * 3, 0), has_pbc(frames, 0),
          has_properties(frames, 0) {}
    std::vector<double> lattice;
    std::vector<std::uint8_t> has_lattice;
    std::vector<std::uint8_t> pbc;
    std::vector<std::uint8_t> has_pbc;
    std::vector<std::uint8_t> has_properties;
};

// The plan of a read: rows placed, waves and ranges cut, each range's layout spans found.
Plan plan_of(const RunRequest& request);

// The run of the frames before `limit` that were read whole, with the refusals up to `limit`;
// `wholes` holds each layout's table (by place); the cells are moved into the run.
RunTable compose(const RunRequest& request, Plan& plan, std::vector<std::optional<AtomParser>>& wholes, Cells& cells,
                 std::size_t limit);

}  // namespace atomkit::reader::run
