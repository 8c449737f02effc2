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

// One range of a block written in parallel: its text goes into its window of the shared
// buffer as long as the window has the room a step makes sure of, and from there on into a
// buffer of its own. The range's text is the window's part followed by the spilled part.
// Every byte written lies inside the window or the range's own buffer.
class RangeOutput {
public:
    RangeOutput(char* window, std::size_t size) noexcept : window_(window), limit_(window + size) {}

    char* begin() const noexcept { return window_; }

    char* ensure(char* out, std::uint64_t need) {
        if (static_cast<std::uint64_t>(limit_ - out) >= need) return out;
        return spill(out, need);
    }

    // Records where the range's text ends.
    void finish(const char* out) noexcept {
        if (spill_base_ == nullptr) {
            window_length_ = static_cast<std::size_t>(out - window_);
        } else {
            spill_length_ = static_cast<std::size_t>(out - spill_base_);
        }
    }
    std::size_t window_length() const noexcept { return window_length_; }
    const char* spilled() const noexcept { return spill_base_; }
    std::size_t spilled_length() const noexcept { return spill_length_; }
    std::size_t length() const noexcept { return window_length_ + spill_length_; }

private:
    [[gnu::cold, gnu::noinline]] char* spill(char* out, std::uint64_t need) {
        std::size_t used = 0;
        if (spill_base_ == nullptr) {
            window_length_ = static_cast<std::size_t>(out - window_);
        } else {
            used = static_cast<std::size_t>(out - spill_base_);
        }
        const std::uint64_t capacity =
            std::max({saturating_mul(spill_capacity_, 2), saturating_add(used, need), std::uint64_t{4096}});
        if (capacity > max_buffer_bytes) throw std::bad_alloc();
        spill_base_ = spill_sink_.grow(static_cast<std::size_t>(capacity), used);
        spill_capacity_ = capacity;
        limit_ = spill_base_ + capacity;
        return spill_base_ + used;
    }

    char* window_;
    char* limit_;
    std::size_t window_length_ = 0;
    StringSink spill_sink_;
    char* spill_base_ = nullptr;
    std::uint64_t spill_capacity_ = 0;
    std::size_t spill_length_ = 0;
};

}  // namespace atomkit::block
