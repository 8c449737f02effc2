// The frames of an extended XYZ file found a window of its bytes at a time: count lines past
// blank lines (and a BOM at the start), atom lines passed by counting line feeds, and the
// Properties value of each comment line, with the scan's state carried from one window to
// the next. What only Python can decide (an unusual comment line, the message of a bad
// frame) stops the scan with what Python needs. Plain C++.
//
// The caller reads the file into windows that start where the scan stopped (state.position).
// A count line or comment line is read whole from one window: when one runs past the window's
// end the scan stops before it, and a window that holds not even that line must be read
// longer (up to line_limit + 1 bytes, which is enough to see that a line is too long).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/frames/count_line.hpp"
#include "core/frames/properties_value.hpp"

namespace atomkit::frames {

enum class ScanPhase : std::uint8_t {
    count,    // at the start of a line: blank lines, then a count line
    comment,  // at the start of the pending frame's comment line
    atoms,    // among the pending frame's atom lines; `position` may be inside one
};
inline constexpr std::uint64_t scan_phases = 3;

struct ScanState {
    std::uint64_t size = 0;          // the file's size in bytes
    std::uint64_t line_limit = 0;    // the longest line, in bytes without its line feed
    std::uint64_t position = 0;      // where the scan goes on
    std::uint64_t lineno = 1;        // the file line that holds `position`
    std::uint64_t line_start = 0;    // where that line starts
    ScanPhase phase = ScanPhase::count;
    std::uint64_t frame_offset = 0;  // the pending frame: its count line's offset,
    std::uint64_t frame_lineno = 0;  // line number
    std::uint64_t natoms = 0;        // and atom count,
    std::uint64_t lines_left = 0;    // and the atom lines still to pass
    // The pending frame's layout once its comment line is read; in the comment phase, the
    // layout the caller decided after a comment stop, or -1.
    std::int64_t layout = -1;
};

// A frame found: its count line's offset, atom count, count line number, layout number (-1
// when comment lines are not read), and where its bytes end (past its last line's line feed,
// or the end of the file for a last line without one).
struct FrameRecord {
    std::int64_t offset = 0;
    std::int64_t natoms = 0;
    std::int64_t lineno = 0;
    std::int64_t layout = 0;
    std::int64_t end = 0;

    bool operator==(const FrameRecord&) const = default;
};

enum class StopKind : std::uint8_t {
    more,     // the window is used up: go on with one from state.position
    done,     // the end of the file: every frame is found
    comment,  // the pending frame's comment line needs its layout decided
    failure,  // a frame that cannot be read, or a line that is too long
};

enum class FailureKind : std::uint8_t {
    bad_count,    // a count line that is no atom count
    no_comment,   // the file ends on the count line
    ends_inside,  // the file ends inside the frame
    long_line,    // a line longer than the limit
};

struct ScanStop {
    StopKind kind = StopKind::more;
    // comment: the line is window[line_begin, line_end) (without its line feed); `candidate`
    // is the Properties value it names, which the known layouts lack, or nullopt when only
    // the caller can tell what it names.
    std::size_t line_begin = 0;
    std::size_t line_end = 0;
    std::optional<std::string> candidate;
    // failure: the frame's bytes that show it (its count line's offset up to `frame_stop`),
    // and the line the error names (the frame's count line, or the long line).
    FailureKind failure = FailureKind::bad_count;
    std::uint64_t frame_offset = 0;
    std::uint64_t frame_stop = 0;
    std::uint64_t lineno = 0;
};

// Why `state` cannot go on with a window of `window_size` bytes at file offset
// `window_offset`, or an empty view when it can.
std::string_view state_misfit(const ScanState& state, std::uint64_t window_offset, std::size_t window_size) noexcept;

// Scans `window` (the file's bytes from `window_offset`) from state.position on, appending
// the frames found to `frames` and updating `state`, until the window is used up or the scan
// must stop. Without `known`, comment lines are passed over unread. A window longer than
// line_limit + 1 bytes is used that far. The state must fit the window (state_misfit).
// `finder`: the one that found the Properties of the comment lines before (it answers a line
// like the one before it from its bytes), so that what it says of a line the parser refuses
// does not depend on where windows end; without, one of the call's own.
ScanStop scan_frames(std::string_view window, std::uint64_t window_offset, ScanState& state,
                     const KnownLayouts* known, std::vector<FrameRecord>& frames, PropertiesFinder* finder = nullptr);

}  // namespace atomkit::frames
