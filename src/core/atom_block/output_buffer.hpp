// The atom block writer's growing output in the caller's TextSink: a cursor advances only
// into room made sure of first, so no write can land outside the sink's buffer. Plain C++.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#include "core/atom_block/atom_block.hpp"
#include "core/common/saturating.hpp"

namespace atomkit::block {

// No 64-bit system maps more than 2^56 bytes for one process (5-level paging); a larger
// buffer is refused here without asking the allocator, which some allocators (sanitizers
// among them) answer by ending the process instead of failing.
inline constexpr std::uint64_t max_buffer_bytes = std::uint64_t{1} << 56;

class Output {
public:
    explicit Output(TextSink& sink) noexcept : sink_(sink) {}

    // Room for `need` more bytes at `out`; returns the cursor, moved if the buffer was.
    char* ensure(char* out, std::uint64_t need) {
        if (static_cast<std::uint64_t>(limit_ - out) >= need) return out;
        return grow(out, need);
    }
    [[gnu::cold, gnu::noinline]] char* grow(char* out, std::uint64_t need) {
        const auto used = static_cast<std::size_t>(out - base_);
        const std::uint64_t capacity = std::max(saturating_mul(capacity_, 2), saturating_add(used, need));
        return reserve(capacity, used);
    }
    char* reserve(std::uint64_t capacity, std::size_t used) {
        if (capacity > max_buffer_bytes) throw std::bad_alloc();
        base_ = sink_.grow(static_cast<std::size_t>(capacity), used);
        capacity_ = capacity;
        limit_ = base_ + capacity;
        return base_ + used;
    }
    std::size_t length(const char* out) const noexcept { return static_cast<std::size_t>(out - base_); }

private:
    TextSink& sink_;
    char* base_ = nullptr;
    char* limit_ = nullptr;
    std::uint64_t capacity_ = 0;
};

}  // namespace atomkit::block
