// Readers over one text as memory, a file and a stream, scanned to the end and read whole, for
// the native tests of the reader.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "../../fuzz/same_run.hpp"
#include "core/reader/frame_reader.hpp"
#include "harness.hpp"

namespace support {

using atomkit::reader::FrameReader;
using atomkit::reader::FrameRow;
using atomkit::reader::ReaderOptions;
using atomkit::reader::Refusal;
using atomkit::reader::RefusalKind;
using atomkit::reader::RunTable;

inline ReaderOptions options(std::size_t threads = 1) {
    ReaderOptions made;
    made.threads = threads;
    return made;
}

// A temporary file holding `text` (removed at once: the descriptor keeps it).
inline int file_of(std::string_view text) {
    char name[] = "/tmp/atomkit_reader_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    unlink(name);
    return fd;
}

// What a scan to the end found.
struct Scanned {
    std::vector<FrameRow> rows;
    std::vector<std::optional<std::string>> properties;
    std::optional<Refusal> failure;

    std::string difference(const Scanned& other) const {
        if (rows != other.rows) return "rows";
        if (properties != other.properties) return "properties";
        if (failure.has_value() != other.failure.has_value()) return "failure or none";
        if (failure && !fuzz::same_refusal(*failure, *other.failure)) return "failure";
        return {};
    }
};

inline Scanned scanned(FrameReader& reader, std::optional<std::size_t> limit = std::nullopt) {
    const auto progress = reader.scan(limit, {});
    if (!progress) std::abort();
    Scanned out;
    out.rows.assign(reader.rows().begin(), reader.rows().end());
    out.properties.assign(reader.properties().begin(), reader.properties().end());
    out.failure = progress->failure;
    return out;
}

// A stream fed `text` in pieces of `piece` bytes, scanned after each, then finished.
inline Scanned stream_scanned(std::string_view text, std::size_t piece, ReaderOptions made = options()) {
    FrameReader reader = FrameReader::over_stream(made);
    for (std::size_t at = 0; at < text.size(); at += piece) {
        reader.feed(text.substr(at, piece));
        if (!reader.scan(std::nullopt, {})) std::abort();
    }
    reader.finish();
    return scanned(reader);
}

inline RunTable read_all(const FrameReader& reader, bool keep_going_past) {
    std::vector<std::int64_t> frames;
    for (std::size_t k = 0; k < reader.rows().size(); ++k) frames.push_back(static_cast<std::int64_t>(reader.first_held() + k));
    auto outcome = reader.read(frames, keep_going_past, {});
    if (!outcome) std::abort();
    return std::move(outcome->run);
}

// The distinct tokens of a string column.
inline std::vector<std::string> tokens(const atomkit::StringColumn& column) {
    std::vector<std::string> out;
    for (std::uint32_t d = 0; d < column.distinct_count(); ++d) out.emplace_back(column.distinct(d));
    return out;
}

}  // namespace support
