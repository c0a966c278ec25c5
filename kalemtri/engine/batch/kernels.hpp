#pragma once
// The batch kernels of VecList: plain loops over one block of an element array, free of Python and
// of the pool, so that the C++ tests can call them directly. Per-element formulas are the core's
// own inline functions, so a kernel gives the bits of the single-vector method.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <tuple>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "kalemtri/engine/batch/levels.hpp"
#include "kalemtri/engine/distance.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::kernels {

using kalemtri::Vec3d;

// ---------------------------------------------------------------------------------------------
// The element-wise batch operations, each the core's single-vector formula. `name` is the VecList
// attribute that runs it; an operand, if any, is the member `o`; `in_place` marks one that
// replaces the list's elements rather than returning its results. operator() is the single-vector
// call; `plain`, where present, its formula with plain doubles, which the batch loop evaluates and
// which differs from the call only in which NaN a result holds (kalemtri/src/x86_nan.hpp).

struct Add {
    static constexpr const char* name = "__add__";
    Vec3d o;
    Vec3d operator()(const Vec3d& e) const { return e + o; }
    Vec3d plain(const Vec3d& e) const { return formula::add(e, o); }
};
struct Sub {
    static constexpr const char* name = "__sub__";
    Vec3d o;
    Vec3d operator()(const Vec3d& e) const { return e - o; }
    Vec3d plain(const Vec3d& e) const { return formula::sub(e, o); }
};
struct Mul {
    static constexpr const char* name = "__mul__";
    double o;
    Vec3d operator()(const Vec3d& e) const { return e * o; }
    Vec3d plain(const Vec3d& e) const { return formula::mul(e, o); }
};
struct RMul {
    static constexpr const char* name = "__rmul__";
    double o;
    Vec3d operator()(const Vec3d& e) const { return o * e; }
    Vec3d plain(const Vec3d& e) const { return formula::mul(e, o); }
};
struct Div {
    static constexpr const char* name = "__truediv__";
    double o;
    Vec3d operator()(const Vec3d& e) const { return e / o; }
    Vec3d plain(const Vec3d& e) const { return formula::div(e, o); }
};
// `baseline_only`: the baseline kernel is the fastest at every level. GCC shuffles the components
// across 256-bit lanes for these, which costs more than it gains (cross 1.55 against 1.15 ns per
// element, collapse 1.1 against 0.8, serial, in cache).
struct Cross {
    static constexpr const char* name = "cross";
    static constexpr bool baseline_only = true;
    Vec3d o;
    Vec3d operator()(const Vec3d& e) const { return kalemtri::cross(e, o); }
    Vec3d plain(const Vec3d& e) const { return formula::cross(e, o); }
};
struct Normalize {
    static constexpr const char* name = "normalize";
    Vec3d operator()(const Vec3d& e) const { return kalemtri::normalize(e); }
    Vec3d plain(const Vec3d& e) const { return formula::normalize(e); }
};
// A constant axis lets the loop vectorise; Collapse<3> stands for every bad axis. `argument` is
// the axis as the Python method takes it.
template <std::size_t Axis> struct Collapse {
    static constexpr const char* name = "collapse";
    static constexpr std::size_t argument = Axis;
    static constexpr bool baseline_only = true;
    Vec3d operator()(const Vec3d& e) const { return kalemtri::collapse(e, Axis); }
};
// Runs in place: the list's elements are replaced by the results.
struct Rotate {
    static constexpr const char* name = "rotate";
    static constexpr bool in_place = true;
    Quat o;
    Vec3d operator()(const Vec3d& e) const { return o.rotate(e); }
    Vec3d plain(const Vec3d& e) const { return formula::rotate(o, e); }
};
struct Dot {
    static constexpr const char* name = "dot";
    Vec3d o;
    double operator()(const Vec3d& e) const { return kalemtri::dot(e, o); }
    double plain(const Vec3d& e) const { return formula::dot(e, o); }
};
struct Magnitude {
    static constexpr const char* name = "magnitude";
    double operator()(const Vec3d& e) const { return kalemtri::magnitude(e); }
    double plain(const Vec3d& e) const { return formula::magnitude(e); }
};
struct DistanceTo {
    static constexpr const char* name = "distance_to";
    Vec3d o;
    double operator()(const Vec3d& e) const { return kalemtri::distance_to(e, o); }
    double plain(const Vec3d& e) const { return formula::distance_to(e, o); }
};
struct IsUnit {
    static constexpr const char* name = "is_unit";
    bool operator()(const Vec3d& e) const { return kalemtri::is_unit(e); }
};

// Every element-wise batch operation, once: the kernel tests run each at every level against its
// formula, and the module lists them (`_batch_operations`) for the Python tests and the probe.
using BatchOperations =
    std::tuple<Add, Sub, Mul, RMul, Div, Cross, Normalize, Collapse<0>, Collapse<1>, Collapse<2>,
               Rotate, Dot, Magnitude, DistanceTo, IsUnit>;

// The operand type of operation K, or void.
template <class K> struct OperandOf { using type = void; };
template <class K>
requires requires { K::o; }
struct OperandOf<K> {
    using type = std::remove_cvref_t<decltype(K::o)>;
};
template <class K> using operand_t = typename OperandOf<K>::type;

// Calls f(K{}) for every operation K of the list, in order.
template <class F> void for_each_operation(F&& f) {
    std::apply([&](auto... k) { (f(k), ...); }, BatchOperations{});
}

// ---------------------------------------------------------------------------------------------
// Maps: dst[i] = f(src[i]) for one block, a plain loop over restrict pointers so the formula
// vectorises.

// An operation with a `plain` formula: the loop evaluates that and notes whether any result holds
// a NaN; such an element is then redone by the single-vector call (redo_nans), so that its NaN
// does not depend on the operand order the compiler chose for the level.
template <class F>
concept HasPlain = requires(const F& f, const Vec3d& e) {
    f.plain(e);
};

// Whether any of the doubles d[0..n) is a NaN: the top bit of a fold over their magnitudes' bits
// above infinity's. Integer operations only, over the results as one flat array still in L1: GCC
// 12 vectorises that at every level, where it keeps a fold of comparisons scalar, shuffles the
// components of structures apart, and gives up vectorising rotate if the fold joins the formula's
// loop.
[[gnu::always_inline]] inline bool any_nan(const double* __restrict d, std::size_t n) {
    constexpr std::uint64_t INF = 0x7FF0000000000000, MAGNITUDE = 0x7FFFFFFFFFFFFFFF;
    std::uint64_t folded = 0;
    for (std::size_t i = 0; i < n; ++i)
        folded |= INF - (std::bit_cast<std::uint64_t>(d[i]) & MAGNITUDE);
    return folded >> 63 != 0;
}
static_assert(sizeof(Vec3d) == 3 * sizeof(double) && sizeof(Quat) == 4 * sizeof(double));
template <class R>
[[gnu::always_inline]] inline bool any_nan(const R* __restrict r, std::size_t n) {
    return any_nan(reinterpret_cast<const double*>(r), n * (sizeof(R) / sizeof(double)));
}

template <class R, class F>
[[gnu::always_inline]] inline bool map_loop(const Vec3d* __restrict src, R* __restrict dst,
                                            std::size_t n, const F& f) {
    if constexpr (HasPlain<F>) {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = f.plain(src[i]);
        return any_nan(dst, n);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = f(src[i]);
        return false;
    }
}

// The loop's data travels by value, its pointers restrict as in map_loop, so the trampoline's code
// needs no overlap checks.
template <class R, class F> struct MapBody {
    const Vec3d* __restrict src;
    R* __restrict dst;
    std::size_t n;
    F f;
    [[gnu::always_inline]] bool operator()() const { return map_loop(src, dst, n, f); }
};

// The elements of a block whose result holds a NaN, again by the single call `one(i)`. Rare, and
// compiled for the baseline only.
template <class R, class One> void redo_nans(R* dst, std::size_t n, const One& one) {
    for (std::size_t i = 0; i < n; ++i)
        if (has_nan(dst[i])) dst[i] = one(i); // unqualified: ADL finds has_nan of later types
}

template <class R, class F>
void map_block(Level level, const Vec3d* src, R* dst, std::size_t n, const F& f) {
    if constexpr (requires { F::baseline_only; }) level = Level::baseline;
    if (run_at(level, MapBody<R, F>{src, dst, n, f}))
        redo_nans(dst, n, [&](std::size_t i) { return f(src[i]); });
}

// ---------------------------------------------------------------------------------------------
// Nearest point. Distances are ordered by IEEE totalOrder through an integer key (distance.hpp),
// and the lowest (key, index) wins: associative and commutative, so the split cannot change the
// answer.

inline Candidate better(const Candidate& a, const Candidate& b) {
    if (b.index == NONE) return a;
    if (a.index == NONE) return b;
    return b.key < a.key || (b.key == a.key && b.index < a.index) ? b : a;
}

// Smallest order key of d[0..n), n >= 1. Among values that are neither NaN nor carry a sign bit
// the smallest double is unique and has the smallest key, whatever the order of comparison; so the
// vector part takes the minimum and notes whether anything else occurred, and such a block is
// keyed one by one. (Distances are sqrt of a sum of squares: a sign bit comes only with a NaN.)
inline std::int64_t min_key_scan(const double* d, std::size_t n) {
    std::int64_t k = std::numeric_limits<std::int64_t>::max();
    for (std::size_t j = 0; j < n; ++j)
        k = std::min(k, order_key(d[j]));
    return k;
}

inline std::int64_t min_key_tail(const double* d, std::size_t i, std::size_t n, double m,
                                 bool odd) {
    for (; i < n; ++i) {
        odd |= !(d[i] >= 0.0) || std::signbit(d[i]);
        m = d[i] < m ? d[i] : m;
    }
    return odd ? min_key_scan(d, n) : order_key(m);
}

inline std::int64_t min_key_baseline(const double* d, std::size_t n) {
    std::size_t i = 0;
    double m = std::numeric_limits<double>::infinity();
    bool odd = false;
#if defined(__SSE2__)
    // x >= 0 fails for NaNs and negatives, and only -0.0 passes it with its sign bit set.
    __m128d m2 = _mm_set1_pd(m), ok = _mm_castsi128_pd(_mm_set1_epi32(-1)), sign = _mm_setzero_pd();
    const __m128d zero = _mm_setzero_pd();
    for (; i + 2 <= n; i += 2) {
        const __m128d x = _mm_loadu_pd(d + i);
        m2 = _mm_min_pd(x, m2);
        ok = _mm_and_pd(ok, _mm_cmpge_pd(x, zero));
        sign = _mm_or_pd(sign, x);
    }
    odd = _mm_movemask_pd(ok) != 3 || _mm_movemask_pd(sign) != 0;
    double lanes[2];
    _mm_storeu_pd(lanes, m2);
    m = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
#endif
    return min_key_tail(d, i, n, m, odd);
}

// The baseline's scan serves every level without a scan of its own.
template <Level L> std::int64_t min_key(At<L>, const double* d, std::size_t n) {
    return min_key_baseline(d, n);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[KPY_AVX2]] inline std::int64_t min_key(At<Level::avx2>, const double* d, std::size_t n) {
    std::size_t i = 0;
    __m256d m4 = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    __m256d ok = _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), sign = _mm256_setzero_pd();
    const __m256d zero = _mm256_setzero_pd();
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(d + i);
        m4 = _mm256_min_pd(x, m4);
        ok = _mm256_and_pd(ok, _mm256_cmp_pd(x, zero, _CMP_GE_OQ));
        sign = _mm256_or_pd(sign, x);
    }
    const bool odd = _mm256_movemask_pd(ok) != 15 || _mm256_movemask_pd(sign) != 0;
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, m4);
    double m = lanes[0];
    for (double l : lanes)
        m = l < m ? l : m;
    return min_key_tail(d, i, n, m, odd);
}

[[KPY_AVX512]] inline std::int64_t min_key(At<Level::avx512>, const double* d, std::size_t n) {
    std::size_t i = 0;
    __m512d m8 = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    __mmask8 ok = 0xff, sign = 0;
    const __m512d zero = _mm512_setzero_pd();
    for (; i + 8 <= n; i += 8) {
        const __m512d x = _mm512_loadu_pd(d + i);
        m8 = x < m8 ? x : m8; // _mm512_min_pd, whose header trips -Wmaybe-uninitialized in GCC 12
        ok &= _mm512_cmp_pd_mask(x, zero, _CMP_GE_OQ);
        sign |= _mm512_movepi64_mask(_mm512_castpd_si512(x));
    }
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, m8);
    double m = lanes[0];
    for (double l : lanes)
        m = l < m ? l : m;
    return min_key_tail(d, i, n, m, ok != 0xff || sign != 0);
}
#endif

inline std::int64_t block_min_key(Level level, const double* d, std::size_t n) {
    return dispatch(level, [&](auto at) { return min_key(at, d, n); });
}

// The distances of p[0], p[stride], ... p[(n - 1) * stride], run out of line (run_at) so that a
// rescan reproduces the very same bits.
[[gnu::always_inline]] inline void distance_loop(const Vec3d* __restrict p, std::size_t stride,
                                                 std::size_t n, Vec3d o, double* __restrict d) {
    if (stride == 1)
        for (std::size_t i = 0; i < n; ++i)
            d[i] = search_distance(p[i], o);
    else
        for (std::size_t i = 0; i < n; ++i)
            d[i] = search_distance(p[i * stride], o);
}

struct DistanceBody {
    const Vec3d* __restrict p;
    std::size_t stride;
    std::size_t n;
    Vec3d o;
    double* __restrict d;
    [[gnu::always_inline]] void operator()() const { distance_loop(p, stride, n, o, d); }
};

inline void distances(Level level, const Vec3d* p, std::size_t stride, std::size_t n, Vec3d o,
                      double* d) {
    run_at(level, DistanceBody{p, stride, n, o, d});
}

// Nearest of first[0], first[stride], ... (count elements) within the fixed blocks kb..ke-1 of
// NEAREST_BLOCK elements: a fold of per-block minima, then a rescan of the winning block for its
// first element with that key. Indexes count from `first` in steps of one element.
inline Candidate nearest_blocks(Level level, const Vec3d* first, std::size_t stride,
                                std::size_t count, Vec3d o, std::size_t kb, std::size_t ke) {
    constexpr std::size_t B = tuning::NEAREST_BLOCK;
    double d[B];
    std::int64_t best = 0;
    std::size_t best_block = NONE;
    for (std::size_t k = kb; k < ke; ++k) {
        const std::size_t n = std::min(B, count - k * B);
        distances(level, first + k * B * stride, stride, n, o, d);
        const std::int64_t key = block_min_key(level, d, n);
        if (best_block == NONE || key < best) {
            best = key;
            best_block = k;
        }
    }
    if (best_block == NONE) return NO_CANDIDATE;
    const std::size_t n = std::min(B, count - best_block * B);
    distances(level, first + best_block * B * stride, stride, n, o, d);
    std::size_t j = 0;
    while (order_key(d[j]) != best)
        ++j;
    return Candidate{best, (best_block * B + j) * stride, d[j]};
}

} // namespace kalemtri::kernels
