#include "kalemtri/engine/spatial/icp.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kalemtri/engine/batch/kernels.hpp"
#include "kalemtri/engine/batch/pose_fit_pool.hpp"
#include "kalemtri/engine/batch/pose_kernels.hpp"
#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/storage.hpp"

namespace kalemtri::icp {

namespace {

using kernels::Candidate;
using storage::Array;

constexpr std::uint32_t NO_MATCH = 0xFFFFFFFFu; // above every index a tree holds
// A seeded query costs well under a microsecond: pieces of this many keep the dispatch small.
constexpr std::size_t MATCH_SERIAL = 256;
constexpr std::size_t MATCH_GRAIN = 256;

class Icp {
  public:
    Icp(const tree::Tree& tree, const Vec3d* source, std::size_t n, const Options& o)
        : tree_(tree), source_(source), n_(n), o_(o), moved_(n), at_(n), index_(n), distance_(n),
          pairs_(n), matched_(n), blocks_(tuning::block_count(n, RMS_BLOCK)),
          squares_(blocks_.size()) {
        std::fill(at_.data(), at_.data() + n, tree::NO_POSITION);
    }

    // Matches `pose`: sets inliers_ and rmse_.
    void match(const Pose& pose) {
        if (first_) {
            first_ = false;
            // The points are queried in curve order of their first move, and kept in that order
            // while later poses move them little: each query then finds the boxes and leaves of
            // the one before it in cache, and reads and writes its rows in sequence.
            apply(pose, source_);
            const storage::Array<std::uint32_t> order = tree::curve_order(tree_, moved_.data(), n_);
            if (!order.empty()) {
                sorted_ = Array<Vec3d>(n_);
                rank_ = Array<std::uint32_t>(n_);
                pool::for_range(n_, [&](std::size_t b, std::size_t e) {
                    for (std::size_t j = b; j < e; ++j) {
                        sorted_[j] = source_[order[j]];
                        rank_[order[j]] = static_cast<std::uint32_t>(j);
                    }
                });
            }
        }
        apply(pose, sorted_.empty() ? source_ : sorted_.data());
        pool::for_range(
            n_,
            [&](std::size_t b, std::size_t e) {
                for (std::size_t j = b; j < e; ++j) {
                    const Candidate c =
                        tree_.nearest_from(moved_[j], at_[j], o_.bounded, o_.max_distance);
                    index_[j] =
                        c.index == kernels::NONE ? NO_MATCH : static_cast<std::uint32_t>(c.index);
                    distance_[j] = c.distance;
                }
            },
            MATCH_SERIAL, MATCH_GRAIN);
        pool::for_blocks(n_, RMS_BLOCK, [&](std::size_t b, std::size_t e) {
            double sum = 0.0;
            std::size_t count = 0;
            for (std::size_t i = b; i < e; ++i) {
                const std::size_t j = row(i);
                if (index_[j] == NO_MATCH) continue;
                sum = sum + distance_[j] * distance_[j];
                ++count;
            }
            squares_[b / RMS_BLOCK] = sum;
            blocks_[b / RMS_BLOCK] = count;
        });
        inliers_ = 0;
        double total = 0.0;
        for (std::size_t k = 0; k < blocks_.size(); ++k) {
            total = k == 0 ? squares_[0] : total + squares_[k];
            inliers_ += blocks_[k];
        }
        rmse_ = inliers_ ? std::sqrt(total / static_cast<double>(inliers_))
                         : std::numeric_limits<double>::quiet_NaN();
    }

    // The pose that moves the last matching's points onto their matches; inliers_ >= 1.
    Pose fit() {
        // Each block's pairs go where the counts of the blocks before it end, in source order.
        std::vector<std::size_t> start(blocks_.size());
        for (std::size_t k = 1; k < blocks_.size(); ++k)
            start[k] = start[k - 1] + blocks_[k - 1];
        pool::for_blocks(n_, RMS_BLOCK, [&](std::size_t b, std::size_t e) {
            std::size_t p = start[b / RMS_BLOCK];
            for (std::size_t i = b; i < e; ++i) {
                const std::size_t j = row(i);
                if (index_[j] == NO_MATCH) continue;
                pairs_[p] = moved_[j];
                matched_[p++] = tree_.answer_point(index_[j], at_[j]);
            }
        });
        const Vec3d* s = pairs_.data();
        const Vec3d* t = matched_.data();
        const auto sums = fitting::centroid_totals(s, t, nullptr, inliers_);
        return fitting::fit_from(sums, s, t, nullptr, inliers_);
    }

    std::size_t inliers() const { return inliers_; }
    double rmse() const { return rmse_; }

  private:
    // The row of source point i.
    std::size_t row(std::size_t i) const { return rank_.empty() ? i : rank_[i]; }

    // moved_ = pose applied to src[0..n) by Pose.apply's kernel: the single call's bits.
    void apply(const Pose& pose, const Vec3d* src) {
        const kernels::PoseApply f{pose};
        const kernels::Level level = kernels::chosen_level();
        Vec3d* dst = moved_.data();
        pool::for_blocks(n_, tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
            kernels::map_block<Vec3d>(level, src + b, dst + b, e - b, f);
        });
    }

    const tree::Tree& tree_;
    const Vec3d* source_;
    std::size_t n_;
    Options o_;
    // Rows: in curve order when sorted_ is not empty (rank_[i] is source point i's row), else
    // in source order.
    Array<Vec3d> sorted_;
    Array<std::uint32_t> rank_;
    Array<Vec3d> moved_;
    Array<std::uint32_t> at_;    // the match's tree position (tree::NO_POSITION: none, or aside)
    Array<std::uint32_t> index_; // the match's index, NO_MATCH for none
    Array<double> distance_;
    Array<Vec3d> pairs_, matched_;
    std::vector<std::size_t> blocks_; // inliers per block
    std::vector<double> squares_;     // sum of squared distances per block
    bool first_ = true;
    std::size_t inliers_ = 0;
    double rmse_ = 0.0;
};

} // namespace

Result run(const tree::Tree& tree, const Vec3d* source, std::size_t n, const Pose& initial,
           const Options& options) {
    Icp icp(tree, source, n, options);
    Result r{initial, 0.0, 0, 0};
    icp.match(r.pose);
    while (r.iterations < options.iterations && icp.inliers() > 0) {
        r.pose = r.pose.then(icp.fit());
        ++r.iterations;
        const double before = icp.rmse();
        icp.match(r.pose);
        const double after = icp.rmse();
        if (after == before || std::fabs(after - before) <= options.tolerance) break;
    }
    r.rmse = icp.rmse();
    r.inliers = icp.inliers();
    return r;
}

} // namespace kalemtri::icp
