#pragma once
// The batch kernels of VecList: plain loops over one block of an element array, free of Python and
// of the pool, so that the C++ tests can call them directly. Per-element formulas are the core's
// own inline functions, so a kernel gives the bits of the single-vector method.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"
#include "tuning.hpp"

namespace kpy::kernels {

using kalemtri::Quat;
using kalemtri::Vec3d;

// ---------------------------------------------------------------------------------------------
// Maps: dst[i] = f(src[i]) for one block, a plain loop over restrict pointers so the formula
// vectorises. Out of line, so an element takes the same code path from every caller.

template <class R, class F>
[[gnu::noinline]] void map_block(const Vec3d* __restrict src, R* __restrict dst, std::size_t n,
                                 F f) {
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = f(src[i]);
}

// ---------------------------------------------------------------------------------------------
// Nearest point. Distances are ordered by IEEE totalOrder through an integer key, and the lowest
// (key, index) wins: associative and commutative, so the split cannot change the answer.

inline std::int64_t order_key(double d) {
    const auto k = std::bit_cast<std::int64_t>(d);
    return k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k;
}

struct Candidate {
    std::int64_t key;
    std::size_t index; // NONE: nothing measured
    double distance;
};
inline constexpr std::size_t NONE = std::size_t(-1);
inline constexpr Candidate NO_CANDIDATE{0, NONE, 0.0};

inline Candidate better(const Candidate& a, const Candidate& b) {
    if (b.index == NONE) return a;
    if (a.index == NONE) return b;
    return b.key < a.key || (b.key == a.key && b.index < a.index) ? b : a;
}

// Smallest order key of d[0..n). Distances are sqrt of a sum of squares, so without NaNs they are
// all >= +0.0 and compare as doubles exactly as their keys do; a block with a NaN is keyed one by
// one.
inline std::int64_t block_min_key(const double* d, std::size_t n) {
    std::size_t i = 0;
    double m = std::numeric_limits<double>::infinity();
    bool nan = false;
#if defined(__SSE2__)
    __m128d m2 = _mm_set1_pd(m), nan2 = _mm_setzero_pd();
    for (; i + 2 <= n; i += 2) {
        const __m128d x = _mm_loadu_pd(d + i);
        m2 = _mm_min_pd(x, m2);
        nan2 = _mm_or_pd(nan2, _mm_cmpunord_pd(x, x));
    }
    nan = _mm_movemask_pd(nan2) != 0;
    double lanes[2];
    _mm_storeu_pd(lanes, m2);
    m = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
#endif
    for (; i < n; ++i) {
        nan |= d[i] != d[i];
        m = d[i] < m ? d[i] : m;
    }
    if (!nan) return order_key(m);
    std::int64_t k = std::numeric_limits<std::int64_t>::max();
    for (std::size_t j = 0; j < n; ++j)
        k = std::min(k, order_key(d[j]));
    return k;
}

// The distances of p[0], p[stride], ... p[(n - 1) * stride]; out of line so that a rescan
// reproduces the very same bits.
[[gnu::noinline]] inline void distances(const Vec3d* __restrict p, std::size_t stride,
                                        std::size_t n, Vec3d o, double* __restrict d) {
    if (stride == 1)
        for (std::size_t i = 0; i < n; ++i)
            d[i] = kalemtri::distance_to(p[i], o);
    else
        for (std::size_t i = 0; i < n; ++i)
            d[i] = kalemtri::distance_to(p[i * stride], o);
}

// Nearest of first[0], first[stride], ... (count elements) within the fixed blocks kb..ke-1 of
// NEAREST_BLOCK elements: a fold of per-block minima, then a rescan of the winning block for its
// first element with that key. Indexes count from `first` in steps of one element.
inline Candidate nearest_blocks(const Vec3d* first, std::size_t stride, std::size_t count, Vec3d o,
                                std::size_t kb, std::size_t ke) {
    constexpr std::size_t B = tuning::NEAREST_BLOCK;
    double d[B];
    std::int64_t best = 0;
    std::size_t best_block = NONE;
    for (std::size_t k = kb; k < ke; ++k) {
        const std::size_t n = std::min(B, count - k * B);
        distances(first + k * B * stride, stride, n, o, d);
        const std::int64_t key = block_min_key(d, n);
        if (best_block == NONE || key < best) {
            best = key;
            best_block = k;
        }
    }
    if (best_block == NONE) return NO_CANDIDATE;
    const std::size_t n = std::min(B, count - best_block * B);
    distances(first + best_block * B * stride, stride, n, o, d);
    std::size_t j = 0;
    while (order_key(d[j]) != best)
        ++j;
    return Candidate{best, (best_block * B + j) * stride, d[j]};
}

} // namespace kpy::kernels
