// A range of frames read from a file a window at a time, so that the text is never held whole
// and each thread reads the bytes it parses. Plain C++ over a POSIX descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace atomkit::frames {

// About this much text is read at once: enough that a read costs little beside the parse of
// what it brought, little enough that the threads' windows stay a small part of any file.
inline constexpr std::size_t window_bytes = std::size_t{1} << 20;

// What a window read found: the bytes, a file that ends too soon, or a read that failed.
enum class WindowRead : std::uint8_t { ok, short_file, failed };

class FileWindow {
public:
    explicit FileWindow(int fd) noexcept : fd_(fd) {}

    bool holds(std::size_t from, std::size_t to) const noexcept { return from >= low_ && to <= high_; }

    // Reads the file's bytes from `from` as far as `ahead`, in place of those held: short_file
    // when the file ends before `to` (<= ahead), failed when a read fails (error() says why).
    [[nodiscard]] WindowRead read(std::size_t from, std::size_t to, std::size_t ahead);

    // The bytes held, which start at the file's offset low().
    std::string_view bytes() const noexcept { return {buffer_.get(), high_ - low_}; }
    std::size_t low() const noexcept { return low_; }
    int error() const noexcept { return error_; }

private:
    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t low_ = 0;
    std::size_t high_ = 0;
    int error_ = 0;
};

// Reads data.size() bytes of `fd` from `offset` with pread, retrying where a signal cuts a
// read short: how many it read (fewer where the file ends), or -1 with errno set.
[[nodiscard]] std::ptrdiff_t read_fully(int fd, char* data, std::size_t size, std::size_t offset) noexcept;

}  // namespace atomkit::frames
