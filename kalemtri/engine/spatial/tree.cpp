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

} // namespace

namespace {

// The distance formula on the box point nearest t: a lower bound of every distance in the box.
// Finite boxes and targets never give NaN, so its key is its bit pattern.
std::int64_t bound_key(const Box& box, const Vec3d& t) {
    const double cx = t.x < box.lo[0] ? box.lo[0] : t.x > box.hi[0] ? box.hi[0] : t.x;
    const double cy = t.y < box.lo[1] ? box.lo[1] : t.y > box.hi[1] ? box.hi[1] : t.y;
    const double cz = t.z < box.lo[2] ? box.lo[2] : t.z > box.hi[2] ? box.hi[2] : t.z;
    const double dx = cx - t.x, dy = cy - t.y, dz = cz - t.z;
    return order_key(std::sqrt((dx * dx + dy * dy) + dz * dz));
}

// The sum of squares under bound_key's sqrt: the search compares these, sparing the sqrt.
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

// Depth-first over the boxes, nearer child first. A box whose near_squares are >= visit.prune()
// cannot matter (prune_at of the limit key); visit.leaf(b, e) measures the points of tree order
// [b, e).
template <class Visit> void Tree::search(const Vec3d& t, Visit& visit) const {
    if (finite_ > 0) search_below(t, visit, 0, near_squares(boxes_[0], t));
}

// The same over the subtree of `root`, whose box has near_squares `squares`.
template <class Visit>
void Tree::search_below(const Vec3d& t, Visit& visit, std::size_t root, double squares) const {
    struct Entry {
        std::size_t node;
        double squares;
    };
    Entry stack[64]; // one pending sibling per level
    std::size_t top = 0;
    stack[top++] = {root, squares};
    const std::size_t first = first_leaf();
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.squares >= visit.prune()) continue;
        std::size_t node = entry.node;
        bool reached = true;
        while (node < first) {
            std::size_t near = 2 * node + 1, far = near + 1;
            double sn = near_squares(boxes_[near], t), sf = near_squares(boxes_[far], t);
            if (sf < sn) {
                std::swap(near, far);
                std::swap(sn, sf);
            }
            if (!(sf >= visit.prune())) stack[top++] = {far, sf};
            if (sn >= visit.prune()) {
                reached = false;
                break;
            }
            node = near;
        }
        if (reached) visit.leaf(leaf_begin_[node - first], leaf_begin_[node - first + 1]);
    }
}

// Bottom up from the leaf holding tree position `at`: that leaf first, then the sibling of each
// of its ancestors, nearest first. Every other leaf lies under one of those siblings, each skipped
// only above the limit, so the answer is search()'s; a near start spares the descent from the
// root and most of its box tests.
template <class Visit> void Tree::search_up(const Vec3d& t, std::size_t at, Visit& visit) const {
    // The leaf, by the halving that laid the leaves out.
    std::size_t node = 0, b = 0, size = finite_;
    for (std::size_t level = 0; level < depth_; ++level) {
        const std::size_t half = size / 2;
        if (at - b >= half) {
            node = 2 * node + 2;
            b += half;
            size -= half;
        } else {
            node = 2 * node + 1;
            size = half;
        }
    }
    const std::size_t first = first_leaf();
    visit.leaf(leaf_begin_[node - first], leaf_begin_[node - first + 1]);
    for (; node > 0; node = (node - 1) / 2) {
        const std::size_t sibling = node & 1 ? node + 1 : node - 1;
        const double squares = near_squares(boxes_[sibling], t);
        if (!(squares >= visit.prune())) search_below(t, visit, sibling, squares);
    }
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

// A target with a non-finite coordinate gives every finite point the same distance: a NaN
// component propagates its own NaN, an infinite one makes every sum +inf. So the finite points
// rank by index alone, and only the lowest k of them can be among the k best; the side points
// are measured one by one.
template <class Offer>
void Tree::offer_non_finite(const Vec3d& t, std::size_t k, Offer&& offer) const {
    for (std::size_t s = 0; s < side_.size(); ++s) {
        const double d = search_distance(side_[s], t);
        offer(Candidate{order_key(d), side_index_[s], d});
    }
    if (finite_ == 0) return;
    // The finite points of lowest index: the gaps between the side list's indexes.
    const double d = search_distance(Vec3d{x_[0], y_[0], z_[0]}, t);
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
    if (!finite(t)) {
        offer_non_finite(t, 1, [&](const Candidate& c) {
            if (!bounded || c.distance <= bound) visit.offer(c);
        });
        // The one finite point offered is the first by index.
        if (finite_ > 0 && visit.best.index == index_[first_at_]) visit.at = first_at_;
        at = visit.at;
        return visit.best;
    }
    if (!bounded) {
        if (!side_ranked_.empty()) visit.offer(side_ranked_[0]);
    } else if (side_ahead_ < side_ranked_.size() && side_ranked_[side_ahead_].distance <= bound) {
        visit.offer(side_ranked_[side_ahead_]);
    }
    if (start != NO_POSITION)
        search_up(t, start, visit);
    else
        search(t, visit);
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
    if (!finite(t)) {
        offer_non_finite(t, k, [&](const Candidate& c) {
            if (!Bounded || c.distance <= bound) visit.offer(c);
        });
    } else {
        // Beyond the k best side points none can be among the k best.
        const std::size_t first = Bounded ? side_ahead_ : 0;
        for (std::size_t s = first; s < std::min(first + k, side_ranked_.size()); ++s)
            if (!Bounded || side_ranked_[s].distance <= bound) visit.offer(side_ranked_[s]);
        search(t, visit);
    }
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

// Depth first over the boxes: sink.all(b, e) takes the tree-order points [b, e) of a box wholly
// within r, sink.one(i) a point of a leaf that is.
template <class Sink> void Tree::search_within(const Vec3d& t, double r, Sink& sink) const {
    if (finite_ == 0) return;
    const std::int64_t limit = order_key(r);
    const std::size_t first = first_leaf();
    struct Entry {
        std::size_t node, level;
    };
    Entry stack[64];
    std::size_t top = 0;
    stack[top++] = {0, 0};
    while (top > 0) {
        const Entry en = stack[--top];
        const Box& box = boxes_[en.node];
        if (bound_key(box, t) > limit) continue;
        if (far_bound(box, t) <= r) {
            sink.all(range_begin(en.node, en.level), range_end(en.node, en.level));
        } else if (en.node >= first) {
            const std::size_t b = leaf_begin_[en.node - first],
                              e = leaf_begin_[en.node - first + 1];
            double d[LEAF_SIZE];
            leaf_distances(x_.data(), y_.data(), z_.data(), b, e, t, d);
            for (std::size_t i = b; i < e; ++i)
                if (d[i - b] <= r) sink.one(i);
        } else {
            stack[top++] = {2 * en.node + 2, en.level + 1};
            stack[top++] = {2 * en.node + 1, en.level + 1};
        }
    }
}

// Either every finite point is within r or none is for a non-finite target (they share one
// distance); for a finite one, when the root box is.
bool Tree::all_within(const Vec3d& t, double r) const {
    if (finite_ == 0) return false;
    if (!finite(t)) return search_distance(Vec3d{x_[0], y_[0], z_[0]}, t) <= r;
    return far_bound(boxes_[0], t) <= r;
}

std::size_t Tree::side_within(double r) const {
    // Past the leading negative NaNs the distances are +inf, then positive NaNs.
    std::size_t s = side_ahead_;
    while (s < side_ranked_.size() && side_ranked_[s].distance <= r)
        ++s;
    return s - side_ahead_;
}

std::size_t Tree::count_within(const Vec3d& t, double radius) const {
    return within<std::int64_t>(t, radius, nullptr, 0);
}

template <class Index>
std::size_t Tree::within(const Vec3d& t, double radius, Index* out, std::size_t room) const {
    const double r = radius + 0.0; // -0.0 counts as +0.0, as IEEE <= does
    const bool all = all_within(t, r);
    if (all || !finite(t)) {
        // Every finite point or none: counted at once, written straight in ascending order.
        std::size_t n = all ? finite_ : 0;
        if (finite(t)) {
            n += side_within(r);
        } else {
            for (std::size_t s = 0; s < side_.size(); ++s)
                n += search_distance(side_[s], t) <= r;
        }
        if (n > room) return n;
        if (!all) {
            for (std::size_t s = 0; s < side_.size(); ++s)
                if (search_distance(side_[s], t) <= r) *out++ = static_cast<Index>(side_index_[s]);
            return n;
        }
        for (std::size_t i = 0, s = 0; i < size_; ++i) {
            const bool side = s < side_index_.size() && side_index_[s] == i;
            if (!side || search_distance(side_[s++], t) <= r) *out++ = static_cast<Index>(i);
        }
        return n;
    }
    // Writes while there is room, counts on regardless.
    struct Sink {
        const std::uint32_t* index;
        Index* out;
        std::size_t room;
        std::size_t n = 0;
        void one(std::size_t i) {
            if (n < room) out[n] = static_cast<Index>(index[i]);
            ++n;
        }
        void all(std::size_t b, std::size_t e) {
            if (e - b <= room && n <= room - (e - b))
                for (std::size_t i = b; i < e; ++i)
                    out[n + i - b] = static_cast<Index>(index[i]);
            n += e - b;
        }
    } sink{index_.data(), out, room};
    for (std::size_t s = side_ahead_; s < side_ranked_.size() && side_ranked_[s].distance <= r;
         ++s) {
        if (sink.n < room) out[sink.n] = static_cast<Index>(side_ranked_[s].index);
        ++sink.n;
    }
    search_within(t, r, sink);
    if (sink.n <= room) std::sort(out, out + sink.n);
    return sink.n;
}

template std::size_t Tree::within(const Vec3d&, double, std::uint32_t*, std::size_t) const;
template std::size_t Tree::within(const Vec3d&, double, std::int64_t*, std::size_t) const;

} // namespace kalemtri::tree
