#pragma once
// Parallel loops for the batch operations of VecList. Work goes to oneTBB's global pool, never
// configured here; small inputs stay on the calling thread because a dispatch costs microseconds
// (sizes in tuning.hpp). Every helper gives results that do not depend on how the range is split.
// A thread may cap the threads its jobs use (set_thread_cap): they then run in an arena of that
// many slots, its own included, so that a process among many on one host takes only its share.
//
// Interrupts: the thread that starts a job holds the interpreter lock for the whole call, so it
// alone may look for pending signals. It does so between steps of `grain` elements of the pieces
// it runs, and on serial paths, through a check the binding layer installs. When the check throws,
// the job is cancelled: no thread takes a new piece or step, and the exception reaches the caller
// once the job has ended.
//
// oneTBB may be built against another C++ runtime than this code (PyPI's libtbb against
// libstdc++, a module built by Zig's clang with its own libc++). Both then unwind with one
// unwinder (libgcc_s), so an exception may pass between them, but neither runtime can type or
// hold the other's: only catch (...) matches it, and std::current_exception() gives nothing. So
// no exception of ours ever enters oneTBB (every piece catches its own), and what oneTBB throws is
// caught by catch (...) where it is called, and ends there.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "kalemtri/engine/tuning.hpp"

namespace kalemtri::pool {

using tuning::GRAIN;
using tuning::SERIAL_CUTOFF;

// Whether a job may go to the pool now. False when the pool would have to start for this thread
// and the address space cannot take that start-up and its workers' stacks: the job then runs on
// the calling thread, and a later one asks again. Always false in a child forked while the pool
// could not be wound down. When true, notes that the pool is in use, so that a fork first winds it
// down and the child, like the parent, starts a full one on its next parallel job.
bool starting_parallel_work() noexcept;
// Notes that the pool lost a worker it could not start; it is then never wound down.
void worker_start_failed() noexcept;

// The most threads a job started on the calling thread may use, its own included; 0 for no cap
// (the pool's size). Per thread: a cap set on one thread leaves every other as it was.
void set_thread_cap(std::size_t cap) noexcept;
std::size_t thread_cap() noexcept;
// How many threads a job started on the calling thread can use now: its cap where that is below
// the pool's size, 1 where jobs cannot go to the pool.
std::size_t max_threads();

// The interrupt check: called on the thread of the call, with the interpreter lock held; it throws
// to end the call (never a std::runtime_error). Installed once by the module; none by default.
void set_interrupt_check(void (*check)()) noexcept;

// A point where long work may stop. On the thread of the call it runs the interrupt check, at most
// once per few milliseconds; inside a piece of a cancelled job it abandons the piece (on any
// thread). Elsewhere, on a worker, it does nothing. Serial phases that can take long call it
// every few milliseconds of work; the loops below call it between steps.
void interruption_point();
// For the element loops of serial phases: an interruption_point() at every 64k-th element i. The
// first touch of fresh memory alone can make such a loop take seconds on a busy machine.
inline void interruption_point(std::size_t i) {
    if (i % (std::size_t{1} << 16) == 0) interruption_point();
}

// One parallel job. A piece that throws cancels the job, and the first exception is kept for the
// thread that started it, so that no exception of ours crosses oneTBB. Pieces run in steps, each
// after an interruption_point().
class Job {
  public:
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    tbb::task_group_context& context() { return context_; }
    // Whether the job was cancelled: its pieces stop at their next interruption_point().
    bool cancelled() const { return failed_.load(std::memory_order_relaxed); }

    template <class Step>
    void run(std::size_t begin, std::size_t end, std::size_t step, Step&& body) noexcept {
        const Scope scope(*this);
        try {
            for (std::size_t b = begin; b < end;) {
                interruption_point();
                const std::size_t e = end - b > step ? b + step : end;
                body(b, e);
                b = e;
            }
        } catch (...) {
            fail();
        }
    }

    // Runs launch() (the parallel loop) and rethrows the first failure of a piece. A failure of
    // oneTBB's own (a worker it could not start) gives way to it.
    template <class Launch> decltype(auto) operator()(Launch&& launch) {
        if constexpr (std::is_void_v<decltype(launch())>) {
            try {
                launch();
            } catch (...) {
                pool_failed();
            }
            rethrow_failure();
        } else {
            auto r = [&] {
                try {
                    return launch();
                } catch (...) {
                    pool_failed();
                }
            }();
            rethrow_failure();
            return r;
        }
    }

  private:
    // Makes the job the current one of this thread while it runs a piece.
    class Scope {
      public:
        explicit Scope(Job& job) noexcept;
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope();

      private:
        Job* outer_job_;
        bool outer_worker_;
    };

    void fail() noexcept;
    void rethrow_failure();
    // In a handler of what launch() threw: rethrows the first failure of a piece if there is
    // one, else what oneTBB threw (as PoolFailure where it is foreign).
    [[noreturn]] void pool_failed();

    // Isolated: a job started inside a piece (by Python code that a signal handler or the
    // collector runs there) must not stop half done, its results looking whole, when the
    // enclosing job is cancelled.
    tbb::task_group_context context_{tbb::task_group_context::isolated};
    std::thread::id owner_ = std::this_thread::get_id();
    std::atomic<bool> failed_{false};
    std::exception_ptr failure_;
};

// The whole range on the calling thread, in steps of `step` with an interruption_point() before
// each.
template <class F> void serial_steps(std::size_t n, std::size_t step, F&& body) {
    for (std::size_t b = 0; b < n;) {
        interruption_point();
        const std::size_t e = n - b > step ? b + step : n;
        body(b, e);
        b = e;
    }
}

// What oneTBB threw, where this code's C++ runtime cannot tell what it is.
struct PoolFailure {};

// Whether the exception being handled is oneTBB's failure: a worker thread it could not create
// (std::runtime_error), or any exception of another C++ runtime (see the top), which only oneTBB
// throws here. Called in a handler.
bool is_pool_failure() noexcept;

// The exception being handled, a foreign one as PoolFailure. Called in a handler.
std::exception_ptr caught() noexcept;

// Runs parallel() in a fresh arena of at most `cap` threads. What it throws is carried out of
// the arena here, not by oneTBB, which cannot hold an exception of another C++ runtime.
template <class Parallel> decltype(auto) in_arena(std::size_t cap, Parallel& parallel) {
    // A fresh arena per job: it holds no workers between jobs, and none is alive at a fork.
    const int size = std::max(tbb::this_task_arena::max_concurrency(), 1);
    tbb::task_arena arena(cap < static_cast<std::size_t>(size) ? static_cast<int>(cap) : size);
    std::exception_ptr failure;
    if constexpr (std::is_void_v<decltype(parallel())>) {
        arena.execute([&]() noexcept {
            try {
                parallel();
            } catch (...) {
                failure = caught();
            }
        });
        if (failure) std::rethrow_exception(failure);
    } else {
        using Result = decltype(parallel());
        std::optional<Result> result;
        arena.execute([&]() noexcept {
            try {
                result.emplace(parallel());
            } catch (...) {
                failure = caught();
            }
        });
        if (failure) std::rethrow_exception(failure);
        // Not run at all: the job is done on the calling thread instead.
        if (!result) throw PoolFailure{};
        return Result(std::move(*result));
    }
}

// Runs parallel() on the pool. oneTBB reports a worker thread it could not create (no memory for
// its stack, a process limit) as std::runtime_error once the job has ended, after some pieces may
// have run; serial() then does the whole job on the calling thread, so every piece must be safe
// to run again. Any other failure of oneTBB's own is taken as that one.
template <class Parallel, class Serial>
decltype(auto) parallel_or_serial(Parallel&& parallel, Serial&& serial) {
    const std::size_t cap = thread_cap();
    if (cap == 1 || !starting_parallel_work()) return serial();
    try {
        if (cap == 0) return parallel();
        return in_arena(cap, parallel);
    } catch (...) {
        if (!is_pool_failure()) throw;
    }
    // Outside the handler: a foreign exception is released before the job runs again.
    worker_start_failed();
    return serial();
}

// Calls body(begin, end) on contiguous pieces covering [0, n): the whole range on the calling
// thread below `serial_below`, else pieces of at least `grain` on the pool. An exception thrown
// by a piece reaches the caller after the job has ended. A piece may run twice (see
// parallel_or_serial).
template <class F>
void for_range(std::size_t n, F&& body, std::size_t serial_below = SERIAL_CUTOFF,
               std::size_t grain = GRAIN) {
    if (n == 0) return;
    if (n < serial_below) {
        body(std::size_t{0}, n);
        return;
    }
    parallel_or_serial(
        [&] {
            Job job;
            job([&] {
                tbb::parallel_for(
                    tbb::blocked_range<std::size_t>(0, n, grain),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                        job.run(r.begin(), r.end(), grain, body);
                    },
                    job.context());
            });
        },
        [&] { serial_steps(n, grain, body); });
}

// Folds piece(begin, end) results over [0, n) with `join`, which must be associative and
// commutative so that the split cannot show in the result.
template <class V, class Piece, class Join>
V reduce_range(std::size_t n, V identity, Piece&& piece, Join&& join,
               std::size_t serial_below = SERIAL_CUTOFF, std::size_t grain = GRAIN) {
    static_assert(std::is_nothrow_copy_constructible_v<V>, "oneTBB copies it");
    if (n == 0) return identity;
    if (n < serial_below) return piece(std::size_t{0}, n);
    const auto fold = [&](V& acc, std::size_t b, std::size_t e) { acc = join(acc, piece(b, e)); };
    return parallel_or_serial(
        [&] {
            Job job;
            return job([&] {
                return tbb::parallel_reduce(
                    tbb::blocked_range<std::size_t>(0, n, grain), identity,
                    [&](const tbb::blocked_range<std::size_t>& r, V acc) noexcept {
                        job.run(r.begin(), r.end(), grain,
                                [&](std::size_t b, std::size_t e) { fold(acc, b, e); });
                        return acc;
                    },
                    // oneTBB calls it: it must not throw (nor copying V, above).
                    [&](const V& a, const V& b) noexcept { return join(a, b); }, job.context());
            });
        },
        [&] {
            V acc = identity;
            serial_steps(n, grain, [&](std::size_t b, std::size_t e) { fold(acc, b, e); });
            return acc;
        });
}

// Calls block(begin, end) for the fixed blocks [k * size, (k + 1) * size) of [0, n), the last one
// cut at n, grouped into pieces as for_range does (`serial_below` and `grain` count elements).
// Vector code may propagate NaN signs and payloads differently from its scalar tail; cutting
// kernels at fixed positions gives every element the same code path, so not even those bits
// depend on the split.
template <class F>
void for_blocks(std::size_t n, std::size_t size, F&& block,
                std::size_t serial_below = SERIAL_CUTOFF, std::size_t grain = GRAIN) {
    for_range(
        tuning::block_count(n, size),
        [&](std::size_t kb, std::size_t ke) {
            for (std::size_t k = kb; k < ke; ++k)
                block(k * size, std::min(n, (k + 1) * size));
        },
        tuning::block_count(serial_below, size), tuning::block_count(grain, size));
}

// reduce_range over the fixed blocks of [0, n): piece(kb, ke) folds blocks kb..ke-1 itself.
template <class V, class Piece, class Join>
V reduce_blocks(std::size_t n, std::size_t size, V identity, Piece&& piece, Join&& join) {
    return reduce_range(tuning::block_count(n, size), identity, piece, join,
                        tuning::block_count(SERIAL_CUTOFF, size), tuning::block_count(GRAIN, size));
}

} // namespace kalemtri::pool
