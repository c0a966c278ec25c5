#pragma once
// An exact spatial index: a kd-tree whose answers are those of the brute-force scan of
// batch/kernels.hpp, bit for bit, ties to the lowest index, under the IEEE total order of
// distances.
//
// Why pruning is exact: a box is skipped only when the distance formula, evaluated in its own
// order on the box point nearest the target (the target clamped to the box), is above the k-th
// best distance so far. Every point p of the box has |p - t| >= |clamped - t| per axis; rounding
// is monotone, so each step of the formula (difference, square, sum, sqrt) keeps that order and
// fl-distance(p) >= the bound. Equality never prunes, since a point at that very distance could
// still win on its index. Points with a non-finite coordinate would make the bound meaningless
// (inf - inf); they live in a side list. Seen from a finite target, a side point's distance does
// not depend on the target (see tree.cpp), so the side list is ranked once, at the build, and a
// finite target looks only at the head of that ranking; a non-finite target scans the list.
//
// Layout: an implicit complete binary tree, node i with children 2i+1 and 2i+2, over the finite
// points sorted into tree order; every node covers a contiguous range, halved at each level by a
// median split on the axis of widest extent. Each node keeps its tight bounding box; the leaves,
// LEAF_SIZE points or fewer, hold their coordinates as three arrays. The shape depends only on the
// points, never on the thread count.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>

#include "kalemtri/engine/distance.hpp"
#include "kalemtri/engine/storage.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::tree {

using kalemtri::Vec3d;
using kernels::Candidate;

// Most points in a leaf: a leaf's three coordinate runs are a few cache lines each, and its box
// test costs about as much as measuring a handful of points.
inline constexpr std::size_t LEAF_SIZE = 16;
// Indexes are stored as 32 bits, which halves their memory and cache footprint.
inline constexpr std::uint64_t MAX_POINTS = 0xFFFFFFFFu;
// Never a position in tree order, since a tree holds at most MAX_POINTS points.
inline constexpr std::uint32_t NO_POSITION = 0xFFFFFFFFu;
// Whether n indexes fit 32 bits; widening first keeps a 32-bit build free of an always-false test.
constexpr bool fits_index(std::size_t n) { return std::uint64_t{n} <= MAX_POINTS; }

// A result of `count` values that cannot be allocated; the count is known before the attempt.
struct TooManyResults : std::bad_alloc {
    explicit TooManyResults(std::uint64_t n) : count(n) {}
    std::uint64_t count;
};

inline bool finite(const Vec3d& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// (key, index) order: the better candidate is the lesser.
inline bool before(const Candidate& a, const Candidate& b) {
    return a.key < b.key || (a.key == b.key && a.index < b.index);
}
// The same as an object, so that the heap and sort algorithms inline it.
struct Before {
    bool operator()(const Candidate& a, const Candidate& b) const { return before(a, b); }
};

struct Box {
    double lo[3];
    double hi[3];
};

class Tree {
  public:
    // A point record while building.
    struct Item;

    // Builds over points[0..n), n <= MAX_POINTS, on the worker pool.
    Tree(const Vec3d* points, std::size_t n);

    std::size_t size() const { return size_; }
    // The points in their original order, into out[0..size()).
    void points(Vec3d* out) const;

    // The nearest point; size() >= 1.
    Candidate nearest(const Vec3d& t) const;
    // The nearest point whose distance is <= bound (IEEE, so never one at a NaN distance), bound
    // neither NaN nor negative; index NONE when there is none.
    Candidate nearest_within(const Vec3d& t, double bound) const;
    // nearest(t), or nearest_within(t, bound) when `bounded`, searched from the point at tree
    // position `at` (NO_POSITION: from nothing). A near start lets the search skip more boxes;
    // the answer is unchanged. `at` becomes the answer's position, NO_POSITION for a side point
    // or none.
    Candidate nearest_from(const Vec3d& t, std::uint32_t& at, bool bounded, double bound) const;
    // The coordinates of an answer of nearest_from, by its index and position.
    Vec3d answer_point(std::size_t index, std::uint32_t at) const;
    // The k best points, best first, into out[0..k); 1 <= k <= size().
    void k_nearest(const Vec3d& t, std::size_t k, Candidate* out) const;
    // The k best of the points within bound, as nearest_within counts them, best first into
    // out[0..k); returns how many there are, at most k.
    std::size_t k_nearest_within(const Vec3d& t, std::size_t k, double bound, Candidate* out) const;
    // The number of points whose distance is <= radius (IEEE, so a NaN distance is never
    // within); radius is neither NaN nor negative. A box wholly within counts without its points.
    std::size_t count_within(const Vec3d& t, double radius) const;
    // Returns that number and, when it is at most `room`, writes those points' indexes, ascending,
    // to out[0..number); otherwise out[0..room) is left unspecified. Index is std::uint32_t or
    // std::int64_t.
    template <class Index>
    std::size_t within(const Vec3d& t, double radius, Index* out, std::size_t room) const;

    // The original indexes of the points with finite coordinates, finite_size() of them, in tree
    // order: points close in it are close in space.
    const std::uint32_t* tree_order() const { return index_.data(); }
    std::size_t finite_size() const { return finite_; }

    // Bytes held, for the benchmarks.
    std::size_t memory() const;
    // The bounding box of the points in the tree, if any.
    const Box* root_box() const { return finite_ ? &boxes_[0] : nullptr; }

  private:
    // Node and leaf geometry of the implicit tree.
    std::size_t leaf_count() const { return std::size_t{1} << depth_; }
    std::size_t first_leaf() const { return leaf_count() - 1; }
    // Tree-order range of the points under node `node` at level `level`.
    std::size_t range_begin(std::size_t node, std::size_t level) const;
    std::size_t range_end(std::size_t node, std::size_t level) const;

    // Building: a node's median split, a whole subtree built depth first.
    void split(Item* items, std::size_t node, std::size_t level);
    void build_subtree(Item* items, std::size_t node, std::size_t level);

    // The one walk over the boxes, from the subtrees that start() puts on its stack, and its two
    // starts: the root, or the leaf of a tree position (see tree.cpp).
    struct Entry {
        std::size_t node;
        double squares;
    };
    static constexpr std::size_t STACK = 64; // one pending sibling per level, and the start
    template <class Visit, class Start>
    void walk(const Vec3d& t, Visit& visit, Start&& start) const;
    template <class Visit> void search(const Vec3d& t, Visit& visit) const;
    template <class Visit> void search_from(const Vec3d& t, std::size_t at, Visit& visit) const;
    // The side points that can answer a query at t, to take(c); the finite points a non-finite
    // target can rank among its k best, to offer(c) (see tree.cpp).
    template <class Take>
    void side_points(const Vec3d& t, bool ranked, std::size_t k, bool bounded, double bound,
                     Take&& take) const;
    template <class Offer>
    void lowest_finite(const Vec3d& t, std::size_t k, bool bounded, double bound,
                       Offer&& offer) const;
    // The best of `best`, at position `at`, and the points (within bound when `bounded`),
    // searched from the leaf of position `start` when there is one.
    Candidate search_nearest(const Vec3d& t, Candidate best, std::uint32_t& at, std::uint32_t start,
                             bool bounded, double bound) const;
    template <bool Bounded>
    std::size_t k_best(const Vec3d& t, std::size_t k, double bound, Candidate* out) const;
    // Whether every point of the tree is within r of t.
    bool all_within(const Vec3d& t, double r) const;

    std::size_t size_ = 0;
    std::size_t finite_ = 0; // points in the tree
    std::size_t depth_ = 0;  // levels below the root
    storage::Array<double> x_, y_, z_;
    storage::Array<std::uint32_t> index_;
    storage::Array<Box> boxes_;
    storage::Array<std::uint32_t> leaf_begin_; // leaf_count() + 1 entries
    // Points with a non-finite coordinate, ascending by index.
    storage::Array<Vec3d> side_;
    storage::Array<std::uint32_t> side_index_;
    // The same points as candidates of any finite target, best first; the first side_ahead_ have
    // a NaN distance with the sign bit, which ranks before every number.
    storage::Array<Candidate> side_ranked_;
    std::size_t side_ahead_ = 0;
    // The tree-order position of the finite point of lowest index.
    std::size_t first_at_ = 0;
};

// Target positions in the order to answer them, so that consecutive queries walk the same boxes
// and leaves while they are in cache; empty when the targets are best taken as given.
storage::Array<std::uint32_t> curve_order(const Tree& tree, const Vec3d* targets, std::size_t m);

struct Csr {
    storage::Array<std::int64_t> offsets;
    storage::Array<std::int64_t> indexes;
};

// Batch forms over targets[0..m), on the worker pool; row i belongs to targets[i]. The k_nearest
// rows are k wide; within gives CSR form: the hits of target i are
// indexes[offsets[i]..offsets[i+1]). within_many counts the hits before it allocates them, and
// throws TooManyResults with their number when they do not fit. With a `bound` (not null), only
// points within it count, and a missing answer is index -1 at distance +inf, at the end of a row.
void nearest_many(const Tree& tree, const Vec3d* targets, std::size_t m, std::int64_t* index,
                  double* distance, const double* bound = nullptr);
void k_nearest_many(const Tree& tree, const Vec3d* targets, std::size_t m, std::size_t k,
                    std::int64_t* index, double* distance, const double* bound = nullptr);
// count[i] = tree.count_within(targets[i], radius).
void count_within_many(const Tree& tree, const Vec3d* targets, std::size_t m, double radius,
                       std::int64_t* count);
// The distance of each hit of a within_many result from its target, the bits nearest() gives;
// points[] is the tree's points in their original order.
void hit_distances(const Vec3d* points, const Vec3d* targets, std::size_t m, const Csr& hits,
                   double* distance);
Csr within_many(const Tree& tree, const Vec3d* targets, std::size_t m, double radius);

// The unit normal of each point of the tree, in original order, into out[0..size()); see
// tree_normals.cpp. k >= 1; viewpoint may be null.
void normals(const Tree& tree, std::size_t k, const Vec3d* viewpoint, Vec3d* out);

} // namespace kalemtri::tree
