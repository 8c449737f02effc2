// Frames read into one RunTable: ranges of frames of about equal work run on the module's
// threads a wave at a time (keep_going asked between waves), each frame's count line checked,
// its comment line typed and its atom lines parsed strictly straight into its layout's rows;
// frames refused are left out (or end the read) with their refusals. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "core/frames/file_window.hpp"
#include "core/reader/properties_layout.hpp"
#include "core/reader/run_table.hpp"

namespace atomkit::reader {

// Text a thread reads in one wave: about 0.1 s of work.
inline constexpr std::size_t default_wave_bytes = std::size_t{64} << 20;

// Where a read finds its frames' bytes: a file read with pread a window at a time, or bytes
// held in memory that start at offset `base`.
struct RunSource {
    int fd = -1;
    std::string_view data;
    std::uint64_t base = 0;
};

struct RunRequest {
    RunSource source;
    std::span<const FrameRow> rows;          // the frames to read, ascending
    std::span<const std::int64_t> numbers;   // their numbers in the source, ascending
    std::span<const ParsedLayout* const> layouts;  // by layout number; nullptr: lines that cannot be read
    std::size_t threads = 1;
    std::size_t int_digits_limit = 0;
    bool keep_going_past = false;
    const KeepGoing* keep_going = nullptr;
    std::size_t wave_bytes = default_wave_bytes;
    std::size_t window = frames::window_bytes;
};

[[nodiscard]] std::expected<ReadOutcome, IoError> read_run(const RunRequest& request);

}  // namespace atomkit::reader
