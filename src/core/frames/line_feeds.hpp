// Line feeds in a buffer: where the n-th one is, or how many there are, with a SIMD kernel
// chosen at run time for the CPU (the frame scanner passes atom lines this way). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace atomkit::frames {

inline constexpr std::size_t no_line_feed = static_cast<std::size_t>(-1);

struct LineFeeds {
    std::size_t at = no_line_feed;  // where the wanted line feed is, or no_line_feed
    std::uint64_t count = 0;        // line feeds up to and with it, or all of them when not found
};

// The `wanted`-th line feed of data[0..size) (counted from 1; wanted >= 1).
LineFeeds find_line_feed(const char* data, std::size_t size, std::uint64_t wanted) noexcept;

// The implementations behind find_line_feed, for tests and benchmarks: memchr line by line,
// and 64 bytes at a time under AVX2 (x86-64).
enum class LineFeedKernel { portable, avx2 };
inline constexpr LineFeedKernel line_feed_kernels[] = {LineFeedKernel::portable, LineFeedKernel::avx2};
const char* line_feed_kernel_name(LineFeedKernel kernel) noexcept;

// Whether this CPU (and this build) runs `kernel`; portable always runs.
bool line_feed_kernel_supported(LineFeedKernel kernel) noexcept;
// The kernel find_line_feed calls: the best supported one, chosen once.
LineFeedKernel line_feed_kernel() noexcept;
// find_line_feed through a given supported kernel.
LineFeeds find_line_feed_with(LineFeedKernel kernel, const char* data, std::size_t size,
                              std::uint64_t wanted) noexcept;

}  // namespace atomkit::frames
