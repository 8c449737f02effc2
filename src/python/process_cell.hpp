// ProcessCell<T>: a once-only, process-wide cell. Reading a complete cell is one acquire
// load and one test; a failed fill stores nothing; of two racing fills the first wins.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <mutex>
#include <new>
#include <utility>

namespace atomkit {

template <class T>
class ProcessCell {
public:
    constexpr ProcessCell() noexcept = default;
    ProcessCell(const ProcessCell&) = delete;
    ProcessCell& operator=(const ProcessCell&) = delete;
    // Never destroyed: its value (module object, types, NumPy's table) must outlive every
    // use, including Python code that runs during interpreter shutdown.
    ~ProcessCell() = default;

    const T* get() const noexcept {
        return state_.load(std::memory_order_acquire) == complete ? value() : nullptr;
    }

    // `compute` returns std::expected<T, E>. It runs with the interpreter lock held but may
    // let it go (imports do), so another thread may be filling the cell at the same time:
    // the first store wins and the later value is dropped here.
    template <class F>
    [[nodiscard]] auto get_or_try_init(F&& compute)
        -> std::expected<const T*, typename decltype(compute())::error_type> {
        if (const T* v = get()) return v;
        auto computed = std::forward<F>(compute)();
        if (!computed) return std::unexpected(std::move(computed.error()));
        store(std::move(*computed));
        return value();
    }

private:
    static constexpr std::uint32_t complete = 0;
    static constexpr std::uint32_t empty = 1;

    void store(T&& candidate) {
        std::lock_guard<std::mutex> guard(store_mutex_);
        if (state_.load(std::memory_order_relaxed) == complete) return;  // lost the race
        ::new (static_cast<void*>(storage_)) T(std::move(candidate));
        state_.store(complete, std::memory_order_release);
    }
    const T* value() const noexcept {
        return std::launder(reinterpret_cast<const T*>(storage_));
    }

    std::atomic<std::uint32_t> state_{empty};
    std::mutex store_mutex_;
    alignas(T) unsigned char storage_[sizeof(T)] = {};
};

}  // namespace atomkit
