// The three sources behind one interface: views of memory, pread into a buffer, and a stream's
// bytes kept in one string whose front is cut off once it is most of it.
#include "core/reader/byte_source.hpp"

#include <cerrno>

#include <sys/stat.h>

#include "core/common/internal_failure.hpp"
#include "core/frames/file_window.hpp"

namespace atomkit::reader {

std::expected<FileIdentity, IoError> identity_of(int fd) {
    struct stat status{};
    if (::fstat(fd, &status) != 0) return std::unexpected(IoError{errno});
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                        static_cast<std::uint64_t>(status.st_size),
                        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

char* ReadBuffer::room(std::size_t size) {
    if (size > capacity_) {
        data_ = std::make_unique_for_overwrite<char[]>(size);
        capacity_ = size;
    }
    return data_.get();
}

ByteSource ByteSource::over_file(int fd, FileIdentity identity) {
    ByteSource source;
    source.kind_ = Kind::file;
    source.fd_ = fd;
    source.identity_ = identity;
    return source;
}

ByteSource ByteSource::over_memory(std::string_view data) {
    ByteSource source;
    source.memory_ = data;
    return source;
}

ByteSource ByteSource::over_stream() {
    ByteSource source;
    source.kind_ = Kind::stream;
    return source;
}

std::uint64_t ByteSource::size() const noexcept {
    switch (kind_) {
        case Kind::file: return identity_.size;
        case Kind::memory: return memory_.size();
        case Kind::stream: return base_ + (stream_.size() - front_);
    }
    return 0;
}

std::string_view ByteSource::held() const noexcept {
    return kind_ == Kind::memory ? memory_ : std::string_view(stream_).substr(front_);
}

std::expected<std::string_view, IoError> ByteSource::bytes(std::uint64_t from, std::size_t length,
                                                          ReadBuffer& buffer) const {
    if (kind_ != Kind::file) {
        const std::string_view bytes = held();
        if (from < base_ || from - base_ > bytes.size()) fail("bytes asked of a stream that it does not hold");
        return bytes.substr(static_cast<std::size_t>(from - base_), length);
    }
    char* room = buffer.room(length);
    const std::ptrdiff_t got = frames::read_fully(fd_, room, length, static_cast<std::size_t>(from));
    if (got < 0) return std::unexpected(IoError{errno});
    return std::string_view(room, static_cast<std::size_t>(got));
}

std::expected<bool, IoError> ByteSource::unchanged() const {
    const auto now = identity_of(fd_);
    if (!now) return std::unexpected(now.error());
    return *now == identity_;
}

void ByteSource::feed(std::string_view bytes) {
    if (kind_ != Kind::stream || finished_) fail("bytes fed to a source that is not an open stream");
    stream_.append(bytes);
}

void ByteSource::drop_before(std::uint64_t offset) {
    if (kind_ != Kind::stream || offset <= base_) return;
    const std::size_t drop = static_cast<std::size_t>(std::min<std::uint64_t>(offset - base_, stream_.size() - front_));
    front_ += drop;
    base_ += drop;
    // The bytes kept are moved down only once the dropped ones are most of the string, so a
    // stream released a frame at a time costs a copy of what it holds now and then.
    if (front_ > stream_.size() / 2) {
        stream_.erase(0, front_);
        front_ = 0;
    }
}

}  // namespace atomkit::reader
