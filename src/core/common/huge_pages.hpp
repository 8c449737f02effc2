// Memory hints for large buffers that are written once from start to end (the writer's
// text, the reader's value columns). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace atomkit {

// A block of 10^6 atoms is about 10^8 bytes; with 4 KiB pages the kernel's first-touch
// faults cost about as much as formatting the text. Asking for huge pages on the untouched
// part of a large buffer cuts that; it is only a hint, so a refusal changes nothing.
inline void advise_huge_pages([[maybe_unused]] char* begin,
                              [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    if (size < 4 * huge_page) return;
    const auto first = (reinterpret_cast<std::uintptr_t>(begin) + huge_page - 1) & ~(huge_page - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(begin) + size) & ~(huge_page - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// Memory for a large buffer that will be written whole: on a huge-page boundary (so that
// the hint covers all of it) when it is large, from malloc otherwise; either way freed with
// std::free. Null when the memory cannot be had.
inline void* allocate_for_writing(std::size_t bytes) noexcept {
    constexpr std::size_t huge_page = std::size_t{1} << 21;
    if (bytes < 4 * huge_page) return std::malloc(bytes);
    const std::size_t rounded = (bytes + huge_page - 1) & ~(huge_page - 1);
    if (rounded < bytes) return nullptr;
    void* memory = std::aligned_alloc(huge_page, rounded);
    if (memory != nullptr) advise_huge_pages(static_cast<char*>(memory), rounded);
    return memory;
}

}  // namespace atomkit
