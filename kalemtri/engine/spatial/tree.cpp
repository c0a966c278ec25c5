#include "kalemtri/engine/spatial/tree.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"

namespace kalemtri::tree {

namespace {

using kernels::order_key;
using kernels::search_distance;

constexpr std::int64_t NO_LIMIT = std::numeric_limits<std::int64_t>::max();
constexpr Candidate NO_BEST{NO_LIMIT, kernels::NONE, 0.0};
// No limit on how many side points a query takes.
constexpr std::size_t ANY = std::numeric_limits<std::size_t>::max();

} // namespace

namespace {

// The distance formula on the box point nearest t (the target clamped to the box) is a lower bound
// of every distance in the box; the walk compares the sum of squares under its sqrt, sparing the
// sqrt. Finite boxes and targets never give NaN.
double near_squares(const Box& box, const Vec3d& t) {
    const double cx = t.x < box.lo[0] ? box.lo[0] : t.x > box.hi[0] ? box.hi[0] : t.x;
    const double cy = t.y < box.lo[1] ? box.lo[1] : t.y > box.hi[1] ? box.hi[1] : t.y;
    const double cz = t.z < box.lo[2] ? box.lo[2] : t.z > box.hi[2] ? box.hi[2] : t.z;
    const double dx = cx - t.x, dy = cy - t.y, dz = cz - t.z;
    return (dx * dx + dy * dy) + dz * dz;
}

// A sum of squares s >= prune_at(limit) has fl(sqrt(s)) > the distance of order key `limit`, so
// its box can be skipped: with u the double after that distance, s >= prune_at exceeds u * u,
// so sqrt(s) > u and, rounding being monotone, fl(sqrt(s)) >= u. NaN (nothing is skipped) when
// the limit is +inf or a NaN after it; -inf (all is skipped) when it is a NaN before every
// number. A box this keeps that the key test would skip costs time only, never the answer.
double prune_at(std::int64_t limit) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (limit < 0) return -inf;
    if (limit >= order_key(inf)) return std::numeric_limits<double>::quiet_NaN();
    const double u = std::bit_cast<double>(limit + 1);
    const double uu = u * u;
    if (!(uu < inf)) return std::numeric_limits<double>::quiet_NaN();
    return std::bit_cast<double>(std::bit_cast<std::int64_t>(uu) + 1); // above u * u exactly
}

// The same formula on the box corner farthest from t: an upper bound, by the same argument.
double far_bound(const Box& box, const Vec3d& t) {
    const auto far = [](double lo, double hi, double v) {
        const double a = lo - v, b = hi - v;
        return std::fabs(a) > std::fabs(b) ? a : b;
    };
    const double dx = far(box.lo[0], box.hi[0], t.x), dy = far(box.lo[1], box.hi[1], t.y),
                 dz = far(box.lo[2], box.hi[2], t.z);
    return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

} // namespace

std::size_t Tree::range_begin(std::size_t node, std::size_t level) const {
    const std::size_t p = node - ((std::size_t{1} << level) - 1);
    return leaf_begin_[p << (depth_ - level)];
}

std::size_t Tree::range_end(std::size_t node, std::size_t level) const {
    const std::size_t p = node - ((std::size_t{1} << level) - 1);
    return leaf_begin_[(p + 1) << (depth_ - level)];
}

// The one walk over the boxes, every query a visitor of it. start(stack) puts the subtrees to walk
// on the stack and returns how many; the walk pops them, the top first, and goes down each, nearer
// child first, leaving the farther one pending. A box whose near_squares are >= visit.prune()
// cannot matter (prune_at of the limit key), so it is skipped, then or when popped, since the
// limit only tightens; visit.whole(node) takes a box as a whole or declines it; visit.leaf(b, e)
// measures the points of tree order [b, e). A pending entry's squares are those of its box, or
// NaN for one never skipped. The stack is the walk's own, so that no store to it can alias the
// visitor's state.
template <class Visit, class Start>
void Tree::walk(const Vec3d& t, Visit& visit, Start&& start) const {
    Entry stack[STACK];
    std::size_t top = start(stack);
    const std::size_t first = first_leaf();
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.squares >= visit.prune()) continue;
        std::size_t node = entry.node;
        while (!visit.whole(node)) {
            if (node >= first) {
                visit.leaf(leaf_begin_[node - first], leaf_begin_[node - first + 1]);
                break;
            }
            std::size_t near = 2 * node + 1, far = near + 1;
            double sn = near_squares(boxes_[near], t), sf = near_squares(boxes_[far], t);
            if (sf < sn) {
                std::swap(near, far);
                std::swap(sn, sf);
            }
            if (!(sf >= visit.prune())) stack[top++] = {far, sf};
            if (sn >= visit.prune()) break;
            node = near;
        }
    }
}

// The walk from the root.
template <class Visit> void Tree::search(const Vec3d& t, Visit& visit) const {
    if (finite_ == 0) return;
    walk(t, visit, [&](Entry* stack) {
        stack[0] = {0, near_squares(boxes_[0], t)};
        return std::size_t{1};
    });
}

// The walk from the leaf holding tree position `at`: that leaf first, then the sibling of each of
// its ancestors, nearest first. Every other leaf lies under one of those siblings, each skipped
// only above the limit, so the answer is search()'s; a near start spares the descent from the
// root and most of its box tests.
template <class Visit> void Tree::search_from(const Vec3d& t, std::size_t at, Visit& visit) const {
    walk(t, visit, [&](Entry* stack) {
        // Down to the leaf, by the halving that laid the leaves out, leaving each sibling pending.
        std::size_t top = 0, node = 0, b = 0, size = finite_;
        for (std::size_t level = 0; level < depth_; ++level) {
            const std::size_t half = size / 2;
            const bool right = at - b >= half;
            const std::size_t left = 2 * node + 1, sibling = right ? left : left + 1;
            node = right ? left + 1 : left;
            if (right) {
                b += half;
                size -= half;
            } else {
                size = half;
            }
            stack[top++] = {sibling, near_squares(boxes_[sibling], t)};
        }
        stack[top++] = {node, std::numeric_limits<double>::quiet_NaN()};
        return top;
    });
}

namespace {

// The distances of the points of tree order [b, e), e - b <= LEAF_SIZE. Tree points and the
// targets that reach here are finite, so no square is NaN and the plain formula gives the bits of
// search_distance; without its NaN selects the loop vectorises.
inline void leaf_distances(const double* __restrict x, const double* __restrict y,
                           const double* __restrict z, std::size_t b, std::size_t e, const Vec3d& t,
                           double* __restrict d) {
    const double tx = t.x, ty = t.y, tz = t.z;
    for (std::size_t i = b; i < e; ++i) {
        const double dx = x[i] - tx, dy = y[i] - ty, dz = z[i] - tz;
        d[i - b] = std::sqrt((dx * dx + dy * dy) + dz * dz);
    }
}

} // namespace

// The one scan of the side list: take(c) gets each side point that can answer a query at t,
// only those at distance <= bound when `bounded` (IEEE, so never a NaN distance). `ranked`, for a
// finite target only: from one the distances do not depend on the target (see tree_build.cpp),
// so these are the head of side_ranked_, at most k of them; past its negative NaNs, which no
// bound admits, come +inf, then the positive NaNs, so the points within a bound are a prefix there
// too. Otherwise every side point is measured, in index order; from a finite target that gives
// the ranking's bits.
template <class Take>
void Tree::side_points(const Vec3d& t, bool ranked, std::size_t k, bool bounded, double bound,
                       Take&& take) const {
    if (side_.size() == 0) return;
    if (ranked) {
        const std::size_t first = bounded ? side_ahead_ : 0;
        const std::size_t end = first + std::min(k, side_ranked_.size() - first);
        for (std::size_t s = first; s < end && (!bounded || side_ranked_[s].distance <= bound); ++s)
            take(side_ranked_[s]);
        return;
    }
    for (std::size_t s = 0; s < side_.size(); ++s) {
        const double d = search_distance(side_[s], t);
        if (!bounded || d <= bound) take(Candidate{order_key(d), side_index_[s], d});
    }
}

// A target with a non-finite coordinate gives every finite point the same distance: a NaN
// component propagates its own NaN, an infinite one makes every sum +inf. So the finite points
// rank by index alone, and only the lowest k of them can be among the k best: the gaps between
// the side list's indexes, offered when within the bound.
template <class Offer>
void Tree::lowest_finite(const Vec3d& t, std::size_t k, bool bounded, double bound,
                         Offer&& offer) const {
    if (finite_ == 0) return;
    const double d = search_distance(Vec3d{x_[0], y_[0], z_[0]}, t);
    if (bounded && !(d <= bound)) return;
    std::size_t s = 0, taken = 0;
    for (std::size_t i = 0; i < size_ && taken < k; ++i) {
        if (s < side_index_.size() && side_index_[s] == i) {
            ++s;
            continue;
        }
        ++taken;
        offer(Candidate{order_key(d), i, d});
    }
}

Candidate Tree::search_nearest(const Vec3d& t, Candidate best, std::uint32_t& at,
                               std::uint32_t start, bool bounded, double bound) const {
    struct Visit {
        const Tree& tree;
        const Vec3d& t;
        Candidate best;
        std::uint32_t at;
        double pruned = prune_at(best.key);
        double prune() const { return pruned; }
        static bool whole(std::size_t) { return false; }
        void offer(const Candidate& c) {
            if (before(c, best)) {
                best = c;
                at = NO_POSITION;
                pruned = prune_at(best.key);
            }
        }
        void leaf(std::size_t b, std::size_t e) {
            double d[LEAF_SIZE];
            leaf_distances(tree.x_.data(), tree.y_.data(), tree.z_.data(), b, e, t, d);
            const std::int64_t was = best.key;
            for (std::size_t i = b; i < e; ++i) {
                const Candidate c{order_key(d[i - b]), tree.index_[i], d[i - b]};
                if (before(c, best)) {
                    best = c;
                    at = static_cast<std::uint32_t>(i);
                }
            }
            if (best.key != was) pruned = prune_at(best.key);
        }
    } visit{*this, t, best, at};
    // Under a bound the best starts at the bound itself, so the leaves need no test of their own:
    // finite points give finite targets no NaN, and a number ranks by its key. Only the side points
    // and non-finite targets can bring a NaN, which would rank before every number.
    const auto offer = [&](const Candidate& c) { visit.offer(c); };
    const bool ranked = finite(t);
    side_points(t, ranked, 1, bounded, bound, offer);
    if (!ranked) {
        lowest_finite(t, 1, bounded, bound, offer);
        // The one finite point offered is the first by index.
        if (finite_ > 0 && visit.best.index == index_[first_at_]) visit.at = first_at_;
    } else if (start != NO_POSITION) {
        search_from(t, start, visit);
    } else {
        search(t, visit);
    }
    at = visit.at;
    return visit.best;
}

Candidate Tree::nearest(const Vec3d& t) const {
    std::uint32_t at = NO_POSITION;
    return search_nearest(t, NO_BEST, at, NO_POSITION, false, 0.0);
}

Candidate Tree::nearest_within(const Vec3d& t, double bound) const {
    std::uint32_t at = NO_POSITION;
    return nearest_from(t, at, true, bound);
}

Candidate Tree::nearest_from(const Vec3d& t, std::uint32_t& at, bool bounded, double bound) const {
    const double b = bound + 0.0; // -0.0 bounds as +0.0 does
    // Under a bound no point ranks after this one: any point at distance b or less beats it.
    const Candidate best =
        bounded ? Candidate{order_key(b), kernels::NONE, std::numeric_limits<double>::infinity()}
                : NO_BEST;
    // The start's leaf is measured first, which puts the start itself in the running.
    const std::uint32_t start = finite(t) ? at : NO_POSITION;
    at = NO_POSITION;
    return search_nearest(t, best, at, start, bounded, b);
}

Vec3d Tree::answer_point(std::size_t index, std::uint32_t at) const {
    if (at != NO_POSITION) return Vec3d{x_[at], y_[at], z_[at]};
    const std::uint32_t* s =
        std::lower_bound(side_index_.data(), side_index_.data() + side_index_.size(), index);
    return side_[static_cast<std::size_t>(s - side_index_.data())];
}

// The k best, or under a bound the k best of those within it; returns how many were found.
template <bool Bounded>
std::size_t Tree::k_best(const Vec3d& t, std::size_t k, double bound, Candidate* out) const {
    // out[0..size) is a heap with the worst kept candidate on top.
    struct Visit {
        const Tree& tree;
        const Vec3d& t;
        Candidate* heap;
        std::size_t k;
        std::int64_t cap;
        double bound;
        std::size_t size = 0;
        double pruned = prune_at(cap);
        double prune() const { return pruned; }
        static bool whole(std::size_t) { return false; }
        void offer(const Candidate& c) {
            if (size < k) {
                heap[size++] = c;
                std::push_heap(heap, heap + size, Before{});
            } else if (before(c, heap[0])) {
                std::pop_heap(heap, heap + size, Before{});
                heap[size - 1] = c;
                std::push_heap(heap, heap + size, Before{});
            } else {
                return;
            }
            if (size == k) pruned = prune_at(heap[0].key);
        }
        void leaf(std::size_t b, std::size_t e) {
            double d[LEAF_SIZE];
            leaf_distances(tree.x_.data(), tree.y_.data(), tree.z_.data(), b, e, t, d);
            for (std::size_t i = b; i < e; ++i)
                if (!Bounded || d[i - b] <= bound)
                    offer({order_key(d[i - b]), tree.index_[i], d[i - b]});
        }
    } visit{*this, t, out, k, Bounded ? order_key(bound) : NO_LIMIT, bound};
    // Beyond the k best side points none can be among the k best.
    const auto offer = [&](const Candidate& c) { visit.offer(c); };
    const bool ranked = finite(t);
    side_points(t, ranked, k, Bounded, bound, offer);
    if (!ranked)
        lowest_finite(t, k, Bounded, bound, offer);
    else
        search(t, visit);
    std::sort_heap(out, out + visit.size, Before{});
    return visit.size;
}

void Tree::k_nearest(const Vec3d& t, std::size_t k, Candidate* out) const {
    k_best<false>(t, k, 0.0, out);
}

std::size_t Tree::k_nearest_within(const Vec3d& t, std::size_t k, double bound,
                                   Candidate* out) const {
    return k_best<true>(t, k, bound + 0.0, out);
}

// Either every finite point is within r or none is for a non-finite target (they share one
// distance); for a finite one, when the root box is.
bool Tree::all_within(const Vec3d& t, double r) const {
    if (finite_ == 0) return false;
    if (!finite(t)) return search_distance(Vec3d{x_[0], y_[0], z_[0]}, t) <= r;
    return far_bound(boxes_[0], t) <= r;
}

std::size_t Tree::count_within(const Vec3d& t, double radius) const {
    return within<std::int64_t>(t, radius, nullptr, 0);
}

template <class Index>
std::size_t Tree::within(const Vec3d& t, double radius, Index* out, std::size_t room) const {
    const double r = radius + 0.0; // -0.0 counts as +0.0, as IEEE <= does
    const bool all = all_within(t, r), ranked = finite(t);
    if (all || !ranked) {
        // Every finite point or none: counted at once, written straight in ascending order.
        std::size_t n = all ? finite_ : 0;
        side_points(t, ranked, ANY, true, r, [&](const Candidate&) { ++n; });
        if (n > room) return n;
        if (!all) {
            side_points(t, false, ANY, true, r,
                        [&](const Candidate& c) { *out++ = static_cast<Index>(c.index); });
            return n;
        }
        // The finite points below index `end`, passing over the side points.
        std::size_t i = 0, s = 0;
        const auto finite_below = [&](std::size_t end) {
            for (; i < end; ++i)
                if (s < side_index_.size() && side_index_[s] == i)
                    ++s;
                else
                    *out++ = static_cast<Index>(i);
        };
        side_points(t, false, ANY, true, r, [&](const Candidate& c) {
            finite_below(c.index);
            *out++ = static_cast<Index>(c.index);
            ++i;
            ++s;
        });
        finite_below(size_);
        return n;
    }
    // Writes while there is room, counts on regardless. A box wholly within r (its farthest
    // corner within) counts without its points.
    struct Visit {
        const Tree& tree;
        const Vec3d& t;
        double r;
        Index* out;
        std::size_t room;
        double pruned = prune_at(order_key(r));
        std::size_t n = 0;
        double prune() const { return pruned; }
        void hit(std::size_t index) {
            if (n < room) out[n] = static_cast<Index>(index);
            ++n;
        }
        bool whole(std::size_t node) {
            if (!(far_bound(tree.boxes_[node], t) <= r)) return false;
            const std::size_t level = static_cast<std::size_t>(std::bit_width(node + 1)) - 1;
            const std::size_t b = tree.range_begin(node, level), e = tree.range_end(node, level);
            if (e - b <= room && n <= room - (e - b))
                for (std::size_t i = b; i < e; ++i)
                    out[n + i - b] = static_cast<Index>(tree.index_[i]);
            n += e - b;
            return true;
        }
        void leaf(std::size_t b, std::size_t e) {
            double d[LEAF_SIZE];
            leaf_distances(tree.x_.data(), tree.y_.data(), tree.z_.data(), b, e, t, d);
            for (std::size_t i = b; i < e; ++i)
                if (d[i - b] <= r) hit(tree.index_[i]);
        }
    } visit{*this, t, r, out, room};
    side_points(t, true, ANY, true, r, [&](const Candidate& c) { visit.hit(c.index); });
    search(t, visit);
    if (visit.n <= room) std::sort(out, out + visit.n);
    return visit.n;
}

template std::size_t Tree::within(const Vec3d&, double, std::uint32_t*, std::size_t) const;
template std::size_t Tree::within(const Vec3d&, double, std::int64_t*, std::size_t) const;

} // namespace kalemtri::tree
