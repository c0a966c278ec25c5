#pragma once
// Pose.fit's passes on the worker pool: each sum of pose_fit.hpp over the fixed blocks of the
// pairs, one partial per block, the partials added in block order on the calling thread, so the
// bits never depend on the number of threads.
#include <cstddef>
#include <vector>

#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/pose_fit.hpp"

namespace kalemtri::fitting {

template <class Sum, class Block> Sum block_sums(std::size_t n, Block block) {
    constexpr std::size_t B = tuning::FIT_BLOCK;
    std::vector<Sum> partial(tuning::block_count(n, B));
    Sum* out = partial.data();
    pool::for_blocks(n, B, [=](std::size_t b, std::size_t e) { out[b / B] = block(b, e); });
    Sum total = partial[0];
    for (std::size_t k = 1; k < partial.size(); ++k)
        total = kalemtri::fit::add(total, partial[k]);
    return total;
}

// Pass 1 over pairs s[i] -> t[i], i < n, n >= 1; weights may be null (every weight 1).
inline kalemtri::fit::CentroidSums centroid_totals(const Vec3d* s, const Vec3d* t, const double* w,
                                                   std::size_t n) {
    return block_sums<kalemtri::fit::CentroidSums>(n, [=](std::size_t b, std::size_t e) {
        return kalemtri::fit::centroid_sums(s + b, t + b, w ? w + b : nullptr, e - b);
    });
}

// Pass 2 and the solve, from pass 1's totals with a positive total weight.
inline Pose fit_from(const kalemtri::fit::CentroidSums& sums, const Vec3d* s, const Vec3d* t,
                     const double* w, std::size_t n) {
    namespace fit = kalemtri::fit;
    const Vec3d cs = fit::centroid(sums.s, sums.w), ct = fit::centroid(sums.t, sums.w);
    const auto cov = block_sums<fit::Covariance>(n, [=](std::size_t b, std::size_t e) {
        return fit::covariance_sums(s + b, t + b, w ? w + b : nullptr, e - b, cs, ct);
    });
    return fit::solve(sums, cov);
}

} // namespace kalemtri::fitting
