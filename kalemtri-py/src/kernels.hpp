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

// Wider kernels are compiled beside the baseline ones on x86-64 only. A 32-bit build stays at its
// baseline: its SSE2 arithmetic must not be mixed with code built under other float settings, and
// nobody runs bandwidth-bound batches on it.
#if defined(__x86_64__) && defined(__GNUC__)
#define KPY_KERNEL_LEVELS 1
#include <immintrin.h>
#else
#define KPY_KERNEL_LEVELS 0
#endif

#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"
#include "tuning.hpp"

namespace kpy::kernels {

using kalemtri::Quat;
using kalemtri::Vec3d;

// ---------------------------------------------------------------------------------------------
// Instruction-set levels. Every kernel exists once per level from the same source: a function
// with a `target` attribute may inline the core's baseline formulas, so each level evaluates the
// very same operations, only more elements at a time. The core's inline functions themselves
// stay compiled for the baseline, so no wider instruction can leak into code that runs anywhere.
// +, -, *, / and sqrt are correctly rounded at every width, -ffp-contract=off keeps FMA out (AVX2
// machines have it), and no approximate reciprocal is ever used: every level gives the bits of
// the single-vector methods.

enum class Level : std::uint8_t { baseline, avx2, avx512 };
inline constexpr Level LEVELS[] = {Level::baseline, Level::avx2, Level::avx512};

inline const char* name(Level level) {
    switch (level) {
    case Level::avx2:
        return "avx2";
    case Level::avx512:
        return "avx512";
    default:
        return "baseline";
    }
}

// Whether this processor and its operating system run the level's code.
inline bool supported(Level level) {
#if KPY_KERNEL_LEVELS
    switch (level) {
    case Level::avx2:
        return __builtin_cpu_supports("avx2");
    case Level::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    default:
        return true;
    }
#else
    return level == Level::baseline;
#endif
}

// The widest supported level, detected once per process.
inline Level chosen_level() {
    static const Level level = supported(Level::avx512) ? Level::avx512
                               : supported(Level::avx2) ? Level::avx2
                                                        : Level::baseline;
    return level;
}

#if KPY_KERNEL_LEVELS
#define KPY_AVX2 gnu::target("avx2")
#define KPY_AVX512 gnu::target("avx512f,avx512dq,avx512bw,avx512vl,prefer-vector-width=512")
#endif

// ---------------------------------------------------------------------------------------------
// Maps: dst[i] = f(src[i]) for one block, a plain loop over restrict pointers so the formula
// vectorises. Out of line, so an element takes the same code path from every caller.

// The element-wise operations, each the core's single-vector formula.
struct Add {
    Vec3d o;
    Vec3d operator()(const Vec3d& e) const { return e + o; }
};
struct Sub {
    Vec3d o;
    Vec3d operator()(const Vec3d& e) const { return e - o; }
};
struct Mul {
    double s;
    Vec3d operator()(const Vec3d& e) const { return e * s; }
};
struct RMul {
    double s;
    Vec3d operator()(const Vec3d& e) const { return s * e; }
};
struct Div {
    double s;
    Vec3d operator()(const Vec3d& e) const { return e / s; }
};
// `baseline_only`: the baseline kernel is the fastest at every level. GCC shuffles the components
// across 256-bit lanes for these, which costs more than it gains (cross 1.55 against 1.15 ns per
// element, collapse 1.1 against 0.8, serial, in cache).
struct Cross {
    static constexpr bool baseline_only = true;
    Vec3d o;
    Vec3d operator()(const Vec3d& e) const { return kalemtri::cross(e, o); }
};
struct Normalize {
    Vec3d operator()(const Vec3d& e) const { return kalemtri::normalize(e); }
};
// A constant axis lets the loop vectorise; Collapse<3> stands for every bad axis.
template <std::size_t Axis> struct Collapse {
    static constexpr bool baseline_only = true;
    Vec3d operator()(const Vec3d& e) const { return kalemtri::collapse(e, Axis); }
};
struct Rotate {
    Quat q;
    Vec3d operator()(const Vec3d& e) const { return q.rotate(e); }
};
struct Dot {
    Vec3d o;
    double operator()(const Vec3d& e) const { return kalemtri::dot(e, o); }
};
struct Magnitude {
    double operator()(const Vec3d& e) const { return kalemtri::magnitude(e); }
};
struct DistanceTo {
    Vec3d o;
    double operator()(const Vec3d& e) const { return kalemtri::distance_to(e, o); }
};
struct IsUnit {
    bool operator()(const Vec3d& e) const { return kalemtri::is_unit(e); }
};

template <class R, class F>
[[gnu::always_inline]] inline void map_loop(const Vec3d* __restrict src, R* __restrict dst,
                                            std::size_t n, const F& f) {
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = f(src[i]);
}

template <class R, class F>
[[gnu::noinline]] void map_baseline(const Vec3d* __restrict src, R* __restrict dst, std::size_t n,
                                    F f) {
    map_loop(src, dst, n, f);
}
#if KPY_KERNEL_LEVELS
template <class R, class F>
[[gnu::noinline, KPY_AVX2]] void map_avx2(const Vec3d* __restrict src, R* __restrict dst,
                                          std::size_t n, F f) {
    map_loop(src, dst, n, f);
}
template <class R, class F>
[[gnu::noinline, KPY_AVX512]] void map_avx512(const Vec3d* __restrict src, R* __restrict dst,
                                              std::size_t n, F f) {
    map_loop(src, dst, n, f);
}
#endif

template <class R, class F>
void map_block(Level level, const Vec3d* src, R* dst, std::size_t n, const F& f) {
#if KPY_KERNEL_LEVELS
    if constexpr (!requires { F::baseline_only; }) {
        if (level == Level::avx512) return map_avx512<R>(src, dst, n, f);
        if (level == Level::avx2) return map_avx2<R>(src, dst, n, f);
    }
#endif
    (void)level;
    map_baseline<R>(src, dst, n, f);
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

#if KPY_KERNEL_LEVELS
[[KPY_AVX2]] inline std::int64_t min_key_avx2(const double* d, std::size_t n) {
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

[[KPY_AVX512]] inline std::int64_t min_key_avx512(const double* d, std::size_t n) {
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
#if KPY_KERNEL_LEVELS
    if (level == Level::avx512) return min_key_avx512(d, n);
    if (level == Level::avx2) return min_key_avx2(d, n);
#endif
    (void)level;
    return min_key_baseline(d, n);
}

// distance_to, with the NaN of a sum fixed: where two NaNs meet, the left one as written is kept,
// which is what x86 returns for that operand order. The compiler may swap the operands of a plain
// +, and may do so differently at each level or in a loop's tail; the total order sees NaN signs
// and payloads, so the nearest element would then depend on the level. The sum of squares is NaN
// exactly when a square is, and then it is the first NaN square; numbers are unaffected. Written
// as independent quiet selects so that the loop still vectorises.
inline double search_distance(const Vec3d& e, const Vec3d& o) {
    const Vec3d d = e - o;
    const double xx = d.x * d.x, yy = d.y * d.y, zz = d.z * d.z;
    const double r = std::sqrt((xx + yy) + zz);
    const double yz = std::isnan(yy) ? yy : zz;
    const double first_nan = std::isnan(xx) ? xx : yz;
    return std::isnan(r) ? first_nan : r;
}

// The distances of p[0], p[stride], ... p[(n - 1) * stride]; out of line so that a rescan
// reproduces the very same bits.
[[gnu::always_inline]] inline void distance_loop(const Vec3d* __restrict p, std::size_t stride,
                                                 std::size_t n, Vec3d o, double* __restrict d) {
    if (stride == 1)
        for (std::size_t i = 0; i < n; ++i)
            d[i] = search_distance(p[i], o);
    else
        for (std::size_t i = 0; i < n; ++i)
            d[i] = search_distance(p[i * stride], o);
}

[[gnu::noinline]] inline void distances_baseline(const Vec3d* __restrict p, std::size_t stride,
                                                 std::size_t n, Vec3d o, double* __restrict d) {
    distance_loop(p, stride, n, o, d);
}
#if KPY_KERNEL_LEVELS
[[gnu::noinline, KPY_AVX2]] inline void distances_avx2(const Vec3d* __restrict p,
                                                       std::size_t stride, std::size_t n, Vec3d o,
                                                       double* __restrict d) {
    distance_loop(p, stride, n, o, d);
}
[[gnu::noinline, KPY_AVX512]] inline void distances_avx512(const Vec3d* __restrict p,
                                                           std::size_t stride, std::size_t n,
                                                           Vec3d o, double* __restrict d) {
    distance_loop(p, stride, n, o, d);
}
#endif

inline void distances(Level level, const Vec3d* p, std::size_t stride, std::size_t n, Vec3d o,
                      double* d) {
#if KPY_KERNEL_LEVELS
    if (level == Level::avx512) return distances_avx512(p, stride, n, o, d);
    if (level == Level::avx2) return distances_avx2(p, stride, n, o, d);
#endif
    (void)level;
    distances_baseline(p, stride, n, o, d);
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

} // namespace kpy::kernels
