#pragma once
// Parallel loops for the batch operations of VecList. Work goes to oneTBB's global pool, never
// configured here; small inputs stay on the calling thread because a dispatch costs microseconds
// (sizes in tuning.hpp). Every helper gives results that do not depend on how the range is split.
#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "tuning.hpp"

namespace kpy::pool {

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

// Runs parallel() on the pool. oneTBB reports a worker thread it could not create (no memory for
// its stack, a process limit) as std::runtime_error once the job has ended, after some pieces may
// have run; serial() then does the whole job on the calling thread, so every piece must be safe
// to run again.
template <class Parallel, class Serial>
decltype(auto) parallel_or_serial(Parallel&& parallel, Serial&& serial) {
    if (!starting_parallel_work()) return serial();
    try {
        return parallel();
    } catch (const std::runtime_error&) {
        worker_start_failed();
        return serial();
    }
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
            tbb::parallel_for(
                tbb::blocked_range<std::size_t>(0, n, grain),
                [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
        },
        [&] { body(std::size_t{0}, n); });
}

// Folds piece(begin, end) results over [0, n) with `join`, which must be associative and
// commutative so that the split cannot show in the result.
template <class V, class Piece, class Join>
V reduce_range(std::size_t n, V identity, Piece&& piece, Join&& join,
               std::size_t serial_below = SERIAL_CUTOFF, std::size_t grain = GRAIN) {
    if (n == 0) return identity;
    if (n < serial_below) return piece(std::size_t{0}, n);
    return parallel_or_serial(
        [&] {
            return tbb::parallel_reduce(
                tbb::blocked_range<std::size_t>(0, n, grain), identity,
                [&](const tbb::blocked_range<std::size_t>& r, V acc) {
                    return join(acc, piece(r.begin(), r.end()));
                },
                join);
        },
        [&] { return piece(std::size_t{0}, n); });
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

} // namespace kpy::pool
