#include "pool.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <pthread.h>

#include <tbb/global_control.h>

namespace kpy::pool {

namespace {

// Set while this module may have worker threads running.
std::atomic<bool> pool_started{false};
// oneTBB 2021 counts a worker it failed to start as still running, and winding the pool down
// would wait for it forever.
std::atomic<bool> pool_damaged{false};

// A forked child inherits the pool's bookkeeping but none of its threads, and oneTBB never starts
// them again: the child would run every job on one thread. oneTBB's way out is to wind the pool
// down before fork (finalize through a scheduler handle, which joins the workers); parent and
// child then each start a new pool on their next job. The wind-down refuses, harmlessly, while
// another thread is still registered with the scheduler or a job is running.
void before_fork() {
    if (!pool_started.load() || pool_damaged.load()) return;
    try {
        tbb::task_scheduler_handle handle{tbb::attach{}};
        if (tbb::finalize(handle, std::nothrow)) pool_started.store(false);
    } catch (...) { // NOLINT(bugprone-empty-catch)
        // No memory for the handle: the child runs on one thread.
    }
}

} // namespace

void starting_parallel_work() noexcept {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(before_fork, nullptr, nullptr); });
    pool_started.store(true, std::memory_order_relaxed);
}

void worker_start_failed() noexcept { pool_damaged.store(true); }

} // namespace kpy::pool
