// What the reader gives: the frames it found (FrameRow), why a frame was not read (Refusal,
// with what the message needs), an I/O call that failed (IoError), and the frames of one read
// as columns (RunTable). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/atom_lines/atom_lines.hpp"
#include "core/comment_line/comment_line.hpp"
#include "core/frames/frame_scan.hpp"
#include "core/frames/info_columns.hpp"
#include "core/reader/properties_layout.hpp"

namespace atomkit::reader {

// A frame found: its count line's offset, atom count, count line number, layout number and
// where its bytes end (past its last line).
using FrameRow = frames::FrameRecord;

enum class RefusalKind : std::uint8_t {
    count,        // a count line that is no atom count (fatal)
    no_comment,   // the source ends on the count line (fatal)
    ends_inside,  // the source ends inside the frame (fatal)
    long_line,    // a line longer than the limit (fatal)
    comment,      // the comment line: not UTF-8, refused by the parser, or its Properties refused
    atoms,        // an atom line
    changed,      // the file is not what it was when its frames were found (fatal)
};

// The names the package sees for the kinds, in enum order.
inline constexpr std::string_view refusal_kind_names[] = {"count",   "no_comment", "ends_inside", "long_line",
                                                          "comment", "atoms",      "changed"};

// Why a frame was not read, with what the message needs; the binding words it.
struct Refusal {
    RefusalKind kind = RefusalKind::atoms;
    std::size_t frame = 0;         // its number in the source
    std::uint64_t count_line = 0;  // the frame's count line number
    std::uint64_t line = 0;        // the line the message names
    bool fatal = false;            // nothing after it can be read
    // count, no_comment, ends_inside: the count line's bytes (without the line feed).
    // comment: the comment line's bytes. atoms: the failing line's bytes when the failure is
    // in a line (in_line).
    std::string text;
    // comment: what refused it (exactly one of these, or neither for a line that is not UTF-8).
    std::optional<CommentError> comment_error;
    std::optional<PropertiesError> properties_error;
    std::string properties;  // the refused Properties value
    // atoms: the parser's "row N: ..." message, the row within the frame and the token's column
    // (its place on the line, from 0; -1 when the failure names no token).
    std::string message;
    std::int64_t row = -1;
    std::int64_t column = -1;
    bool in_line = false;
    // ends_inside: the frame's atom count and the atom lines the source holds.
    std::uint64_t natoms = 0;
    std::uint64_t lines_held = 0;
    // long_line: the limit in bytes.
    std::uint64_t line_limit = 0;
};

// Where an I/O call failed: its errno.
struct IoError {
    int error_number = 0;
};

// Answers whether a long scan or read may go on; asked by the calling thread between waves of
// work. False stops the work: it then returns what it has, marked cancelled. An empty function
// never stops it.
using KeepGoing = std::function<bool()>;

// One layout's atom columns over the frames of a read that have it, rows in frame order.
struct AtomTable {
    std::int64_t layout = 0;
    ParsedAtoms atoms;
};

struct RunTable {
    std::vector<std::int64_t> frames;  // frame numbers, ascending
    std::vector<std::int64_t> natoms;
    std::vector<std::int64_t> lines;   // count-line numbers
    std::vector<std::int32_t> layout;
    std::vector<double> lattice;  // 9 a frame, zero without
    std::vector<std::uint8_t> has_lattice;
    std::vector<std::uint8_t> pbc;  // 3 a frame: the line's, else all three as the lattice implies
    std::vector<std::uint8_t> has_pbc;
    std::vector<std::uint8_t> has_properties;
    // Keys in order of first appearance. A column's `present` marks the frames whose value it
    // holds typed; a key whose values change type between frames is `deferred` (no typed
    // values), every one of its values in `loose`.
    std::vector<frames::InfoColumn> info;
    frames::KeySets keys;
    std::vector<frames::LooseValue> loose;  // `frame` is the row in this run; by row, then column
    std::vector<AtomTable> atoms;           // by layout number, layouts of the frames read only
    std::vector<Refusal> refusals;          // in frame order
};

struct ReadOutcome {
    RunTable run;
    bool cancelled = false;
};

}  // namespace atomkit::reader
