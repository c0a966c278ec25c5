#include "icp.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels.hpp"
#include "pool.hpp"
#include "pose_fit_pool.hpp"
#include "pose_kernels.hpp"
#include "storage.hpp"

namespace kpy::icp {

namespace {

using kernels::Candidate;
using storage::Array;

constexpr std::uint32_t NO_MATCH = 0xFFFFFFFFu; // above every index a tree holds
// A seeded query costs well under a microsecond: pieces of this many keep the dispatch small.
constexpr std::size_t MATCH_SERIAL = 256;
constexpr std::size_t MATCH_GRAIN = 256;

class Icp {
  public:
    Icp(const tree::Tree& tree, const Vec3d* points, const Vec3d* source, std::size_t n,
        const Options& o)
        : tree_(tree), points_(points), source_(source), n_(n), o_(o), moved_(n), match_(n),
          distance_(n), pairs_(n), matched_(n), blocks_(tuning::block_count(n, RMS_BLOCK)),
          squares_(blocks_.size()) {
        for (std::size_t i = 0; i < n; ++i)
            match_[i] = NO_MATCH;
    }

    // Matches `pose`: sets inliers_ and rmse_.
    void match(const Pose& pose) {
        // Pose.apply's own kernel: the bits of the single call, at the speed of a batch.
        const kernels::PoseApply apply{pose};
        const kernels::Level level = kernels::chosen_level();
        const Vec3d* src = source_;
        Vec3d* dst = moved_.data();
        pool::for_blocks(n_, tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
            kernels::map_block<Vec3d>(level, src + b, dst + b, e - b, apply);
        });
        if (first_) {
            // The queries go in curve order of the first matching's points; later poses move
            // them little, so the order keeps its locality.
            order_ = tree::curve_order(tree_, moved_.data(), n_);
            first_ = false;
        }
        const std::uint32_t* o = order_.empty() ? nullptr : order_.data();
        pool::for_range(
            n_,
            [&](std::size_t b, std::size_t e) {
                for (std::size_t j = b; j < e; ++j)
                    query(o ? std::size_t{o[j]} : j);
            },
            MATCH_SERIAL, MATCH_GRAIN);
        pool::for_blocks(n_, RMS_BLOCK, [&](std::size_t b, std::size_t e) {
            double sum = 0.0;
            std::size_t count = 0;
            for (std::size_t i = b; i < e; ++i) {
                if (match_[i] == NO_MATCH) continue;
                sum = sum + distance_[i] * distance_[i];
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
        // Each block's pairs go where the counts of the blocks before it end.
        std::vector<std::size_t> start(blocks_.size());
        for (std::size_t k = 1; k < blocks_.size(); ++k)
            start[k] = start[k - 1] + blocks_[k - 1];
        pool::for_blocks(n_, RMS_BLOCK, [&](std::size_t b, std::size_t e) {
            std::size_t j = start[b / RMS_BLOCK];
            for (std::size_t i = b; i < e; ++i) {
                if (match_[i] == NO_MATCH) continue;
                pairs_[j] = moved_[i];
                matched_[j++] = points_[match_[i]];
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
    void query(std::size_t i) {
        const Vec3d t = moved_[i];
        Candidate seed = kernels::NO_CANDIDATE;
        if (match_[i] != NO_MATCH) {
            // The distance the search itself would measure, so the seed competes fairly.
            const double d = kernels::search_distance(points_[match_[i]], t);
            seed = Candidate{kernels::order_key(d), match_[i], d};
        }
        const Candidate c =
            o_.bounded ? tree_.nearest_within(t, o_.max_distance, seed) : tree_.nearest(t, seed);
        match_[i] = c.index == kernels::NONE ? NO_MATCH : static_cast<std::uint32_t>(c.index);
        distance_[i] = c.distance;
    }

    const tree::Tree& tree_;
    const Vec3d* points_;
    const Vec3d* source_;
    std::size_t n_;
    Options o_;
    Array<Vec3d> moved_;
    Array<std::uint32_t> match_;
    Array<double> distance_;
    Array<Vec3d> pairs_, matched_;
    std::vector<std::size_t> blocks_; // inliers per block
    std::vector<double> squares_;     // sum of squared distances per block
    Array<std::uint32_t> order_;
    bool first_ = true;
    std::size_t inliers_ = 0;
    double rmse_ = 0.0;
};

} // namespace

Result run(const tree::Tree& tree, const Vec3d* points, const Vec3d* source, std::size_t n,
           const Pose& initial, const Options& options) {
    Icp icp(tree, points, source, n, options);
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

} // namespace kpy::icp
