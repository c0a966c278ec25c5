#pragma once
// The batch kernels of PoseList and Pose.apply, built like quat_kernels.hpp's: one plain loop per
// block, compiled once per instruction-set level, each element the core's own inline formula, so
// every level gives the bits of the single-pose method.
#include <cstddef>

#include "kalemtri/src/pose.hpp"
#include "kernels.hpp"
#include "levels.hpp"
#include "quat_kernels.hpp"

namespace kpy::kernels {

using kalemtri::Pose;

// Composition holds a Hamilton product, which GCC would fuse at the AVX-512 level (see Then).
struct PoseThen {
    static constexpr bool no_fma_level = true;
    Pose p;
    Pose operator()(const Pose& e) const { return e.then(p); }
};
struct PoseAfter {
    static constexpr bool no_fma_level = true;
    Pose p;
    Pose operator()(const Pose& e) const { return p.then(e); }
};
struct PoseInverse {
    Pose operator()(const Pose& e) const { return e.inverse(); }
};

template <class F> struct PoseMapBody {
    const Pose* __restrict src;
    Pose* __restrict dst;
    std::size_t n;
    F f;
    [[gnu::always_inline]] void operator()() const {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = f(src[i]);
    }
};

template <class F>
void pose_map_block(Level level, const Pose* src, Pose* dst, std::size_t n, const F& f) {
    if constexpr (requires { F::no_fma_level; }) level = without_fma(level);
    run_at(level, PoseMapBody<F>{src, dst, n, f});
}

// One pose applied to every element of a VecList, as a map kernel of kernels.hpp (map_block):
// the rotation and the translation of an element in one pass.
struct PoseApply {
    Pose o;
    Vec3d operator()(const Vec3d& e) const { return o.apply(e); }
};

// dst[i] = p[i].apply(v[i]) over one block.
struct ApplyPairsBody {
    const Pose* __restrict p;
    const Vec3d* __restrict v;
    Vec3d* __restrict dst;
    std::size_t n;
    [[gnu::always_inline]] void operator()() const {
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = p[i].apply(v[i]);
    }
};

inline void apply_pairs_block(Level level, const Pose* p, const Vec3d* v, Vec3d* dst,
                              std::size_t n) {
    run_at(level, ApplyPairsBody{p, v, dst, n});
}

} // namespace kpy::kernels
