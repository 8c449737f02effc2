// Windows of a file read with pread: a descriptor shared by threads reads at any offset without
// a seek position to race on.
#include "core/frames/file_window.hpp"

#include <cerrno>
#include <cstdint>

#include <unistd.h>

namespace atomkit::frames {

std::ptrdiff_t read_fully(int fd, char* data, std::size_t size, std::size_t offset) noexcept {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t read = ::pread(fd, data + got, size - got, static_cast<off_t>(offset + got));
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) return -1;
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    return static_cast<std::ptrdiff_t>(got);
}

WindowRead FileWindow::read(std::size_t from, std::size_t to, std::size_t ahead) {
    const std::size_t size = ahead - from;
    if (size > capacity_) {
        // Uninitialized: only bytes the file gave are ever read.
        buffer_ = std::make_unique_for_overwrite<char[]>(size);
        capacity_ = size;
    }
    low_ = high_ = from;
    const std::ptrdiff_t got = read_fully(fd_, buffer_.get(), size, from);
    if (got < 0) {
        error_ = errno;
        return WindowRead::failed;
    }
    high_ = from + static_cast<std::size_t>(got);
    return high_ >= to ? WindowRead::ok : WindowRead::short_file;
}

}  // namespace atomkit::frames
