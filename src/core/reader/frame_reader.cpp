// The reader's state over one source: the scan carried from call to call (or done in parts),
// the failures a scan ends with worded as the frame they come from, the rows held, and reads
// of held frames handed to read_run.
#include "core/reader/frame_reader.hpp"

#include <algorithm>
#include <string>

#include "core/common/internal_failure.hpp"
#include "core/common/utf8.hpp"
#include "core/frames/properties_value.hpp"
#include "core/reader/byte_source.hpp"
#include "core/reader/run_read.hpp"
#include "core/reader/scan_parts.hpp"
#include "core/reader/window_scan.hpp"

namespace atomkit::reader {
namespace {

// A line of the source (without its line feed), and whether a line feed ends it.
struct SourceLine {
    std::string text;
    bool ended = false;
};

std::expected<SourceLine, IoError> line_at(const ByteSource& source, std::uint64_t offset) {
    ReadBuffer buffer;
    for (std::size_t length = std::size_t{1} << 16;; length *= 2) {
        const std::uint64_t left = source.size() > offset ? source.size() - offset : 0;
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, left));
        const auto bytes = source.bytes(offset, want, buffer);
        if (!bytes) return std::unexpected(bytes.error());
        const std::size_t feed = bytes->find('\n');
        if (feed != std::string_view::npos) return SourceLine{std::string(bytes->substr(0, feed)), true};
        if (bytes->size() < length) return SourceLine{std::string(*bytes), false};
    }
}

// The refusal of a comment line (of the frame whose count line is line `count_line`), or
// nullopt when the line reads and names Properties that read.
std::optional<Refusal> comment_refusal(const std::string& line, std::uint64_t count_line, std::size_t int_digits_limit) {
    Refusal refusal;
    refusal.kind = RefusalKind::comment;
    refusal.count_line = count_line;
    refusal.line = count_line + 1;
    refusal.text = line;
    if (!is_valid_utf8(line)) return refusal;
    const auto comment = parse_comment_line(line, {.type_all = true, .int_digits_limit = int_digits_limit});
    if (!comment) {
        refusal.comment_error = comment.error();
        return refusal;
    }
    refusal.properties = comment->properties.value_or(std::string(frames::plain_xyz_properties));
    const auto layout = parse_properties(refusal.properties);
    if (layout) return std::nullopt;
    refusal.properties_error = layout.error();
    return refusal;
}

}  // namespace

struct FrameReader::State {
    State(ByteSource made, ReaderOptions given)
        : source(std::move(made)),
          options(given),
          scan(source.kind() == ByteSource::Kind::stream ? endless : source.size(), given.line_limit) {
        options.threads = std::max<std::size_t>(options.threads, 1);
    }

    ByteSource source;
    ReaderOptions options;
    WindowScan scan;
    LayoutBook book;
    std::vector<FrameRow> rows;  // frames erased .. found() - 1; the last found is always kept
    std::size_t erased = 0;
    std::size_t first_held = 0;
    bool complete = false;
    bool fresh = true;  // nothing scanned yet
    std::optional<Refusal> failure;

    std::size_t found() const noexcept { return erased + rows.size(); }

    ScanProgress progress(bool cancelled = false) const { return {found(), complete, failure, cancelled}; }

    std::vector<const ParsedLayout*> layouts() const {
        std::vector<const ParsedLayout*> all(book.size());
        for (std::size_t k = 0; k < all.size(); ++k) all[k] = book.layout(k);
        return all;
    }

    std::expected<ReadOutcome, IoError> read_rows(std::span<const FrameRow> picked, std::span<const std::int64_t> numbers,
                                                  bool keep_going_past, const KeepGoing* keep_going,
                                                  std::size_t threads) const {
        const std::vector<const ParsedLayout*> all = layouts();
        RunRequest request;
        if (source.kind() == ByteSource::Kind::file) {
            request.source.fd = source.fd();
        } else {
            request.source.data = source.held();
            request.source.base = source.held_from();
        }
        request.rows = picked;
        request.numbers = numbers;
        request.layouts = all;
        request.threads = threads;
        request.int_digits_limit = options.int_digits_limit;
        request.keep_going_past = keep_going_past;
        request.keep_going = keep_going;
        request.wave_bytes = options.wave_bytes;
        request.window = options.window_bytes;
        return read_run(request);
    }

    Refusal fatal(RefusalKind kind, std::size_t frame, std::uint64_t line) const {
        Refusal refusal;
        refusal.kind = kind;
        refusal.frame = frame;
        refusal.count_line = refusal.line = line;
        refusal.fatal = true;
        return refusal;
    }

    // Whether the source is a file that fstat no longer gives the identity of.
    std::expected<bool, IoError> file_changed() const {
        if (source.kind() != ByteSource::Kind::file) return false;
        const auto same = source.unchanged();
        if (!same) return std::unexpected(same.error());
        return !*same;
    }

    // The end of the scan, with the failure it met (if any): but a file that changed
    // meanwhile fails where it changed, so that is the failure to give.
    std::expected<ScanProgress, IoError> end_scan(const frames::ScanStop* stop) {
        const auto changed = file_changed();
        if (!changed) return std::unexpected(changed.error());
        if (*changed) {
            failure = fatal(RefusalKind::changed, found(), 0);
        } else if (stop != nullptr) {
            auto refusal = failure_of(*stop);
            if (!refusal) return std::unexpected(refusal.error());
            failure = std::move(*refusal);
        }
        complete = true;
        return progress();
    }

    // The frame before the one the scan cannot pass (frame `next`), when it is refused itself:
    // then its atom lines most likely ran into the next frame, and its refusal is the failure.
    std::expected<std::optional<Refusal>, IoError> attribute(std::size_t next) {
        if (next == 0) return std::nullopt;
        const FrameRow row = rows.back();
        const auto number = static_cast<std::int64_t>(next - 1);
        const auto outcome = read_rows({&row, 1}, {&number, 1}, false, nullptr, 1);
        if (!outcome) return std::unexpected(outcome.error());
        if (outcome->run.refusals.empty()) return std::nullopt;
        rows.pop_back();  // no longer found
        first_held = std::min(first_held, found());
        return outcome->run.refusals.front();
    }

    // The atom lines the source holds of the frame it ends inside.
    std::uint64_t lines_held() const {
        const frames::ScanState& state = scan.state();
        if (state.phase != frames::ScanPhase::atoms) return 0;
        return state.natoms - state.lines_left + (state.line_start < state.size ? 1 : 0);
    }

    // The source ends inside the pending frame: its comment line's refusal when that line is
    // whole, else ends_inside.
    std::expected<Refusal, IoError> ends_inside(const frames::ScanStop& stop) {
        const auto count = line_at(source, stop.frame_offset);
        if (!count) return std::unexpected(count.error());
        const auto comment = line_at(source, stop.frame_offset + count->text.size() + 1);
        if (!comment) return std::unexpected(comment.error());
        if (comment->ended) {
            if (auto refused = comment_refusal(comment->text, stop.lineno, options.int_digits_limit)) {
                refused->frame = found();
                refused->fatal = true;
                return *refused;
            }
        }
        Refusal refusal = fatal(RefusalKind::ends_inside, found(), stop.lineno);
        refusal.text = count->text;
        refusal.natoms = scan.state().natoms;
        refusal.lines_held = lines_held();
        return refusal;
    }

    // The failure the scan stopped at, as the refusal of the frame it comes from.
    std::expected<Refusal, IoError> failure_of(const frames::ScanStop& stop) {
        switch (stop.failure) {
            case frames::FailureKind::long_line: {
                Refusal refusal = fatal(RefusalKind::long_line, found(), stop.lineno);
                const frames::ScanState& state = scan.state();
                if (state.phase != frames::ScanPhase::count) refusal.count_line = state.frame_lineno;
                refusal.line_limit = options.line_limit;
                return refusal;
            }
            case frames::FailureKind::ends_inside: return ends_inside(stop);
            case frames::FailureKind::bad_count:
            case frames::FailureKind::no_comment: break;
        }
        auto attributed = attribute(found());
        if (!attributed) return std::unexpected(attributed.error());
        if (*attributed) {
            (*attributed)->fatal = true;
            return std::move(**attributed);
        }
        const bool count = stop.failure == frames::FailureKind::bad_count;
        Refusal refusal = fatal(count ? RefusalKind::count : RefusalKind::no_comment, found(), stop.lineno);
        const auto line = line_at(source, stop.frame_offset);
        if (!line) return std::unexpected(line.error());
        refusal.text = line->text;
        return refusal;
    }

    // Whether this scan goes in parts: a large file, scanned to its end on several threads.
    bool in_parts(std::optional<std::size_t> limit) const {
        return fresh && !limit && options.threads > 1 && source.kind() == ByteSource::Kind::file &&
               source.size() >= options.parts_from;
    }

    // The scan in parts: its progress, or nullopt when the file is to be scanned whole.
    std::expected<std::optional<ScanProgress>, IoError> scan_parts(const KeepGoing& keep_going) {
        const PartsRequest request{options.threads, options.line_limit, options.parts_from / 4, options.wave_bytes,
                                   &keep_going};
        switch (scan_in_parts(source, request, book, rows)) {
            case PartsEnd::whole: return std::nullopt;
            case PartsEnd::cancelled: return progress(true);
            case PartsEnd::done: break;
        }
        fresh = false;
        return end_scan(nullptr);
    }
};

FrameReader::FrameReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
FrameReader::FrameReader(FrameReader&&) noexcept = default;
FrameReader& FrameReader::operator=(FrameReader&&) noexcept = default;
FrameReader::~FrameReader() = default;

std::expected<FrameReader, IoError> FrameReader::over_file(int fd, ReaderOptions options) {
    const auto identity = identity_of(fd);
    if (!identity) return std::unexpected(identity.error());
    return FrameReader(std::make_unique<State>(ByteSource::over_file(fd, *identity), options));
}

FrameReader FrameReader::over_memory(std::string_view data, ReaderOptions options) {
    return FrameReader(std::make_unique<State>(ByteSource::over_memory(data), options));
}

FrameReader FrameReader::over_stream(ReaderOptions options) {
    return FrameReader(std::make_unique<State>(ByteSource::over_stream(), options));
}

std::optional<std::string> FrameReader::rows_misfit(std::span<const FrameRow> rows, std::size_t layouts,
                                                    std::optional<std::uint64_t> size) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const FrameRow& row = rows[k];
        const std::string at = "frame " + std::to_string(k) + ": ";
        if (row.offset < 0 || row.end <= row.offset) return at + "its bytes end before they start";
        if (row.natoms < 0 || row.natoms > row.end - row.offset) return at + "more atoms than its bytes hold lines";
        if (row.lineno < 1) return at + "line numbers count from 1";
        if (row.layout < 0 || static_cast<std::size_t>(row.layout) >= layouts) return at + "no such layout";
        if (size && static_cast<std::uint64_t>(row.end) > *size) return at + "its bytes end past the source's end";
        if (k > 0 && (row.offset < rows[k - 1].end || row.lineno <= rows[k - 1].lineno)) {
            return at + "it starts before the frame before it ends";
        }
    }
    return std::nullopt;
}

void FrameReader::set_found(std::vector<FrameRow> rows, std::vector<std::optional<std::string>> properties,
                            std::optional<std::pair<std::uint64_t, std::int64_t>> identity) {
    State& s = *state_;
    const bool memory = s.source.kind() == ByteSource::Kind::memory;
    if (s.source.kind() == ByteSource::Kind::stream) fail("set_found on a stream");
    if (auto misfit = rows_misfit(rows, properties.size(), memory ? std::optional(s.source.size()) : std::nullopt)) {
        fail_noted("set_found: rows that are no frames of the source", *misfit);
    }
    s.rows = std::move(rows);
    s.erased = 0;
    s.first_held = 0;
    s.book.assign(std::move(properties));
    s.complete = true;
    s.fresh = false;
    s.failure.reset();
    if (identity && !memory) {
        FileIdentity now = s.source.identity();
        now.size = identity->first;
        now.mtime_ns = identity->second;
        s.source.set_identity(now);
    }
}

void FrameReader::feed(std::string_view bytes) { state_->source.feed(bytes); }

void FrameReader::finish() {
    State& s = *state_;
    if (s.source.kind() != ByteSource::Kind::stream) fail("finish on a source that is not a stream");
    s.source.finish();
    s.scan.set_size(s.source.size());
}

std::expected<ScanProgress, IoError> FrameReader::scan(std::optional<std::size_t> limit, const KeepGoing& keep_going) {
    State& s = *state_;
    if (s.complete || (limit && s.found() > *limit)) return s.progress();
    if (s.in_parts(limit)) {
        auto parted = s.scan_parts(keep_going);
        if (!parted) return std::unexpected(parted.error());
        if (*parted) return **parted;  // else scanned whole
    }
    s.fresh = false;
    while (true) {
        const ScanBounds bounds{limit ? std::optional(*limit - s.erased) : std::nullopt, s.options.wave_bytes, std::nullopt};
        const auto end = s.scan.run(s.source, s.book, s.rows, bounds);
        if (!end) return std::unexpected(end.error());
        switch (*end) {
            case ScanEnd::done: return s.end_scan(nullptr);
            case ScanEnd::failure: return s.end_scan(&s.scan.stop());
            case ScanEnd::short_file:
                s.failure = s.fatal(RefusalKind::changed, s.found(), 0);
                s.complete = true;
                return s.progress();
            case ScanEnd::starved:
            case ScanEnd::limit: return s.progress();
            case ScanEnd::budget:
                if (keep_going && !keep_going()) return s.progress(true);
                break;
            case ScanEnd::part_end: fail("a whole scan stopped at a part's end");
        }
    }
}

std::span<const FrameRow> FrameReader::rows() const noexcept {
    const State& s = *state_;
    return std::span(s.rows).subspan(s.first_held - s.erased);
}

std::size_t FrameReader::first_held() const noexcept { return state_->first_held; }

std::span<const std::optional<std::string>> FrameReader::properties() const noexcept { return state_->book.values(); }

const std::expected<AtomLayout, PropertiesError>* FrameReader::layout(std::size_t number) const noexcept {
    return state_->book.layout(number);
}

std::expected<ReadOutcome, IoError> FrameReader::read(std::span<const std::int64_t> frames, bool keep_going_past,
                                                      const KeepGoing& keep_going, std::size_t threads) const {
    const State& s = *state_;
    std::vector<FrameRow> picked;
    picked.reserve(frames.size());
    for (const std::int64_t frame : frames) {
        if (frame < static_cast<std::int64_t>(s.first_held) || frame >= static_cast<std::int64_t>(s.found())) {
            fail_noted("FrameReader::read: a frame not held", "frame " + std::to_string(frame));
        }
        picked.push_back(s.rows[static_cast<std::size_t>(frame) - s.erased]);
    }
    auto outcome = s.read_rows(picked, frames, keep_going_past, &keep_going, threads == 0 ? s.options.threads : threads);
    if (!outcome || s.source.kind() != ByteSource::Kind::file) return outcome;
    const auto same = s.source.unchanged();
    if (!same) return std::unexpected(same.error());
    if (!*same) {
        // Nothing read can be trusted: the run is given up for the refusal.
        outcome->run = RunTable{};
        outcome->run.refusals.push_back(s.fatal(RefusalKind::changed, frames.empty() ? 0 : static_cast<std::size_t>(frames[0]), 0));
    }
    return outcome;
}

std::size_t FrameReader::held_bytes() const noexcept {
    const ByteSource& source = state_->source;
    return source.kind() == ByteSource::Kind::stream ? source.held().size() : 0;
}

void FrameReader::release(std::size_t frame) {
    State& s = *state_;
    frame = std::min(frame, s.found());
    if (frame <= s.first_held) return;
    s.first_held = frame;
    // Rows are moved down once most of them are released; the last found stays (a scan failure
    // may be its frame's).
    const std::size_t drop = std::min(s.first_held, s.found() - 1) - s.erased;
    if (drop > 0 && drop >= s.rows.size() / 2) {
        s.rows.erase(s.rows.begin(), s.rows.begin() + static_cast<std::ptrdiff_t>(drop));
        s.erased += drop;
    }
    if (s.source.kind() != ByteSource::Kind::stream) return;
    const frames::ScanState& state = s.scan.state();
    std::uint64_t keep = state.phase == frames::ScanPhase::count ? state.position : state.frame_offset;
    if (!s.rows.empty()) keep = std::min(keep, static_cast<std::uint64_t>(s.rows.back().offset));
    if (s.first_held < s.found()) keep = std::min(keep, static_cast<std::uint64_t>(rows().front().offset));
    s.source.drop_before(keep);
}

}  // namespace atomkit::reader
