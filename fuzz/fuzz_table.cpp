// libFuzzer target of the reader's reads: any bytes as a source, its frames found and read
// whole, with and without going on past refused frames. Memory on one thread, memory on three
// in small waves (a wave of one frame parses its rows in ranges at once), a file on three
// (read in small windows), and a stream fed in random pieces all give the same run and
// refusals; a stream read and let go a few frames at a time keeps and refuses the same frames.
// Going on past refusals keeps every frame not refused and no token of a refused one; stopping
// keeps the frames before the first; every frame read alone gives its rows in the run, or its
// refusal.
//
// Input: a control byte (bits 0-1 the waves' size, 2-7 with the next three bytes seeding the
// stream's pieces), then the source.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/thread_pool.hpp"
#include "core/reader/frame_reader.hpp"
#include "fuzz_support.hpp"
#include "same_run.hpp"

namespace {

using atomkit::reader::FrameReader;
using atomkit::reader::ReaderOptions;
using atomkit::reader::RunTable;

class Pieces {
public:
    explicit Pieces(std::uint32_t seed) : state_(seed | 1) {}
    std::size_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return (state_ & 7) == 0 ? 1 + state_ % 2048 : 1 + state_ % 24;
    }

private:
    std::uint32_t state_;
};

ReaderOptions options(std::size_t threads, std::size_t wave) {
    ReaderOptions made;
    made.threads = threads;
    made.wave_bytes = wave;
    return made;
}

std::vector<std::int64_t> held(const FrameReader& reader) {
    std::vector<std::int64_t> frames(reader.rows().size());
    for (std::size_t k = 0; k < frames.size(); ++k) frames[k] = static_cast<std::int64_t>(reader.first_held() + k);
    return frames;
}

RunTable read(const FrameReader& reader, std::span<const std::int64_t> frames, bool past) {
    auto outcome = reader.read(frames, past, {});
    fuzz::check(outcome.has_value() && !outcome->cancelled, "a read failed");
    return std::move(outcome->run);
}

void check_same(const RunTable& got, const RunTable& want, const char* what, std::string_view source) {
    const std::string difference = fuzz::run_difference(got, want);
    if (!difference.empty()) fuzz::fail((std::string(what) + ": " + difference).c_str(), source);
}

// Every frame either kept or refused (refusals in frame order); stopping keeps those before the
// first refusal; no string token without a row.
void check_shape(const RunTable& run, std::size_t frames, bool past, std::string_view source) {
    std::vector<int> seen(frames, 0);
    for (const std::int64_t frame : run.frames) seen[static_cast<std::size_t>(frame)] += 1;
    for (std::size_t k = 0; k < run.refusals.size(); ++k) {
        seen[run.refusals[k].frame] += 2;
        fuzz::check(k == 0 || run.refusals[k - 1].frame < run.refusals[k].frame, "refusals out of order", source);
    }
    const std::size_t first = run.refusals.empty() ? frames : run.refusals[0].frame;
    for (std::size_t f = 0; f < frames; ++f) {
        const int want = past ? 1 : (f < first ? 1 : f == first ? 2 : 0);
        fuzz::check(past ? seen[f] == 1 || seen[f] == 2 : seen[f] == want, "frames kept and refused", source);
    }
    for (const auto& table : run.atoms) {
        for (const auto& column : table.atoms.strs) {
            std::vector<std::uint8_t> used(column.distinct_count(), 0);
            for (std::size_t r = 0; r < column.size(); ++r) used[column.distinct_index(r)] = 1;
            fuzz::check(std::find(used.begin(), used.end(), 0) == used.end(), "a token no row holds", source);
        }
    }
}

// Each frame read alone: its refusal, or its rows as the run holds them.
void check_alone(const FrameReader& reader, const RunTable& run, std::string_view source) {
    std::vector<std::size_t> rows(reader.properties().size(), 0);
    std::size_t kept = 0;
    std::size_t refused = 0;
    for (std::size_t f = 0; f < reader.rows().size(); ++f) {
        const std::int64_t number = static_cast<std::int64_t>(f);
        const RunTable alone = read(reader, {&number, 1}, true);
        if (!alone.refusals.empty()) {
            fuzz::check(refused < run.refusals.size() && fuzz::same_refusal(alone.refusals[0], run.refusals[refused++]),
                        "a frame refused alone otherwise", source);
            continue;
        }
        fuzz::check(kept < run.frames.size() && run.frames[kept++] == number, "a frame read alone is refused in the run", source);
        const auto layout = static_cast<std::size_t>(reader.rows()[f].layout);
        if (alone.atoms.empty()) continue;
        const atomkit::ParsedAtoms& mine = alone.atoms[0].atoms;
        const auto table = std::find_if(run.atoms.begin(), run.atoms.end(),
                                        [&](const auto& t) { return t.layout == static_cast<std::int64_t>(layout); });
        fuzz::check(table != run.atoms.end(), "a layout missing from the run", source);
        const atomkit::ParsedAtoms& all = table->atoms;
        const std::size_t n = mine.n_float_cols * mine.natoms;
        fuzz::check(n == 0 || std::memcmp(mine.floats.data(), all.floats.data() + rows[layout] * all.n_float_cols,
                                          n * sizeof(double)) == 0,
                    "a frame alone has other floats", source);
        for (std::size_t c = 0; c < mine.strs.size(); ++c) {
            for (std::size_t r = 0; r < mine.natoms; ++r) {
                fuzz::check(mine.strs[c][r] == all.strs[c][rows[layout] + r], "a frame alone has other strings", source);
            }
        }
        rows[layout] += mine.natoms;
    }
}

// A stream read as it comes: the frames each piece makes whole read and let go.
void check_stream(std::string_view source, std::uint32_t seed, const RunTable& want) {
    FrameReader stream = FrameReader::over_stream(options(1, 64));
    Pieces pieces(seed);
    std::vector<std::int64_t> kept;
    std::vector<atomkit::reader::Refusal> refusals;
    for (std::size_t at = 0; at <= source.size();) {
        const std::size_t piece = std::min(pieces.next(), source.size() - at);
        stream.feed(source.substr(at, piece));
        at += piece;
        if (at == source.size()) stream.finish();
        const auto progress = stream.scan(std::nullopt, {});
        fuzz::check(progress.has_value(), "a stream's scan");
        const RunTable run = read(stream, held(stream), true);
        kept.insert(kept.end(), run.frames.begin(), run.frames.end());
        refusals.insert(refusals.end(), run.refusals.begin(), run.refusals.end());
        stream.release(progress->found);
        if (progress->complete) {
            // A frame read already may be the one a scan failure is blamed on.
            if (progress->failure && !refusals.empty() && refusals.back().frame == progress->failure->frame) refusals.pop_back();
            break;
        }
    }
    fuzz::check(kept == want.frames && refusals.size() == want.refusals.size(), "a stream read in pieces", source);
    for (std::size_t k = 0; k < refusals.size(); ++k) {
        fuzz::check(fuzz::same_refusal(refusals[k], want.refusals[k]), "a stream's refusal", source);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 4) return 0;
    // Frames of 2 atoms and more split in ranges where a wave holds one frame.
    static const bool split_small = (atomkit::set_parallel_min_rows(2), true);
    (void)split_small;
    static constexpr std::size_t waves[] = {16, 100, 1000, std::size_t{64} << 20};
    const std::size_t wave = waves[bytes[0] & 3];
    const std::uint32_t seed = static_cast<std::uint32_t>(bytes[0] >> 2) | std::uint32_t{bytes[1]} << 6 |
                               std::uint32_t{bytes[2]} << 14 | std::uint32_t{bytes[3]} << 22;
    const std::string_view source(reinterpret_cast<const char*>(bytes) + 4, size - 4);

    FrameReader memory = FrameReader::over_memory(source, options(1, wave));
    const auto found = memory.scan(std::nullopt, {});
    fuzz::check(found && found->complete, "a memory scan does not end");
    const std::vector<std::int64_t> frames = held(memory);
    FrameReader threaded = FrameReader::over_memory(source, options(3, wave));
    (void)threaded.scan(std::nullopt, {});
    const int fd = memfd_create("fuzz_table", 0);
    fuzz::check(fd >= 0 && write(fd, source.data(), source.size()) == static_cast<ssize_t>(source.size()), "no memfd");
    // A file read 16 bytes at once: frames of more than 64 bytes have their atom lines read a
    // window at a time, in pieces.
    ReaderOptions small_windows = options(3, wave);
    small_windows.window_bytes = 16;
    auto file = FrameReader::over_file(fd, small_windows);
    fuzz::check(file && file->scan(std::nullopt, {}).has_value(), "a file scan failed");
    FrameReader whole_stream = FrameReader::over_stream(options(2, wave));
    whole_stream.feed(source);
    whole_stream.finish();
    (void)whole_stream.scan(std::nullopt, {});

    for (const bool past : {false, true}) {
        const RunTable run = read(memory, frames, past);
        check_shape(run, frames.size(), past, source);
        check_same(read(threaded, frames, past), run, "three threads", source);
        check_same(read(*file, frames, past), run, "a file", source);
        check_same(read(whole_stream, frames, past), run, "a stream", source);
        if (past) {
            check_alone(memory, run, source);
            check_stream(source, seed, run);
        }
    }
    close(fd);
    return 0;
}
