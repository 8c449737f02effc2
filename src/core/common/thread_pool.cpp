// The module's worker threads. One mutex guards a pool's queue of jobs; a job is a count of
// tasks and the index of the next one to claim. Workers and the job's own caller claim
// tasks one at a time; the caller then waits only for tasks already running on workers.
//
// The pool is shared through a process-wide pointer with a reference count: each call that
// uses the pool and each of its workers holds a reference, so a pool let go (set_thread_count,
// a fork) stays alive until its last worker and caller are done with it. Nothing joins a
// worker: workers are detached, so the end of the process never waits on one, and a pool
// still in use at exit is simply never freed.
//
// After fork() the child has none of the parent's workers, and the pool's mutex may have
// been held by one of them. The child forgets the pool (pthread_atfork, with a pid check
// behind it for forks that skip the handlers) and makes a new one on first need.
#include "core/common/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

namespace atomkit {
namespace {

// 0 until the first call decides the default.
std::atomic<std::size_t> configured_threads{0};
std::atomic<std::size_t> min_parallel_rows{default_parallel_min_rows};

std::size_t default_thread_count() noexcept {
    if (const char* text = std::getenv("ATOMKIT_NUM_THREADS")) {
        const std::string_view value(text);
        std::size_t n = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (error == std::errc() && end == value.data() + value.size() && n >= 1 && n <= max_thread_count) return n;
    }
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
        const int count = CPU_COUNT(&cpus);
        if (count >= 1) return std::min<std::size_t>(static_cast<std::size_t>(count), max_thread_count);
    }
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, max_thread_count);
}

struct Job {
    detail::TaskRef task;
    std::size_t count = 0;
    std::size_t next = 0;  // the next task to claim; the job is queued while next < count
    // Tasks run to their end; changed with the pool's lock held, read without it too.
    std::atomic<std::size_t> finished{0};
    std::condition_variable done;
};

// Waking a sleeping thread takes tens of microseconds on a virtual machine: a worker that
// ends a task looks for the next one this long before it sleeps (the block reader's second
// job follows its first at once, calls on a trajectory's frames follow each other), and a
// caller waits this long for the workers' last tasks before it sleeps.
constexpr auto spin_time = std::chrono::microseconds(50);

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Whether ready() became true within spin_time, looking without sleeping.
template <class Ready>
bool spin_until(Ready&& ready) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + spin_time;
    for (unsigned k = 1;; ++k) {
        if (ready()) return true;
        cpu_relax();
        if (k % 64 == 0 && std::chrono::steady_clock::now() >= deadline) return false;
    }
}

class Pool {
public:
    explicit Pool(std::size_t workers) : workers_wanted_(workers), pid_(getpid()) {}

    // Starts the workers; as many as can be had (a failure to make a thread leaves fewer).
    void start() {
        sigset_t all, old;
        sigfillset(&all);
        // Workers take no signals: they go to the interpreter's threads, as before.
        pthread_sigmask(SIG_SETMASK, &all, &old);
        for (std::size_t k = 0; k < workers_wanted_; ++k) {
            refs_.fetch_add(1, std::memory_order_relaxed);
            try {
                std::thread([this] { work(); }).detach();
                ++workers_;
            } catch (const std::system_error&) {
                refs_.fetch_sub(1, std::memory_order_relaxed);
                break;
            }
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    std::size_t size() const noexcept { return workers_wanted_; }
    std::size_t workers() const noexcept { return workers_; }
    pid_t pid() const noexcept { return pid_; }

    void hold() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Of a pool that may be shared; the last reference frees it.
    void drop() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // Workers leave once their current task ends; jobs still queued are left to their callers.
    void retire() {
        {
            const std::lock_guard lock(mutex_);
            retired_.store(true, std::memory_order_relaxed);
        }
        wake_.notify_all();
    }

    // Runs the job's tasks with the workers' help; returns when every task has run.
    void run(Job& job) {
        std::unique_lock lock(mutex_);
        try {
            queue_.push_back(&job);
        } catch (const std::bad_alloc&) {  // no room in the queue: the caller runs it all
            lock.unlock();
            for (std::size_t i = 0; i < job.count; ++i) job.task.call(job.task.context, i);
            return;
        }
        queued_.fetch_add(1, std::memory_order_relaxed);
        if (job.count > 2) {
            wake_.notify_all();
        } else {
            wake_.notify_one();
        }
        while (job.next < job.count) {
            const std::size_t i = claim(job);
            lock.unlock();
            job.task.call(job.task.context, i);
            lock.lock();
            job.finished.fetch_add(1, std::memory_order_relaxed);
        }
        if (job.finished.load(std::memory_order_relaxed) != job.count) {
            lock.unlock();
            spin_until([&job] { return job.finished.load(std::memory_order_relaxed) == job.count; });
            lock.lock();
        }
        job.done.wait(lock, [&job] { return job.finished.load(std::memory_order_relaxed) == job.count; });
    }

private:
    ~Pool() = default;

    // Takes the job's next task (with the lock held); the job leaves the queue with its last.
    std::size_t claim(Job& job) {
        const std::size_t i = job.next++;
        if (job.next == job.count) {
            queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
            queued_.fetch_sub(1, std::memory_order_relaxed);
        }
        return i;
    }

    void work() noexcept {
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] { return retired_.load(std::memory_order_relaxed) || !queue_.empty(); };
            for (;;) {
                if (!ready()) {
                    lock.unlock();
                    spin_until([this] {
                        return queued_.load(std::memory_order_relaxed) != 0 || retired_.load(std::memory_order_relaxed);
                    });
                    lock.lock();
                    wake_.wait(lock, ready);
                }
                if (retired_.load(std::memory_order_relaxed)) break;
                Job& job = *queue_.front();
                const std::size_t i = claim(job);
                lock.unlock();
                job.task.call(job.task.context, i);
                lock.lock();
                // The caller waits for this under the same lock, so the job outlives the
                // notification.
                if (job.finished.fetch_add(1, std::memory_order_relaxed) + 1 == job.count) job.done.notify_one();
            }
        }
        drop();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
    // Mirrors of what the lock guards, for threads that look without it before they sleep.
    std::atomic<std::size_t> queued_{0};
    std::atomic<bool> retired_{false};
    const std::size_t workers_wanted_;
    std::size_t workers_ = 0;
    const pid_t pid_;
    std::atomic<std::size_t> refs_{1};  // the process-wide pointer's
};

// The process-wide pool, guarded by pool_mutex (which fork takes across, see below).
std::mutex pool_mutex;
Pool* current_pool = nullptr;
std::once_flag fork_handlers;

void before_fork() noexcept { pool_mutex.lock(); }
void after_fork_in_parent() noexcept { pool_mutex.unlock(); }
// The child has no workers: the pool is forgotten (never freed: its mutex may be held by a
// thread that does not exist here) and a new one is made on first need.
void after_fork_in_child() noexcept {
    current_pool = nullptr;
    pool_mutex.unlock();
}

// A reference to the pool of `threads` - 1 workers, made if need be; null when no worker can
// be had.
Pool* acquire_pool(std::size_t threads) {
    std::call_once(fork_handlers, [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    const std::lock_guard lock(pool_mutex);
    Pool* pool = current_pool;
    if (pool != nullptr && pool->pid() != getpid()) pool = current_pool = nullptr;  // a fork past the handlers
    if (pool != nullptr && pool->size() != threads - 1) {
        pool->retire();
        pool->drop();
        pool = current_pool = nullptr;
    }
    if (pool == nullptr) {
        pool = new Pool(threads - 1);
        pool->start();
        current_pool = pool;
    }
    if (pool->workers() == 0) return nullptr;
    pool->hold();
    return pool;
}

}  // namespace

std::size_t thread_count() noexcept {
    std::size_t n = configured_threads.load(std::memory_order_relaxed);
    if (n != 0) return n;
    std::size_t expected = 0;
    n = default_thread_count();
    if (!configured_threads.compare_exchange_strong(expected, n, std::memory_order_relaxed)) return expected;
    return n;
}

void set_thread_count(std::size_t n) noexcept {
    n = std::clamp<std::size_t>(n, 1, max_thread_count);
    configured_threads.store(n, std::memory_order_relaxed);
    // A pool of another size goes at once, so that its idle workers do not linger. One thread
    // leaves the pool as it is, unused: going back to the count before costs no new threads.
    const std::lock_guard lock(pool_mutex);
    if (n > 1 && current_pool != nullptr && current_pool->pid() == getpid() && current_pool->size() != n - 1) {
        current_pool->retire();
        current_pool->drop();
        current_pool = nullptr;
    }
}

std::size_t parallel_min_rows() noexcept { return min_parallel_rows.load(std::memory_order_relaxed); }

std::size_t set_parallel_min_rows(std::size_t rows) noexcept {
    return min_parallel_rows.exchange(rows, std::memory_order_relaxed);
}

std::size_t parallel_ranges(std::size_t rows) noexcept {
    if (rows < min_parallel_rows.load(std::memory_order_relaxed) || rows < 2) return 1;
    const std::size_t threads = thread_count();
    return threads == 1 ? 1 : std::min(threads * ranges_per_thread, rows);
}

namespace detail {

void run_tasks(std::size_t count, TaskRef task) noexcept {
    const std::size_t threads = thread_count();
    Pool* pool = nullptr;
    if (count > 1 && threads > 1) {
        try {
            pool = acquire_pool(threads);
        } catch (...) {  // no memory for a pool, or a mutex that failed: run in the caller
            pool = nullptr;
        }
    }
    if (pool == nullptr) {
        for (std::size_t i = 0; i < count; ++i) task.call(task.context, i);
        return;
    }
    Job job;
    job.task = task;
    job.count = count;
    pool->run(job);
    pool->drop();
}

}  // namespace detail
}  // namespace atomkit
