// Where the reader's bytes come from: a regular file read with pread (never mapped: a file cut
// short under a mapping kills the process), with the identity that shows it changed; bytes in
// memory; or a stream fed in pieces, whose bytes before those still wanted are let go.
// Plain C++ over POSIX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "core/reader/run_table.hpp"

namespace atomkit::reader {

// What fstat says of a file: a file replaced, truncated or rewritten differs in one of these.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;

    bool operator==(const FileIdentity&) const = default;
};

[[nodiscard]] std::expected<FileIdentity, IoError> identity_of(int fd);

// A buffer reused for the bytes read from a file; grows, never shrinks.
class ReadBuffer {
public:
    char* room(std::size_t size);

private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
};

class ByteSource {
public:
    enum class Kind : std::uint8_t { file, memory, stream };

    static ByteSource over_file(int fd, FileIdentity identity);
    static ByteSource over_memory(std::string_view data);
    static ByteSource over_stream();

    Kind kind() const noexcept { return kind_; }
    // A file's size when its identity was taken, memory's length, the bytes a stream was fed.
    std::uint64_t size() const noexcept;
    // Whether the source has all its bytes (a stream once finished).
    bool whole() const noexcept { return kind_ != Kind::stream || finished_; }

    // Bytes [from, from + length), fewer where the source ends first: a view of memory or of
    // the stream's bytes held (which must hold `from`), or read from the file into `buffer`.
    [[nodiscard]] std::expected<std::string_view, IoError> bytes(std::uint64_t from, std::size_t length,
                                                                 ReadBuffer& buffer) const;

    // Memory and streams: the bytes held, which start at offset held_from().
    std::string_view held() const noexcept;
    std::uint64_t held_from() const noexcept { return base_; }

    int fd() const noexcept { return fd_; }
    const FileIdentity& identity() const noexcept { return identity_; }
    void set_identity(FileIdentity identity) noexcept { identity_ = identity; }
    // A file: whether fstat still gives its identity.
    [[nodiscard]] std::expected<bool, IoError> unchanged() const;

    // A stream: more bytes, the end of them, and the bytes before `offset` let go.
    void feed(std::string_view bytes);
    void finish() noexcept { finished_ = true; }
    void drop_before(std::uint64_t offset);

private:
    Kind kind_ = Kind::memory;
    int fd_ = -1;
    FileIdentity identity_;
    std::string_view memory_;
    std::string stream_;    // the stream's bytes held, from stream_[front_] on
    std::size_t front_ = 0;
    std::uint64_t base_ = 0;  // the offset of the first byte held
    bool finished_ = false;
};

}  // namespace atomkit::reader
