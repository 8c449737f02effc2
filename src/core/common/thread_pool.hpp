// The module's worker threads: one pool per process, made on first need, sized by one
// setting (ATOMKIT_NUM_THREADS when the pool is first made, set_thread_count at run time;
// by default the CPUs this process may run on). A call splits its work into tasks; the
// calling thread runs tasks of its own job until none is left unclaimed, so a call never
// waits on another call's work, and the pool may be shared by any number of callers at once.
// Workers run plain C++ only. Plain C++.
#pragma once

#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

namespace atomkit {

// The most threads a call may use (set_thread_count refuses more).
inline constexpr std::size_t max_thread_count = 1024;

// Threads a call may use, the calling thread included; 1 runs everything in the caller. The
// first call decides the default: ATOMKIT_NUM_THREADS if it holds a whole number from 1 to
// max_thread_count, otherwise the CPUs of sched_getaffinity.
std::size_t thread_count() noexcept;
// Changes the setting (1 <= n <= max_thread_count, checked by the caller). A pool of another
// size is let go: its workers leave once their task ends, and the next call makes a new one.
// With n = 1 the pool stays, unused.
void set_thread_count(std::size_t n) noexcept;

// Work of at least this many rows (atoms) is split across the threads; below it a call runs
// as it always did, in the calling thread alone.
inline constexpr std::size_t default_parallel_min_rows = 20000;
std::size_t parallel_min_rows() noexcept;
// For tests: a smaller threshold makes small frames run split. Returns the previous one.
std::size_t set_parallel_min_rows(std::size_t rows) noexcept;

// How many ranges `rows` rows are split into: 1 below the threshold or with one thread,
// otherwise ranges_per_thread per thread (never more than the rows). Threads claim ranges as
// they go, so a thread that the machine holds back (another process on its CPU) takes fewer.
inline constexpr std::size_t ranges_per_thread = 2;
std::size_t parallel_ranges(std::size_t rows) noexcept;

// Boundary k (0 <= k <= ranges) of `ranges` ranges splitting `rows` rows evenly:
// floor(rows * k / ranges), without overflow.
inline std::size_t range_boundary(std::size_t rows, std::size_t ranges, std::size_t k) noexcept {
    return rows / ranges * k + rows % ranges * k / ranges;
}

namespace detail {

struct TaskRef {
    void (*call)(void* context, std::size_t index);
    void* context;
};

// Runs task(i) for every i in [0, count) on the pool and the calling thread; returns once
// every task has run. Tasks must not throw.
void run_tasks(std::size_t count, TaskRef task) noexcept;

}  // namespace detail

// Runs task(i) for every i in [0, count), in parallel where the pool has workers, and
// returns when all have run. If tasks throw, the exception of the lowest i is rethrown (the
// one a loop over i in order would have met first); the others are dropped.
template <class Task>
void parallel_for(std::size_t count, Task&& task) {
    std::vector<std::exception_ptr> errors(count);
    auto body = [&](std::size_t i) noexcept {
        try {
            task(i);
        } catch (...) {
            errors[i] = std::current_exception();
        }
    };
    using Body = decltype(body);
    detail::run_tasks(count, detail::TaskRef{[](void* context, std::size_t i) { (*static_cast<Body*>(context))(i); },
                                             &body});
    for (std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

}  // namespace atomkit
