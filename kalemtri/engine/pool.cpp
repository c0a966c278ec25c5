#include "kalemtri/engine/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/mman.h>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

namespace kalemtri::pool {

namespace {

// Set while this module may have worker threads running.
std::atomic<bool> pool_started{false};
// oneTBB 2021 counts a worker it failed to start as still running, and winding the pool down
// would wait for it forever.
std::atomic<bool> pool_damaged{false};
// Set in a child forked while the pool could not be wound down: it never calls oneTBB again.
std::atomic<bool> serial_only{false};

// A forked child inherits the pool's bookkeeping but none of its threads. oneTBB's way out is to
// wind the pool down before fork (finalize through a scheduler handle, which joins the workers);
// parent and child then each start a new pool on their next job. The wind-down refuses while
// another thread is still registered with the scheduler or a job is running, and it must not be
// tried on a damaged pool.
void before_fork() {
    if (serial_only.load() || !pool_started.load() || pool_damaged.load()) return;
    try {
        tbb::task_scheduler_handle handle{tbb::attach{}};
        if (tbb::finalize(handle, std::nothrow)) pool_started.store(false);
    } catch (...) { // NOLINT(bugprone-empty-catch)
        // No memory for the handle: the child runs on one thread.
    }
}

// A child whose pool was not wound down holds oneTBB's state as the parent's threads left it at
// the fork, locks and sleeping workers included: its first parallel job could wait forever for a
// worker that does not exist. It runs every job on its one thread instead, as do its own children.
void in_forked_child() {
    if (pool_started.load() || pool_damaged.load()) serial_only.store(true);
}

// oneTBB 2023 builds its scheduler while holding its global-control locks, and reports a failed
// allocation there through a call that takes one of those locks again: the thread then spins
// forever. A thread registered with oneTBB keeps the scheduler alive, so only an unregistered one
// (the first job, the first after a fork, a new Python thread) can get there; it first maps and
// unmaps a region as large as the start-up and every worker's stack. The kernel refuses that
// region for the same reasons it would refuse the start-up: RLIMIT_AS, RLIMIT_DATA, strict
// overcommit, a full 32-bit address space. Another thread may use up the room in between.
// The start-up maps about 4 MiB (oneTBB's allocator) ...
constexpr std::size_t START_ROOM = std::size_t{8} << 20;
// ... and each worker its stack plus a guard page, thread-local data and allocator caches.
constexpr std::size_t WORKER_ROOM = std::size_t{1} << 20;

bool fits(std::size_t bytes) noexcept {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, bytes);
    return true;
}

bool room_to_start() noexcept {
    if (tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized)
        return true;
    // Even asking oneTBB for its sizes may allocate (once, and not safely).
    if (!fits(START_ROOM)) return false;
    try {
        const auto workers =
            static_cast<std::size_t>(std::max(tbb::this_task_arena::max_concurrency(), 1) - 1);
        const std::size_t per_worker =
            tbb::global_control::active_value(tbb::global_control::thread_stack_size) + WORKER_ROOM;
        return workers <= (SIZE_MAX - START_ROOM) / per_worker &&
               fits(START_ROOM + workers * per_worker);
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Interrupts

std::atomic<void (*)()> interrupt_check{nullptr};

// A check costs little, but it may run the interpreter's signal handlers and cyclic collector;
// a user notices no delay below a tenth of a second.
constexpr auto CHECK_PERIOD = std::chrono::milliseconds(2);

// The job whose piece this thread is running, and whether another thread started that job (or
// an enclosing one): then this thread must not call into the interpreter.
thread_local Job* current_job = nullptr;
thread_local bool on_worker = false;
thread_local std::chrono::steady_clock::time_point next_check{};

thread_local std::size_t cap_of_thread = 0;

// Abandons a piece of a cancelled job; never leaves Job::run.
struct Cancelled {};

} // namespace

bool starting_parallel_work() noexcept {
    if (serial_only.load(std::memory_order_relaxed) || !room_to_start()) return false;
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(before_fork, nullptr, in_forked_child); });
    pool_started.store(true, std::memory_order_relaxed);
    return true;
}

void worker_start_failed() noexcept { pool_damaged.store(true); }

void set_thread_cap(std::size_t cap) noexcept { cap_of_thread = cap; }

std::size_t thread_cap() noexcept { return cap_of_thread; }

std::size_t max_threads() {
    if (serial_only.load() || cap_of_thread == 1) return 1;
    const auto size =
        static_cast<std::size_t>(std::max(tbb::this_task_arena::max_concurrency(), 1));
    return cap_of_thread != 0 && cap_of_thread < size ? cap_of_thread : size;
}

void set_interrupt_check(void (*check)()) noexcept { interrupt_check.store(check); }

void interruption_point() {
    if (current_job && current_job->cancelled()) throw Cancelled{};
    if (on_worker) return;
    void (*check)() = interrupt_check.load(std::memory_order_relaxed);
    if (!check) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check) return;
    next_check = now + CHECK_PERIOD;
    check();
}

Job::Scope::Scope(Job& job) noexcept : outer_job_(current_job), outer_worker_(on_worker) {
    current_job = &job;
    on_worker = on_worker || std::this_thread::get_id() != job.owner_;
}

Job::Scope::~Scope() {
    current_job = outer_job_;
    on_worker = outer_worker_;
}

bool is_pool_failure() noexcept {
    try {
        throw;
    } catch (const PoolFailure&) {
        return true;
    } catch (const std::runtime_error&) {
        return true;
    } catch (...) {
        return !std::current_exception();
    }
}

std::exception_ptr caught() noexcept {
    std::exception_ptr e = std::current_exception();
    return e ? e : std::make_exception_ptr(PoolFailure{});
}

void Job::fail() noexcept {
    try {
        throw;
    } catch (const Cancelled&) { // NOLINT(bugprone-empty-catch)
        // The job has its failure already.
    } catch (...) {
        if (!failed_.exchange(true)) {
            failure_ = caught();
        }
        context_.cancel_group_execution();
    }
}

void Job::rethrow_failure() {
    if (failed_.load()) std::rethrow_exception(failure_);
}

void Job::pool_failed() {
    if (failed_.load()) {
        if (is_pool_failure()) worker_start_failed();
        rethrow_failure();
    }
    if (std::current_exception()) throw;
    throw PoolFailure{};
}

} // namespace kalemtri::pool
