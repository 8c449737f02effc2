// Windows of a file read with pread: a descriptor shared by threads reads at any offset without
// a seek position to race on.
#include "core/frames/file_window.hpp"

#include <cerrno>

#include <unistd.h>

namespace atomkit::frames {

bool FileWindow::read(std::size_t from, std::size_t to, std::size_t ahead) {
    const std::size_t size = ahead - from;
    if (size > capacity_) {
        // Uninitialized: only bytes the file gave are ever read.
        buffer_ = std::make_unique_for_overwrite<char[]>(size);
        capacity_ = size;
    }
    low_ = high_ = from;
    std::size_t got = 0;
    while (got < size) {
        const ssize_t read = ::pread(fd_, buffer_.get() + got, size - got, static_cast<off_t>(from + got));
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) break;
        got += static_cast<std::size_t>(read);
    }
    high_ = from + got;
    return high_ >= to;
}

}  // namespace atomkit::frames
