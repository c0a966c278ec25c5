#pragma once
// Every size that decides how batch work is cut up, with the reason for its value. Times measured
// on the project's 2-core machines (oneTBB 2021.8).
#include <cstddef>

namespace kalemtri::tuning {

// Below this many elements work stays on the calling thread: a dispatch to the pool costs 3-15 us
// (more when the worker has gone to sleep), and on two cores the heavier kernels (normalize,
// rotate) start to gain from a second thread only around 8k elements.
inline constexpr std::size_t SERIAL_CUTOFF = 8192;
// Smallest piece handed to a worker: half the cutoff, so a job just above it still splits in two.
inline constexpr std::size_t GRAIN = 4096;

// Element-wise kernels run on blocks at fixed positions (see pool::for_blocks). 1024 elements are
// 24 KiB in and at most 24 KiB out: one block stays in L1/L2 and the per-block call is negligible.
inline constexpr std::size_t MAP_BLOCK = 1024;
// Pose.fit sums its points in blocks at fixed positions, one partial sum per block added in block
// order: 1024 pairs are 48 KiB, and the per-block partials of 10^6 pairs a few pages.
inline constexpr std::size_t FIT_BLOCK = 1024;
// The nearest-point fold keeps one block of distances on the stack (2 KiB) and rescans only the
// winning block, so a block must be small enough that the rescan is cheap.
inline constexpr std::size_t NEAREST_BLOCK = 256;
// Formatting costs ~150 ns per element, so text pays for the pool on far smaller lists than maps
// do: serial below two chunks, one chunk per piece.
inline constexpr std::size_t TEXT_CHUNK = 256;
inline constexpr std::size_t TEXT_SERIAL_CUTOFF = 2 * TEXT_CHUNK;

// Copies out of a foreign buffer: a strided row costs a few ns, so rows go to the pool in pieces of
// at least 16k, and only from 32k rows on; contiguous bytes move in 256 KiB pieces from 2 MiB on.
inline constexpr std::size_t COPY_SERIAL_ROWS = 32768;
inline constexpr std::size_t COPY_GRAIN_ROWS = 16384;
inline constexpr std::size_t COPY_CHUNK_BYTES = std::size_t{256} << 10;
inline constexpr std::size_t COPY_SERIAL_BYTES = 8 * COPY_CHUNK_BYTES;

// Number of blocks of `size` covering n elements, the last one possibly short; cannot overflow.
constexpr std::size_t block_count(std::size_t n, std::size_t size) {
    return n / size + (n % size != 0);
}

} // namespace kalemtri::tuning
