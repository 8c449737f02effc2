// Finding the n-th line feed: memchr from line to line, or under AVX2 a popcount of the
// line-feed mask of each 64 bytes until the block that holds the wanted one. Plain C++.
#include "core/frames/line_feeds.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace atomkit::frames {
namespace {

using Kernel = LineFeeds (*)(const char*, std::size_t, std::uint64_t) noexcept;

LineFeeds find_portable(const char* data, std::size_t size, std::uint64_t wanted) noexcept {
    std::size_t pos = 0;
    std::uint64_t count = 0;
    while (pos < size) {
        const void* hit = std::memchr(data + pos, '\n', size - pos);
        if (hit == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
        if (++count == wanted) return {at, count};
        pos = at + 1;
    }
    return {no_line_feed, count};
}

#if defined(__x86_64__)

// The index of the n-th set bit of mask (n >= 1, mask holding at least n).
inline unsigned nth_set_bit(std::uint64_t mask, std::uint64_t n) noexcept {
    for (; n > 1; --n) mask &= mask - 1;
    return static_cast<unsigned>(std::countr_zero(mask));
}

[[gnu::target("avx2,popcnt,bmi")]] LineFeeds find_avx2(const char* data, std::size_t size,
                                                       std::uint64_t wanted) noexcept {
    const __m256i line_feed = _mm256_set1_epi8('\n');
    std::size_t pos = 0;
    std::uint64_t left = wanted;  // line feeds still to pass, the wanted one included
    for (; size - pos >= 64; pos += 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos + 32));
        const std::uint64_t mask =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, line_feed))) |
            static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, line_feed))))
                << 32;
        const auto found = static_cast<std::uint64_t>(std::popcount(mask));
        if (found >= left) return {pos + nth_set_bit(mask, left), wanted};
        left -= found;
    }
    LineFeeds rest = find_portable(data + pos, size - pos, left);
    rest.count += wanted - left;
    if (rest.at != no_line_feed) rest.at += pos;
    return rest;
}

#endif  // __x86_64__

Kernel kernel_of(LineFeedKernel kernel) noexcept {
#if defined(__x86_64__)
    if (kernel == LineFeedKernel::avx2) return find_avx2;
#endif
    (void)kernel;
    return find_portable;
}

LineFeedKernel best_kernel() noexcept {
    if (line_feed_kernel_supported(LineFeedKernel::avx2)) return LineFeedKernel::avx2;
    return LineFeedKernel::portable;
}

}  // namespace

const char* line_feed_kernel_name(LineFeedKernel kernel) noexcept {
    switch (kernel) {
        case LineFeedKernel::portable:
            return "portable";
        case LineFeedKernel::avx2:
            return "avx2";
    }
    return "unknown";
}

bool line_feed_kernel_supported(LineFeedKernel kernel) noexcept {
#if defined(__x86_64__)
    // It may run before the constructor that fills the CPU model does.
    __builtin_cpu_init();
    switch (kernel) {
        case LineFeedKernel::portable:
            return true;
        case LineFeedKernel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
                   __builtin_cpu_supports("bmi");
    }
    return false;
#else
    return kernel == LineFeedKernel::portable;
#endif
}

LineFeedKernel line_feed_kernel() noexcept {
    static const LineFeedKernel chosen = best_kernel();  // thread-safe initialisation
    return chosen;
}

LineFeeds find_line_feed_with(LineFeedKernel kernel, const char* data, std::size_t size,
                              std::uint64_t wanted) noexcept {
    return kernel_of(kernel)(data, size, wanted);
}

LineFeeds find_line_feed(const char* data, std::size_t size, std::uint64_t wanted) noexcept {
    static const Kernel kernel = kernel_of(line_feed_kernel());
    return kernel(data, size, wanted);
}

}  // namespace atomkit::frames
