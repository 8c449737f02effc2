// A large file's frames found in parts at once: each part from a line of digits alone near an
// even split (most likely a count line) to where the next starts, scanned on its own thread as
// if the file began there. A part must end exactly where the next starts, at the start of a
// frame; else (or where a part meets a frame it cannot pass) the file is to be scanned whole,
// which finds what a scan should. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "core/reader/byte_source.hpp"
#include "core/reader/properties_layout.hpp"
#include "core/reader/run_table.hpp"

namespace atomkit::reader {

struct PartsRequest {
    std::size_t parts = 1;             // at most this many (the threads one scan may use)
    std::uint64_t line_limit = 0;
    std::uint64_t least_part = 0;      // bytes a part holds at least
    std::uint64_t wave_bytes = 0;      // bytes scanned between two keep_going questions
    const KeepGoing* keep_going = nullptr;
};

enum class PartsEnd : std::uint8_t {
    done,       // every frame found: `rows`, their layouts numbered by `book`
    whole,      // scan the file whole instead
    cancelled,  // keep_going said to stop
};

// Scans the file `source` in parts, appending its frames to `rows` (empty) with their layouts
// numbered by `book` (empty) as one scan from the start would number them; both are left as
// they are unless every frame is found.
[[nodiscard]] PartsEnd scan_in_parts(const ByteSource& source, const PartsRequest& request, LayoutBook& book,
                                     std::vector<FrameRow>& rows);

}  // namespace atomkit::reader
