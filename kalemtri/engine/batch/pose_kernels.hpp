#pragma once
// The batch kernels of PoseList and Pose.apply, built like quat_kernels.hpp's: one plain loop per
// block, compiled once per instruction-set level, each element the core's own inline formula, so
// every level gives the bits of the single-pose method. Which NaN a vectorised loop keeps depends
// on the operand order the compiler chose, so a block whose results hold a NaN has those elements
// redone by the single call (redo_nans).
#include <algorithm>
#include <cstddef>

#include "kalemtri/engine/batch/kernels.hpp"
#include "kalemtri/engine/batch/levels.hpp"
#include "kalemtri/engine/batch/quat_kernels.hpp"
#include "kalemtri/src/pose.hpp"

namespace kalemtri::kernels {

// a.then(b) on plain doubles: Pose::then's formula.
inline Pose compose(const Pose& a, const Pose& b) {
    return {formula::then(a.rotation, b.rotation),
            formula::add(formula::rotate(b.rotation, a.translation), b.translation)};
}

// Composition holds a Hamilton product, which GCC would fuse at the AVX-512 level (see Then).
// `plain` is the single call's formula on plain doubles, which vectorises.
struct PoseThen {
    static constexpr bool no_fma_level = true;
    Pose p;
    Pose operator()(const Pose& e) const { return e.then(p); }
    Pose plain(const Pose& e) const { return compose(e, p); }
};
struct PoseAfter {
    static constexpr bool no_fma_level = true;
    Pose p;
    Pose operator()(const Pose& e) const { return p.then(e); }
    Pose plain(const Pose& e) const { return compose(p, e); }
};
struct PoseInverse {
    Pose operator()(const Pose& e) const { return e.inverse(); }
    Pose plain(const Pose& e) const {
        const Quat r = formula::inverse(e.rotation);
        const Vec3d t = formula::rotate(r, e.translation);
        return {r, {-t.x, -t.y, -t.z}};
    }
};

static_assert(sizeof(Pose) == 7 * sizeof(double));

// One pose applied to every element of a VecList, as a map kernel of kernels.hpp (map_block):
// the rotation and the translation of an element in one pass.
struct PoseApply {
    Pose o;
    Vec3d operator()(const Vec3d& e) const { return o.apply(e); }
    Vec3d plain(const Vec3d& e) const {
        return formula::add(formula::rotate(o.rotation, e), o.translation);
    }
};

// PoseList.apply: rows (w, i, j, k, x, y, z) interleave a rotation and a translation, which
// vectorises poorly (1.6 times slower than this, in cache), so a chunk of poses is split into an
// array of rotations and one of translations in L1, rotated by QuatList.rotate's kernel and the
// translations added pairwise: the formulas of Pose::apply, in its order, at every level.
// (Composition and inversion stay whole per element: there the split cost more than it gained.)
inline constexpr std::size_t POSE_CHUNK = 256;

// dst[i] = p[i].apply(v[i]) over one block, in chunks at fixed offsets.
inline void apply_pairs_block(Level level, const Pose* p, const Vec3d* v, Vec3d* dst,
                              std::size_t n) {
    Quat q[POSE_CHUNK];
    Vec3d t[POSE_CHUNK], turned[POSE_CHUNK];
    for (std::size_t b = 0; b < n; b += POSE_CHUNK) {
        const std::size_t m = std::min(POSE_CHUNK, n - b);
        for (std::size_t i = 0; i < m; ++i) {
            q[i] = p[b + i].rotation;
            t[i] = p[b + i].translation;
        }
        rotate_pairs_block(level, q, v + b, turned, m);
        if (run_at(level, pairs_body(turned, t, dst + b, m, formula::add)))
            redo_nans(dst + b, m, [&](std::size_t i) { return p[b + i].apply(v[b + i]); });
    }
}

} // namespace kalemtri::kernels
