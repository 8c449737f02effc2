// The one reader of extended XYZ frames: a source's frames found (count lines, comment lines'
// Properties, atom lines passed by their line feeds) and the frames asked for read into
// per-layout column tables on the module's threads, with every frame it cannot read refused as
// a value saying which frame, which line and why. Plain C++; every read path of the package
// drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/frames/file_window.hpp"
#include "core/reader/properties_layout.hpp"
#include "core/reader/run_table.hpp"

namespace atomkit::reader {

struct ReaderOptions {
    std::size_t threads = 1;                            // the most threads one scan or read uses
    std::uint64_t line_limit = std::uint64_t{1} << 28;  // a longer line is a long_line failure
    std::size_t int_digits_limit = 0;  // an info integer of more digits is refused (0: none)
    // Tuning (tests make them small): the text a thread reads in one wave of a read, and the
    // bytes a scan passes between two questions to keep_going; the size from which a file's
    // scan on several threads goes in parts (each part a quarter of it at least); the text a
    // read takes from a file at once (a frame of more than four such windows has its atom lines
    // read a window at a time).
    std::size_t wave_bytes = std::size_t{64} << 20;
    std::uint64_t parts_from = std::uint64_t{32} << 20;
    std::size_t window_bytes = frames::window_bytes;
};

struct ScanProgress {
    std::size_t found = 0;  // frames found so far (released ones included)
    bool complete = false;  // no more frames will be found
    std::optional<Refusal> failure;
    bool cancelled = false;
};

class FrameReader {
public:
    // A regular file's descriptor (not owned), its bytes read with pread; identity from fstat now.
    static std::expected<FrameReader, IoError> over_file(int fd, ReaderOptions options);
    // Bytes that outlive the reader.
    static FrameReader over_memory(std::string_view data, ReaderOptions options);
    // A stream: bytes come through feed().
    static FrameReader over_stream(ReaderOptions options);

    FrameReader(FrameReader&&) noexcept;
    FrameReader& operator=(FrameReader&&) noexcept;
    ~FrameReader();

    // Why `rows` cannot be frames found before in a source of `size` bytes (nullopt: they can):
    // each within the source and after the one before, its layout among `layouts`.
    static std::optional<std::string> rows_misfit(std::span<const FrameRow> rows, std::size_t layouts,
                                                  std::optional<std::uint64_t> size);

    // Frames found before (rows, and the Properties that layout numbers stand for, nullopt for
    // a line that could not be read); the scan is then complete. `identity`: the file's
    // (size, mtime_ns) when they were found, checked at the end of every read. Not for a
    // stream; rows that rows_misfit refuses are an internal failure.
    void set_found(std::vector<FrameRow> rows, std::vector<std::optional<std::string>> properties,
                   std::optional<std::pair<std::uint64_t, std::int64_t>> identity);

    void feed(std::string_view bytes);  // stream only
    void finish();                      // stream only

    // Scans on until more than `limit` frames are found (nullopt: to the end) or, for a stream,
    // the bytes fed run out.
    std::expected<ScanProgress, IoError> scan(std::optional<std::size_t> limit, const KeepGoing& keep_going);

    // Frames first_held() .. found - 1.
    std::span<const FrameRow> rows() const noexcept;
    std::size_t first_held() const noexcept;
    // By layout number: the Properties value, nullopt for a comment line that cannot be read.
    std::span<const std::optional<std::string>> properties() const noexcept;
    // By layout number: the parsed layout, or the error of its Properties (nullptr: unreadable line).
    const std::expected<AtomLayout, PropertiesError>* layout(std::size_t number) const noexcept;

    // Reads the frames `frames` (ascending numbers among those held; else an internal failure).
    // Without keep_going_past the read stops at the first refused frame (the frames before it
    // are in the run); with it, refused frames are left out and listed, but a fatal refusal
    // still stops. `threads`: the most threads this read uses (0: the reader's own count).
    std::expected<ReadOutcome, IoError> read(std::span<const std::int64_t> frames, bool keep_going_past,
                                             const KeepGoing& keep_going, std::size_t threads = 0) const;

    // Frames before `frame` are forgotten (rows, and a stream's bytes).
    void release(std::size_t frame);
    // The bytes a stream holds (0 for other sources).
    std::size_t held_bytes() const noexcept;

private:
    struct State;
    explicit FrameReader(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace atomkit::reader
