// The scan's loop over windows: the scanner stops for a window used up (the next one starts
// where it stopped, twice as long when it could not move), a comment line to place, the end or
// a failure; the loop returns for what its caller decides (a limit, a budget, a stream starved).
#include "core/reader/window_scan.hpp"

#include <algorithm>
#include <string>

#include "core/common/internal_failure.hpp"
#include "core/frames/file_window.hpp"

namespace atomkit::reader {

WindowScan::WindowScan(std::uint64_t size, std::uint64_t line_limit, std::uint64_t start) {
    state_.size = size;
    state_.line_limit = line_limit;
    state_.position = start;
    state_.line_start = start;
}

std::expected<std::optional<ScanEnd>, IoError> WindowScan::next_window(const ByteSource& source,
                                                                       const ScanBounds& bounds, bool stuck) {
    const std::uint64_t position = state_.position;
    if (bounds.part_end && position >= *bounds.part_end) return ScanEnd::part_end;
    const std::uint64_t end = bounds.part_end ? *bounds.part_end : source.size();
    const std::uint64_t left = end - position;
    const std::uint64_t longest = state_.line_limit + 1;  // a window this long holds a whole line, or shows it too long
    std::uint64_t length = std::min({std::uint64_t{frames::window_bytes}, longest, left});
    if (stuck) {
        length = std::min({2 * std::uint64_t{window_.size()}, longest, left});
        if (length == window_.size()) {
            // The window holds every byte there is, and the scanner needs more.
            if (!source.whole() && !bounds.part_end) return ScanEnd::starved;
            if (bounds.part_end) return ScanEnd::part_end;
            fail("the frame scanner stopped inside a whole source at byte " + std::to_string(position));
        }
    } else if (left == 0 && !source.whole() && !bounds.part_end) {
        return ScanEnd::starved;
    }
    const auto bytes = source.bytes(position, static_cast<std::size_t>(length), buffer_);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->size() != length) return ScanEnd::short_file;
    window_ = *bytes;
    window_offset_ = position;
    return std::nullopt;
}

std::expected<ScanEnd, IoError> WindowScan::run(const ByteSource& source, LayoutBook& book,
                                                std::vector<FrameRow>& rows, const ScanBounds& bounds) {
    const std::uint64_t start = state_.position;
    bool stuck = false;
    while (true) {
        const auto window = next_window(source, bounds, stuck);
        if (!window) return std::unexpected(window.error());
        if (*window) return **window;
        frames::ScanStop stop;
        while (true) {
            stop = frames::scan_frames(window_, window_offset_, state_, &known_, rows, &finder_);
            if (bounds.rows_limit && rows.size() > *bounds.rows_limit) return ScanEnd::limit;
            if (stop.kind != frames::StopKind::comment) break;
            // The layout of a comment line the scanner could not place: its Properties value,
            // learnt for the lines after, or the number of lines that cannot be read.
            const std::int64_t number = book.number_of(stop.candidate);
            if (stop.candidate) known_.add(*stop.candidate, number);
            state_.layout = number;
        }
        switch (stop.kind) {
            case frames::StopKind::done: return ScanEnd::done;
            case frames::StopKind::failure:
                stop_ = std::move(stop);
                return ScanEnd::failure;
            default: break;
        }
        if (bounds.budget != 0 && state_.position - start >= bounds.budget) return ScanEnd::budget;
        stuck = state_.position == window_offset_ && !window_.empty();
    }
}

}  // namespace atomkit::reader
