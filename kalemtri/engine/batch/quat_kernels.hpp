#pragma once
// The batch kernels of QuatList, built like those of kernels.hpp: one plain loop per block,
// compiled once per instruction-set level (levels.hpp), each element the core's own inline
// formula, so every level gives the bits of the single-quaternion method. As there, the loop
// evaluates the formula with plain doubles and redoes an element whose result holds a NaN with the
// single call.
#include <cstddef>

#include "kalemtri/engine/batch/kernels.hpp"
#include "kalemtri/engine/batch/levels.hpp"
#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::kernels {

using kalemtri::Vec3d;

// Element-wise operations on quaternions. `no_fma_level`: the four sums of a Hamilton product
// alternate subtraction and addition across the components, and GCC 12 vectorises that as fused
// multiply-add-subtract wherever the target has FMA, as AVX-512 does, -ffp-contract=off
// notwithstanding; the product's last bits would then depend on the processor.
struct Then {
    static constexpr bool no_fma_level = true;
    Quat p;
    Quat operator()(const Quat& q) const { return q.then(p); }
    Quat plain(const Quat& q) const { return formula::then(q, p); }
};
struct After {
    static constexpr bool no_fma_level = true;
    Quat p;
    Quat operator()(const Quat& q) const { return p.then(q); }
    Quat plain(const Quat& q) const { return formula::then(p, q); }
};
struct Inverse {
    Quat operator()(const Quat& q) const { return q.inverse(); }
    Quat plain(const Quat& q) const { return formula::inverse(q); }
};
struct NormalizeQuat {
    Quat operator()(const Quat& q) const { return q.normalize(); }
    Quat plain(const Quat& q) const { return formula::quat_normalize(q); }
};

// The widest level whose target lacks FMA: AVX2 serves for AVX-512.
inline Level without_fma(Level level) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (level == Level::avx512) return Level::avx2;
#endif
    return level;
}

// dst[i] = f(src[i]) over one block of quaternions or poses; the data by value and restrict, as
// kernels.hpp's MapBody.
template <class T, class F> struct SameMapBody {
    const T* __restrict src;
    T* __restrict dst;
    std::size_t n;
    F f;
    [[gnu::always_inline]] bool operator()() const {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = f.plain(src[i]);
        return any_nan(dst, n);
    }
};

// f over a block whose elements keep their type, each NaN result again by the single call.
template <class T, class F>
void same_map_block(Level level, const T* src, T* dst, std::size_t n, const F& f) {
    if constexpr (requires { F::no_fma_level; }) level = without_fma(level);
    if (run_at(level, SameMapBody<T, F>{src, dst, n, f}))
        redo_nans(dst, n, [&](std::size_t i) { return f(src[i]); });
}

// dst[i] = f(a[i], b[i]) over one block, f a plain formula; true when a result holds a NaN.
template <class A, class B, class F> struct PairsBody {
    const A* __restrict a;
    const B* __restrict b;
    Vec3d* __restrict dst;
    std::size_t n;
    F f;
    [[gnu::always_inline]] bool operator()() const {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = f(a[i], b[i]);
        return any_nan(dst, n);
    }
};
template <class A, class B, class F>
PairsBody<A, B, F> pairs_body(const A* a, const B* b, Vec3d* dst, std::size_t n, F f) {
    return {a, b, dst, n, f};
}

// dst[i] = q[i].rotate(v[i]) over one block.
inline void rotate_pairs_block(Level level, const Quat* q, const Vec3d* v, Vec3d* dst,
                               std::size_t n) {
    if (run_at(level, pairs_body(q, v, dst, n, formula::rotate)))
        redo_nans(dst, n, [&](std::size_t i) { return q[i].rotate(v[i]); });
}

} // namespace kalemtri::kernels
