// Windows of a file read with pread: a descriptor shared by threads reads at any offset without
// a seek position to race on.
#include "core/frames/file_window.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

#include <unistd.h>

#include "core/common/huge_pages.hpp"
#include "core/common/thread_pool.hpp"

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

WindowRead FileWindow::read(std::size_t from, std::size_t to, std::size_t ahead, std::size_t pieces) {
    const std::size_t size = ahead - from;
    if (size > capacity_) {
        // Uninitialized: only bytes the file gave are ever read. A large one on huge pages: a
        // frame of millions of atoms otherwise costs a page fault every 4 KiB.
        buffer_.reset(static_cast<char*>(allocate_for_writing(size)));
        if (!buffer_) {
            capacity_ = 0;
            throw std::bad_alloc();
        }
        capacity_ = size;
    }
    low_ = high_ = from;
    // Pieces of at least a few windows each, read at once: the copies out of the page cache
    // (and the first touches of a fresh buffer) then run on every thread.
    pieces = std::max<std::size_t>(1, std::min(pieces, size / (4 * window_bytes)));
    std::vector<std::ptrdiff_t> got(pieces, 0);  // bytes read, or -1 with errors[k] set
    std::vector<int> errors(pieces, 0);
    auto piece_start = [&](std::size_t k) { return range_boundary(size, pieces, k); };
    auto read_piece = [&](std::size_t k) {
        got[k] = read_fully(fd_, buffer_.get() + piece_start(k), piece_start(k + 1) - piece_start(k), from + piece_start(k));
        if (got[k] < 0) errors[k] = errno;
    };
    if (pieces == 1) {
        read_piece(0);
    } else {
        parallel_for(pieces, read_piece);
    }
    // The bytes held end where the first piece came back short, as one read would have ended.
    std::size_t held = 0;
    for (std::size_t k = 0; k < pieces; ++k) {
        if (got[k] < 0) {
            error_ = errors[k];
            return WindowRead::failed;
        }
        held += static_cast<std::size_t>(got[k]);
        if (held < piece_start(k + 1)) break;
    }
    high_ = from + held;
    return high_ >= to ? WindowRead::ok : WindowRead::short_file;
}

}  // namespace atomkit::frames
