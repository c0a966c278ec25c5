#pragma once
// The batch kernels of QuatList, built like those of kernels.hpp: one plain loop per block, the
// same source compiled once per instruction-set level, each element the core's own inline formula,
// so every level gives the bits of the single-quaternion method.
#include <cstddef>

#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"
#include "kernels.hpp"

namespace kpy::kernels {

// Element-wise operations on quaternions.
struct Then {
    Quat p;
    Quat operator()(const Quat& q) const { return q.then(p); }
};
struct After {
    Quat p;
    Quat operator()(const Quat& q) const { return p.then(q); }
};
struct Inverse {
    Quat operator()(const Quat& q) const { return q.inverse(); }
};
struct NormalizeQuat {
    Quat operator()(const Quat& q) const { return q.normalize(); }
};

template <class F>
[[gnu::always_inline]] inline void quat_loop(const Quat* __restrict src, Quat* __restrict dst,
                                             std::size_t n, const F& f) {
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = f(src[i]);
}

// dst[i] = q[i].rotate(v[i]).
[[gnu::always_inline]] inline void rotate_pairs_loop(const Quat* __restrict q,
                                                     const Vec3d* __restrict v,
                                                     Vec3d* __restrict dst, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = q[i].rotate(v[i]);
}

template <class F>
[[gnu::noinline]] void quat_map_baseline(const Quat* __restrict src, Quat* __restrict dst,
                                         std::size_t n, F f) {
    quat_loop(src, dst, n, f);
}
[[gnu::noinline]] inline void rotate_pairs_baseline(const Quat* __restrict q,
                                                    const Vec3d* __restrict v,
                                                    Vec3d* __restrict dst, std::size_t n) {
    rotate_pairs_loop(q, v, dst, n);
}
#if KPY_KERNEL_LEVELS
template <class F>
[[gnu::noinline, KPY_AVX2]] void quat_map_avx2(const Quat* __restrict src, Quat* __restrict dst,
                                               std::size_t n, F f) {
    quat_loop(src, dst, n, f);
}
[[gnu::noinline, KPY_AVX2]] inline void rotate_pairs_avx2(const Quat* __restrict q,
                                                          const Vec3d* __restrict v,
                                                          Vec3d* __restrict dst, std::size_t n) {
    rotate_pairs_loop(q, v, dst, n);
}
[[gnu::noinline, KPY_AVX512]] inline void rotate_pairs_avx512(const Quat* __restrict q,
                                                              const Vec3d* __restrict v,
                                                              Vec3d* __restrict dst,
                                                              std::size_t n) {
    rotate_pairs_loop(q, v, dst, n);
}
#endif

// The AVX2 kernel serves the AVX-512 level too. The four sums of a Hamilton product alternate
// subtraction and addition across the components, and GCC 12 vectorises that as fused
// multiply-add-subtract wherever the target has FMA, as AVX-512 does, -ffp-contract=off
// notwithstanding: the product's last bits would then depend on the processor.
template <class F>
void quat_map_block(Level level, const Quat* src, Quat* dst, std::size_t n, const F& f) {
#if KPY_KERNEL_LEVELS
    if (level != Level::baseline) return quat_map_avx2(src, dst, n, f);
#endif
    (void)level;
    quat_map_baseline(src, dst, n, f);
}

inline void rotate_pairs_block(Level level, const Quat* q, const Vec3d* v, Vec3d* dst,
                               std::size_t n) {
#if KPY_KERNEL_LEVELS
    if (level == Level::avx512) return rotate_pairs_avx512(q, v, dst, n);
    if (level == Level::avx2) return rotate_pairs_avx2(q, v, dst, n);
#endif
    (void)level;
    rotate_pairs_baseline(q, v, dst, n);
}

} // namespace kpy::kernels
