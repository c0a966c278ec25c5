#pragma once
// Point-to-point ICP of a source cloud onto the points of a Tree, on the worker pool.
//
// Matching a pose: every source point is moved by the pose (Pose::apply, the bits of Pose.apply)
// and matched to its nearest tree point (Tree::nearest, or nearest_within under a bound); the
// RMS distance of the matches is sqrt(total / inliers), total being the squares d * d summed in
// source order within fixed blocks of RMS_BLOCK points, the block sums added in block order.
// A fit moves the matched points onto their matches by Pose.fit's passes (pose_fit_pool.hpp) on
// the pairs in source order, and the pose becomes pose.then(fit).
//
// run() matches the initial pose, then fits and matches again up to `iterations` times; it stops
// early once a matching's RMS equals or is within `tolerance` of the one before, or finds no
// inliers (its RMS is then NaN and the pose is the one it matched). Nothing depends on the
// number of threads: queries are answered one by one and every sum is fixed by its blocks.
//
// Consecutive poses move a point little, so each query starts from the point's previous match
// at its new distance (Tree::nearest_from): an upper bound on the nearest distance that skips
// most boxes, while the answer, ties included, stays that of the plain query.
#include <cstddef>

#include "kalemtri/engine/spatial/tree.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/pose.hpp"

namespace kalemtri::icp {

inline constexpr std::size_t RMS_BLOCK = tuning::FIT_BLOCK;

struct Options {
    std::size_t iterations = 30;
    bool bounded = false;
    double max_distance = 0.0; // when bounded: a number >= 0
    double tolerance = 0.0;    // >= 0
};

struct Result {
    Pose pose;
    double rmse = 0.0; // of the last matching; NaN when it found no inliers
    std::size_t inliers = 0;
    std::size_t iterations = 0; // fits made
};

Result run(const tree::Tree& tree, const Vec3d* source, std::size_t n, const Pose& initial,
           const Options& options);

} // namespace kalemtri::icp
