// libFuzzer target of the frame scanner: any bytes as a file, scanned in one window and in
// windows cut at random points. Both give the frames (and the failure) of a line-by-line
// reference walk, and every comment line the parser reads gets the Properties it names. The
// reader over the same bytes as memory (scanned with limits in steps), a file, and a stream fed
// in random pieces that lets its frames go as it finds them gives those frames too (but for one
// a failure is blamed on), the same layouts and the same failure.
//
// Input: a control byte (bits 0-2 the line limit, bit 3 comment lines unread), four bytes
// seeding the window sizes, then the file.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/comment_line/comment_line.hpp"
#include "core/frames/count_line.hpp"
#include "core/frames/frame_scan.hpp"
#include "core/frames/properties_value.hpp"
#include "core/reader/frame_reader.hpp"
#include "fuzz_support.hpp"
#include "same_run.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace {

using atomkit::frames::FailureKind;
using atomkit::frames::FrameRecord;
using atomkit::frames::StopKind;

struct Outcome {
    std::vector<FrameRecord> frames;
    std::optional<FailureKind> failure;
    std::uint64_t failure_offset = 0;
    std::uint64_t failure_lineno = 0;
    std::vector<std::string> names;  // by layout: the value, or "?" and the line for one Python decides
};

// The file walked line by line, as the scanner's rules say.
Outcome reference(std::string_view file, std::uint64_t limit) {
    Outcome out;
    std::size_t pos = file.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    std::size_t line_start = 0;
    std::uint64_t lineno = 1;
    auto fail = [&](FailureKind kind, std::uint64_t offset, std::uint64_t line) {
        out.failure = kind;
        out.failure_offset = offset;
        out.failure_lineno = line;
        return out;
    };
    // The line from pos: its end, whether a line feed ends it, and whether it is too long.
    auto next_line = [&](std::size_t& end, bool& ended) {
        end = file.find('\n', pos);
        ended = end != std::string_view::npos;
        if (!ended) end = file.size();
        return end - line_start > limit;
    };
    auto advance = [&](std::size_t end) {
        pos = line_start = end + 1;
        ++lineno;
    };
    std::size_t end = 0;
    bool ended = false;
    while (pos < file.size()) {
        if (next_line(end, ended)) return fail(FailureKind::long_line, 0, lineno);
        const std::string_view line = file.substr(pos, end - pos);
        if (std::all_of(line.begin(), line.end(), [](char c) { return atomkit::frames::is_blank_byte(static_cast<unsigned char>(c)); })) {
            if (!ended) break;
            advance(end);
            continue;
        }
        const auto natoms = atomkit::frames::read_count_line(line);
        if (!natoms) return fail(FailureKind::bad_count, pos, lineno);
        if (!ended) return fail(FailureKind::no_comment, pos, lineno);
        const FrameRecord frame{static_cast<std::int64_t>(pos), static_cast<std::int64_t>(*natoms),
                                static_cast<std::int64_t>(lineno), -1};
        advance(end);
        if (next_line(end, ended)) return fail(FailureKind::long_line, 0, lineno);
        if (!ended && *natoms > 0) return fail(FailureKind::ends_inside, frame.offset, frame.lineno);
        if (ended) advance(end);
        for (std::uint64_t atom = 0; atom < *natoms; ++atom) {
            if (pos == file.size()) return fail(FailureKind::ends_inside, frame.offset, frame.lineno);
            if (next_line(end, ended)) return fail(FailureKind::long_line, 0, lineno);
            if (!ended && atom + 1 < *natoms) return fail(FailureKind::ends_inside, frame.offset, frame.lineno);
            if (ended) advance(end);
            else pos = file.size();
        }
        out.frames.push_back(frame);
        out.frames.back().end = static_cast<std::int64_t>(ended ? pos : file.size());
        if (!ended) break;
    }
    if (pos == file.size() && file.size() - line_start > limit) return fail(FailureKind::long_line, 0, lineno);
    return out;
}

// A small generator of window sizes: mostly a few bytes, sometimes many.
class Sizes {
public:
    explicit Sizes(std::uint32_t seed) : state_(seed | 1) {}
    std::size_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return (state_ & 7) == 0 ? 1 + state_ % 4096 : 1 + state_ % 24;
    }

private:
    std::uint32_t state_;
};

// The scanner over windows of the sizes `next` gives (twice as long when it cannot move),
// comment lines answered with layouts numbered as they appear.
template <class Next>
Outcome scan(std::string_view file, std::uint64_t limit, bool comments, Next next) {
    Outcome out;
    atomkit::frames::ScanState state;
    state.size = file.size();
    state.line_limit = limit;
    atomkit::frames::KnownLayouts known;
    std::map<std::string, std::int64_t> numbers;
    std::uint64_t offset = 0;
    std::size_t length = 0;
    for (std::size_t calls = 0;; ++calls) {
        fuzz::check(calls < 4 * file.size() + 16, "the scan does not end", file);
        const auto stop = atomkit::frames::scan_frames(file.substr(offset, length), offset, state,
                                                       comments ? &known : nullptr, out.frames);
        if (stop.kind == StopKind::done) return out;
        if (stop.kind == StopKind::failure) {
            out.failure = stop.failure;
            out.failure_offset = stop.failure == FailureKind::long_line ? 0 : stop.frame_offset;
            out.failure_lineno = stop.lineno;
            return out;
        }
        if (stop.kind == StopKind::comment) {
            fuzz::check(comments && stop.line_begin <= stop.line_end && stop.line_end <= length, "a comment stop out of place", file);
            const std::string key = stop.candidate ? *stop.candidate : "?" + std::string(file.substr(offset + stop.line_begin, stop.line_end - stop.line_begin));
            const auto [entry, added] = numbers.try_emplace(key, static_cast<std::int64_t>(out.names.size()));
            if (added) out.names.push_back(key);
            if (stop.candidate) known.add(*stop.candidate, entry->second);
            state.layout = entry->second;
            continue;
        }
        const bool stuck = state.position == offset && length > 0;
        const std::size_t left = file.size() - state.position;
        fuzz::check(!stuck || length < left, "a window of the rest of the file does not move the scan", file);
        offset = state.position;
        length = std::min(stuck ? 2 * length : next(), left);
    }
}

std::string_view comment_line_of(std::string_view file, const FrameRecord& frame) {
    const std::size_t start = file.find('\n', static_cast<std::size_t>(frame.offset)) + 1;
    const std::size_t end = std::min(file.find('\n', start), file.size());
    return file.substr(start, end - start);
}

// Frames and failure as the reference has them; with comment lines read, each line the
// parser reads names its Properties, whatever the windows.
void check_outcome(const Outcome& got, const Outcome& want, std::string_view file, bool comments) {
    fuzz::check(got.frames.size() == want.frames.size(), "frames found", file);
    for (std::size_t k = 0; k < got.frames.size(); ++k) {
        const FrameRecord& a = got.frames[k];
        const FrameRecord& b = want.frames[k];
        fuzz::check(a.offset == b.offset && a.natoms == b.natoms && a.lineno == b.lineno && a.end == b.end,
                    "a frame differs", file);
        fuzz::check(comments ? a.layout >= 0 && static_cast<std::size_t>(a.layout) < got.names.size() : a.layout == -1,
                    "a layout out of range", file);
        if (!comments) continue;
        const std::string line(comment_line_of(file, a));
        if (!fuzz::is_valid_utf8(line)) continue;
        const auto parsed = atomkit::parse_comment_line(line);
        if (!parsed) continue;
        const std::string named = parsed->properties ? *parsed->properties : std::string(atomkit::frames::plain_xyz_properties);
        fuzz::check(got.names[static_cast<std::size_t>(a.layout)] == named, "a comment line names other Properties", line);
    }
    fuzz::check(got.failure == want.failure && got.failure_offset == want.failure_offset &&
                    got.failure_lineno == want.failure_lineno,
                "the failure differs", file);
}

using atomkit::reader::FrameReader;
using atomkit::reader::RefusalKind;

// What a reader's scan to the end found.
struct ReaderOutcome {
    std::vector<atomkit::reader::FrameRow> rows;
    std::vector<std::optional<std::string>> properties;
    std::optional<atomkit::reader::Refusal> failure;
};

bool operator==(const ReaderOutcome& a, const ReaderOutcome& b) {
    return a.rows == b.rows && a.properties == b.properties && a.failure.has_value() == b.failure.has_value() &&
           (!a.failure || fuzz::same_refusal(*a.failure, *b.failure));
}

ReaderOutcome scan_to_end(FrameReader& reader, std::vector<atomkit::reader::FrameRow> rows = {}) {
    const auto progress = reader.scan(std::nullopt, {});
    fuzz::check(progress && progress->complete, "a reader's scan does not end");
    rows.insert(rows.end(), reader.rows().begin(), reader.rows().end());
    rows.resize(progress->found);
    return {rows, {reader.properties().begin(), reader.properties().end()}, progress->failure};
}

atomkit::reader::ReaderOptions reader_options(std::uint64_t limit) {
    atomkit::reader::ReaderOptions options;
    options.line_limit = limit;
    return options;
}

// The reader's failure is the scanner's (or the refusal of the frame before a count line it
// cannot pass), and its frames the scanner's but for that frame.
void check_reader_outcome(const ReaderOutcome& got, const Outcome& want, std::string_view file) {
    std::size_t frames = want.frames.size();
    if (want.failure && got.failure) {
        const RefusalKind kind = got.failure->kind;
        switch (*want.failure) {
            case FailureKind::long_line: fuzz::check(kind == RefusalKind::long_line, "a long line", file); break;
            case FailureKind::ends_inside:
                fuzz::check(kind == RefusalKind::ends_inside || kind == RefusalKind::comment, "ends inside", file);
                break;
            case FailureKind::bad_count:
            case FailureKind::no_comment: {
                const bool blamed = kind == RefusalKind::atoms || kind == RefusalKind::comment;
                fuzz::check(blamed || kind == (*want.failure == FailureKind::bad_count ? RefusalKind::count : RefusalKind::no_comment),
                            "a count line's failure", file);
                if (blamed) frames -= 1;
                break;
            }
        }
        if (got.failure->kind != RefusalKind::atoms && got.failure->kind != RefusalKind::comment) {
            fuzz::check(got.failure->line == want.failure_lineno, "the failure's line", file);
        }
    } else {
        fuzz::check(!want.failure && !got.failure, "a failure or none", file);
    }
    fuzz::check(got.rows.size() == frames, "the reader's frames", file);
    for (std::size_t k = 0; k < got.rows.size(); ++k) {
        const auto& a = got.rows[k];
        const auto& b = want.frames[k];
        fuzz::check(a.offset == b.offset && a.natoms == b.natoms && a.lineno == b.lineno && a.end == b.end,
                    "a reader's frame differs", file);
        const std::string line(comment_line_of(file, a));
        if (!fuzz::is_valid_utf8(line)) continue;
        const auto parsed = atomkit::parse_comment_line(line);
        if (!parsed) continue;
        const std::string named = parsed->properties ? *parsed->properties : std::string(atomkit::frames::plain_xyz_properties);
        fuzz::check(got.properties[static_cast<std::size_t>(a.layout)] == named, "a reader's layout", line);
    }
}

void check_reader(std::string_view file, std::uint64_t limit, std::uint32_t seed, const Outcome& want) {
    FrameReader memory = FrameReader::over_memory(file, reader_options(limit));
    Sizes steps(seed);
    for (int k = 0; k < 4; ++k) (void)memory.scan(steps.next() % 8, {});
    const ReaderOutcome got = scan_to_end(memory);
    check_reader_outcome(got, want, file);

    const int fd = memfd_create("fuzz_frames", 0);
    fuzz::check(fd >= 0 && write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()), "no memfd");
    auto over_file = FrameReader::over_file(fd, reader_options(limit));
    fuzz::check(over_file && scan_to_end(*over_file) == got, "a file scanned otherwise", file);
    close(fd);

    FrameReader stream = FrameReader::over_stream(reader_options(limit));
    std::vector<atomkit::reader::FrameRow> rows;
    Sizes pieces(seed ^ 0x5bd1e995);
    for (std::size_t at = 0; at < file.size();) {
        const std::size_t piece = std::min(pieces.next(), file.size() - at);
        stream.feed(file.substr(at, piece));
        at += piece;
        const auto progress = stream.scan(std::nullopt, {});
        fuzz::check(progress.has_value(), "a stream's scan");
        rows.insert(rows.end(), stream.rows().begin(), stream.rows().end());
        stream.release(progress->found);
    }
    stream.finish();
    fuzz::check(scan_to_end(stream, rows) == got, "a stream scanned otherwise", file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes bytes(data, size);
    const std::uint8_t control = bytes.byte();
    static constexpr std::uint64_t limits[] = {0, 1, 3, 8, 16, 40, 200, std::uint64_t{1} << 40};
    const std::uint64_t limit = limits[control & 7];
    const bool comments = (control & 8) == 0;
    std::uint32_t seed = 0;
    for (int k = 0; k < 4; ++k) seed |= std::uint32_t{bytes.byte()} << (8 * k);
    const std::string file(bytes.rest());

    const Outcome want = reference(file, limit);
    const Outcome whole = scan(file, limit, comments, [&] { return file.size(); });
    check_outcome(whole, want, file, comments);
    Sizes sizes(seed);
    const Outcome split = scan(file, limit, comments, [&] { return sizes.next(); });
    check_outcome(split, want, file, comments);
    if (comments) check_reader(file, limit, seed, want);
    return 0;
}
