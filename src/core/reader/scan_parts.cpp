// Parts of a file scanned at once on the module's threads, a budget of bytes each between two
// questions to keep_going, then joined: line numbers carried on, layouts numbered again by their
// Properties in order of first appearance.
#include "core/reader/scan_parts.hpp"

#include <algorithm>
#include <optional>

#include "core/common/thread_pool.hpp"
#include "core/reader/window_scan.hpp"

namespace atomkit::reader {
namespace {

// A part's count line is looked for this far past an even split.
constexpr std::size_t guess_bytes = std::size_t{1} << 16;

bool is_space_or_tab(char c) noexcept { return c == ' ' || c == '\t'; }
bool is_digit_char(char c) noexcept { return c >= '0' && c <= '9'; }

// Where the first line of digits alone (spaces, tabs, one '+', a carriage return allowed) that
// follows a line feed starts in `bytes`, or npos.
std::size_t digits_line(std::string_view bytes) noexcept {
    for (std::size_t feed = bytes.find('\n'); feed != std::string_view::npos; feed = bytes.find('\n', feed + 1)) {
        std::size_t i = feed + 1;
        while (i < bytes.size() && is_space_or_tab(bytes[i])) ++i;
        if (i < bytes.size() && bytes[i] == '+') ++i;
        const std::size_t digits = i;
        while (i < bytes.size() && is_digit_char(bytes[i])) ++i;
        if (i == digits) continue;
        while (i < bytes.size() && (is_space_or_tab(bytes[i]) || bytes[i] == '\r')) ++i;
        if (i < bytes.size() && bytes[i] == '\n') return feed + 1;
    }
    return std::string_view::npos;
}

// Where the parts start: 0, then a line of digits alone near each even split.
std::vector<std::uint64_t> part_starts(const ByteSource& source, const PartsRequest& request) {
    const std::uint64_t size = source.size();
    const std::uint64_t count = std::min<std::uint64_t>(request.parts, size / std::max<std::uint64_t>(1, request.least_part));
    std::vector<std::uint64_t> starts = {0};
    ReadBuffer buffer;
    for (std::uint64_t k = 1; k < count; ++k) {
        const std::uint64_t at = size / count * k + size % count * k / count;
        const auto bytes = source.bytes(at, static_cast<std::size_t>(std::min<std::uint64_t>(guess_bytes, size - at)), buffer);
        if (!bytes) return {0};  // the scan whole meets the error
        const std::size_t found = digits_line(*bytes);
        if (found != std::string_view::npos && at + found > starts.back()) starts.push_back(at + found);
    }
    return starts;
}

struct Part {
    Part(const ByteSource& source, const PartsRequest& request, std::uint64_t start, std::optional<std::uint64_t> stop)
        : scan(source.size(), request.line_limit, start), end(stop) {}

    WindowScan scan;
    std::optional<std::uint64_t> end;  // the next part's start (none for the last)
    LayoutBook book{false};
    std::vector<FrameRow> rows;
    bool running = true;
    bool exact = false;
};

// Scans the part on for `budget` bytes; it is then exact, misplaced, or running still.
void step(const ByteSource& source, Part& part, std::uint64_t budget) {
    const auto end = part.scan.run(source, part.book, part.rows, {std::nullopt, budget, part.end});
    if (end && *end == ScanEnd::budget) return;
    part.running = false;
    if (!end) return;
    const frames::ScanState& state = part.scan.state();
    part.exact = (*end == ScanEnd::done && !part.end) ||
                 (*end == ScanEnd::part_end && state.position == *part.end && state.phase == frames::ScanPhase::count);
}

bool keep_on(const PartsRequest& request) { return request.keep_going == nullptr || !*request.keep_going || (*request.keep_going)(); }

}  // namespace

PartsEnd scan_in_parts(const ByteSource& source, const PartsRequest& request, LayoutBook& book,
                       std::vector<FrameRow>& rows) {
    const std::vector<std::uint64_t> starts = part_starts(source, request);
    if (starts.size() < 2) return PartsEnd::whole;
    std::vector<Part> parts;
    parts.reserve(starts.size());
    for (std::size_t k = 0; k < starts.size(); ++k) {
        parts.emplace_back(source, request, starts[k], k + 1 < starts.size() ? std::optional(starts[k + 1]) : std::nullopt);
    }
    const std::uint64_t budget = std::max<std::uint64_t>(request.wave_bytes / parts.size(), 1);
    while (true) {
        parallel_for(parts.size(), [&](std::size_t k) {
            if (parts[k].running) step(source, parts[k], budget);
        });
        bool running = false;
        for (const Part& part : parts) {
            if (!part.running && !part.exact) return PartsEnd::whole;
            running = running || part.running;
        }
        if (!running) break;
        if (!keep_on(request)) return PartsEnd::cancelled;
    }
    std::uint64_t lines_before = 0;
    for (Part& part : parts) {
        std::vector<std::int64_t> numbers;
        for (const auto& value : part.book.values()) {
            numbers.push_back(book.number_of(value ? std::optional<std::string_view>(*value) : std::nullopt));
        }
        for (FrameRow& row : part.rows) {
            row.lineno += static_cast<std::int64_t>(lines_before);
            row.layout = numbers[static_cast<std::size_t>(row.layout)];
            rows.push_back(row);
        }
        lines_before += part.scan.state().lineno - 1;
    }
    return PartsEnd::done;
}

}  // namespace atomkit::reader
