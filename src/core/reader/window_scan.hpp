// The frame scanner run over a source a window at a time: each window read from where the scan
// stopped (about a MiB; longer when a line does not fit, up to the line limit), each comment
// line the scanner cannot place given the layout number of the Properties it names. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "core/frames/frame_scan.hpp"
#include "core/frames/properties_value.hpp"
#include "core/reader/byte_source.hpp"
#include "core/reader/properties_layout.hpp"

namespace atomkit::reader {

// The size a stream's scan is given until its end is known: it then asks for more at the end of
// every window.
inline constexpr std::uint64_t endless = std::uint64_t{1} << 62;

// Why a run of the scan returned.
enum class ScanEnd : std::uint8_t {
    done,        // the end of the source: every frame is found
    failure,     // a frame that cannot be passed, or a line that is too long (stop() says which)
    starved,     // a stream whose bytes fed are used up
    limit,       // more frames found than the limit
    budget,      // the bytes to scan at once were passed
    part_end,    // the scan reached the end of its part (or stopped there)
    short_file,  // the file ends before the size it had
};

struct ScanBounds {
    std::optional<std::size_t> rows_limit;      // return once `rows` holds more frames
    std::uint64_t budget = 0;                    // return once this many bytes were passed (0: never)
    std::optional<std::uint64_t> part_end;       // scan no further (a count line's offset)
};

class WindowScan {
public:
    // A scan of a source of `size` bytes from offset `start` (a count line's, or 0), its lines
    // numbered from 1 there.
    WindowScan(std::uint64_t size, std::uint64_t line_limit, std::uint64_t start = 0);

    // Scans on, appending the frames found to `rows` (layouts numbered by `book`).
    [[nodiscard]] std::expected<ScanEnd, IoError> run(const ByteSource& source, LayoutBook& book,
                                                      std::vector<FrameRow>& rows, const ScanBounds& bounds);

    const frames::ScanState& state() const noexcept { return state_; }
    // A stream's end is known: its size.
    void set_size(std::uint64_t size) noexcept { state_.size = size; }
    // The failure that ended the scan.
    const frames::ScanStop& stop() const noexcept { return stop_; }

private:
    // The window to scan next, or why there is none.
    std::expected<std::optional<ScanEnd>, IoError> next_window(const ByteSource& source, const ScanBounds& bounds,
                                                               bool stuck);

    frames::ScanState state_;
    frames::KnownLayouts known_;
    frames::PropertiesFinder finder_;
    ReadBuffer buffer_;
    std::string_view window_;
    std::uint64_t window_offset_ = 0;
    frames::ScanStop stop_;
};

}  // namespace atomkit::reader
