// A large frame's atom lines read from its file a window at a time: split into pieces at line
// starts, each piece's line feeds counted (so that it knows its first row), then every piece
// parsed into its own rows of the table, each on a thread with a window of its own.
#include "core/reader/large_frame.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/atom_lines/split_parse.hpp"
#include "core/common/thread_pool.hpp"
#include "core/frames/file_window.hpp"

namespace atomkit::reader {
namespace {

// How one piece's read ended.
struct PieceRead {
    std::optional<ParseFailure> failure;  // the first that is not extra tokens, else the first
    std::string failed_line;
    bool changed = false;
    std::optional<IoError> io;
    std::size_t line_feeds = 0;  // counted in the first pass
};

// Reads [from, ahead) into `window`; false (with `piece` told why) when the file no longer
// holds those bytes or the read fails.
bool read_into(frames::FileWindow& window, std::uint64_t from, std::uint64_t ahead, PieceRead& piece) {
    switch (window.read(from, ahead, ahead)) {
        case frames::WindowRead::ok: return true;
        case frames::WindowRead::short_file: piece.changed = true; return false;
        case frames::WindowRead::failed: piece.io = IoError{window.error()}; return false;
    }
    return false;
}

// The start of the first line that starts after `cut` - 1 (at most `end`), read from the file.
std::optional<std::uint64_t> line_start_after(int fd, std::uint64_t cut, std::uint64_t end, std::size_t window,
                                              PieceRead& piece) {
    frames::FileWindow text(fd);
    for (std::uint64_t at = cut - 1; at < end;) {
        const std::uint64_t ahead = std::min<std::uint64_t>(end, at + window);
        if (!read_into(text, at, ahead, piece)) return std::nullopt;
        const std::string_view bytes = text.bytes();
        if (const void* feed = std::memchr(bytes.data(), '\n', bytes.size())) {
            return at + static_cast<std::uint64_t>(static_cast<const char*>(feed) - bytes.data()) + 1;
        }
        at = ahead;
    }
    return end;
}

// Line feeds of [from, to), a window at a time.
void count_piece(int fd, std::uint64_t from, std::uint64_t to, std::size_t window, PieceRead& piece) {
    frames::FileWindow text(fd);
    for (std::uint64_t at = from; at < to;) {
        const std::uint64_t ahead = std::min<std::uint64_t>(to, at + window);
        if (!read_into(text, at, ahead, piece)) return;
        piece.line_feeds += count_line_feeds(text.bytes().data(), text.bytes().size());
        at = ahead;
    }
}

// `parser`'s rows, all of them, from the lines of [from, to): each window parses the lines it
// holds whole (the last window every line left: the frame's last line may end the file without
// a line feed). A strict parse's extra tokens fail a row only when no later row fails otherwise,
// so the first such failure is kept while the rows go on.
void parse_piece(int fd, std::uint64_t from, std::uint64_t to, std::size_t window, FramePart frame,
                 std::size_t rows, AtomParser& parser, PieceRead& piece) {
    frames::FileWindow text(fd);
    std::size_t length = window;
    for (std::uint64_t at = from; rows > 0;) {
        const std::uint64_t ahead = std::min<std::uint64_t>(to, at + length);
        if (!read_into(text, at, ahead, piece)) return;
        const std::string_view bytes = text.bytes();
        const std::size_t lines = ahead == to ? rows : std::min(rows, count_line_feeds(bytes.data(), bytes.size()));
        if (lines == 0) {  // a line longer than the window
            length *= 2;
            continue;
        }
        const bool parsed = parser.parse_frame_part(bytes, 0, lines, frame);
        if (!parsed && (!parser.failure().extra_tokens || !piece.failure)) {
            piece.failure = parser.failure();
            if (piece.failure->in_line) {
                const std::string_view rest = bytes.substr(std::min(piece.failure->line_start, bytes.size()));
                piece.failed_line.assign(rest.substr(0, std::min(rest.find('\n'), rest.size())));
            }
            if (!parser.failure().extra_tokens) return;
        }
        at += parser.block_end();
        rows -= lines;
        length = window;
    }
}

// Where the pieces start: at line starts after even cuts of the frame's bytes; each piece's
// first row from the line feeds of the pieces before it (counted at once). Pieces that would
// start past the frame's last row are left out.
bool plan_pieces(const LargeFrame& frame, std::vector<std::uint64_t>& starts, std::vector<std::size_t>& first_rows,
                 std::vector<PieceRead>& pieces) {
    starts.assign(1, frame.begin);
    PieceRead& first = pieces.emplace_back();
    for (std::size_t k = 1; k < frame.ranges; ++k) {
        const std::uint64_t cut = frame.begin + range_boundary(frame.end - frame.begin, frame.ranges, k);
        if (cut <= starts.back()) continue;
        const auto start = line_start_after(frame.fd, cut, frame.end, frame.window, first);
        if (!start) return false;
        if (*start >= frame.end) break;
        if (*start > starts.back()) starts.push_back(*start);
    }
    pieces.resize(starts.size());
    parallel_for(starts.size() - 1, [&](std::size_t k) {
        count_piece(frame.fd, starts[k], starts[k + 1], frame.window, pieces[k]);
    });
    first_rows.assign(1, 0);
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
        if (pieces[k].changed || pieces[k].io) return false;
        first_rows.push_back(first_rows.back() + pieces[k].line_feeds);
    }
    while (starts.size() > 1 && first_rows.back() >= frame.rows.rows) {
        starts.pop_back();
        first_rows.pop_back();
    }
    first_rows.push_back(frame.rows.rows);
    return true;
}

// The outcome a read of the whole frame gives: a failed read first, then a file that changed,
// then the failure of the lowest piece that is not extra tokens, else the lowest piece's.
LargeFrameRead outcome_of(std::vector<PieceRead>& pieces) {
    LargeFrameRead read;
    for (PieceRead& piece : pieces) {
        if (piece.io) {
            read.io = piece.io;
            return read;
        }
    }
    read.changed = std::ranges::any_of(pieces, [](const PieceRead& piece) { return piece.changed; });
    if (read.changed) return read;
    PieceRead* chosen = nullptr;
    for (PieceRead& piece : pieces) {
        if (piece.failure && !piece.failure->extra_tokens) {
            chosen = &piece;
            break;
        }
        if (piece.failure && chosen == nullptr) chosen = &piece;
    }
    if (chosen != nullptr) {
        read.failure = std::move(chosen->failure);
        read.failed_line = std::move(chosen->failed_line);
    }
    return read;
}

}  // namespace

LargeFrameRead read_large_frame(const LargeFrame& frame, ParsedAtoms& columns) {
    std::vector<std::uint64_t> starts;
    std::vector<std::size_t> first_rows;
    std::vector<PieceRead> pieces;
    if (!plan_pieces(frame, starts, first_rows, pieces)) return outcome_of(pieces);
    std::vector<std::optional<AtomParser>> parsers(starts.size());
    parallel_for(starts.size(), [&](std::size_t k) {
        const std::size_t first = frame.rows.first + first_rows[k];
        const std::size_t rows = first_rows[k + 1] - first_rows[k];
        AtomParser& parser = parsers[k].emplace(columns, frame.codes, /*check_strings=*/true, first, first + rows);
        parser.set_strict(true);
        const std::uint64_t to = k + 1 < starts.size() ? starts[k + 1] : frame.end;
        parse_piece(frame.fd, starts[k], to, frame.window, frame.rows, rows, parser, pieces[k]);
    });
    LargeFrameRead read = outcome_of(pieces);
    if (read.io || read.changed || read.failure) return read;
    read.strings = std::move(parsers[0]->columns().strs);
    for (std::size_t c = 0; c < read.strings.size(); ++c) {
        for (std::size_t k = 1; k < parsers.size(); ++k) read.strings[c].append(parsers[k]->columns().strs[c]);
    }
    return read;
}

}  // namespace atomkit::reader
