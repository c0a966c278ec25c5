#include "tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pool.hpp"
#include "tuning.hpp"

namespace kpy::tree {

namespace {

using kernels::order_key;
using kernels::search_distance;

constexpr std::int64_t NO_LIMIT = std::numeric_limits<std::int64_t>::max();
constexpr Candidate NO_BEST{NO_LIMIT, kernels::NONE, 0.0};

bool finite(const Vec3d& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// (key, index) order: the better candidate is the lesser.
bool before(const Candidate& a, const Candidate& b) {
    return a.key < b.key || (a.key == b.key && a.index < b.index);
}

// A point during the build; the median splits move the whole record.
struct Item {
    double c[3];
    std::uint32_t index;
};

Box bounding_box(const Item* items, std::size_t b, std::size_t e) {
    Box box{{items[b].c[0], items[b].c[1], items[b].c[2]},
            {items[b].c[0], items[b].c[1], items[b].c[2]}};
    for (std::size_t i = b + 1; i < e; ++i)
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = std::min(box.lo[a], items[i].c[a]);
            box.hi[a] = std::max(box.hi[a], items[i].c[a]);
        }
    return box;
}

// The distance formula on the box point nearest t: a lower bound of every distance in the box.
// Finite boxes and targets never give NaN, so its key is its bit pattern.
std::int64_t bound_key(const Box& box, const Vec3d& t) {
    const double cx = t.x < box.lo[0] ? box.lo[0] : t.x > box.hi[0] ? box.hi[0] : t.x;
    const double cy = t.y < box.lo[1] ? box.lo[1] : t.y > box.hi[1] ? box.hi[1] : t.y;
    const double cz = t.z < box.lo[2] ? box.lo[2] : t.z > box.hi[2] ? box.hi[2] : t.z;
    const double dx = cx - t.x, dy = cy - t.y, dz = cz - t.z;
    return order_key(std::sqrt((dx * dx + dy * dy) + dz * dz));
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

// Below this many finite points the whole build stays on the calling thread.
constexpr std::size_t BUILD_SERIAL = 16384;

} // namespace

Tree::Tree(const Vec3d* points, std::size_t n) : size_(n) {
    std::size_t side = 0;
    for (std::size_t i = 0; i < n; ++i)
        side += !finite(points[i]);
    side_ = storage::Array<Vec3d>(side);
    side_index_ = storage::Array<std::uint32_t>(side);
    finite_ = n - side;
    storage::Array<Item> items(finite_);
    for (std::size_t i = 0, f = 0, s = 0; i < n; ++i) {
        const Vec3d& p = points[i];
        if (finite(p)) {
            items[f++] = Item{{p.x, p.y, p.z}, static_cast<std::uint32_t>(i)};
        } else {
            side_[s] = p;
            side_index_[s++] = static_cast<std::uint32_t>(i);
        }
    }
    if (finite_ == 0) return;

    // The smallest depth whose largest leaf, ceil(finite / 2^depth), fits LEAF_SIZE; every leaf
    // then holds at least LEAF_SIZE / 2 points.
    while (((finite_ - 1) >> depth_) + 1 > LEAF_SIZE)
        ++depth_;
    const std::size_t leaves = leaf_count();
    leaf_begin_ = storage::Array<std::uint32_t>(leaves + 1);
    for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
        // Every level gives the lower half, rounded down, to the left child.
        std::size_t b = 0, size = finite_;
        for (std::size_t level = depth_; level-- > 0;) {
            const std::size_t half = size / 2;
            if ((leaf >> level) & 1) {
                b += half;
                size -= half;
            } else {
                size = half;
            }
        }
        leaf_begin_[leaf] = static_cast<std::uint32_t>(b);
    }
    leaf_begin_[leaves] = static_cast<std::uint32_t>(finite_);
    boxes_ = storage::Array<Box>(2 * leaves - 1);

    const std::size_t serial_below = finite_ < BUILD_SERIAL ? kernels::NONE : 2;
    Item* it = items.data();
    for (std::size_t level = 0; level < depth_; ++level) {
        const std::size_t first = (std::size_t{1} << level) - 1;
        pool::for_range(
            std::size_t{1} << level,
            [&](std::size_t pb, std::size_t pe) {
                for (std::size_t p = pb; p < pe; ++p) {
                    const std::size_t b = range_begin(first + p, level);
                    const std::size_t e = range_end(first + p, level);
                    const Box box = bounding_box(it, b, e);
                    boxes_[first + p] = box;
                    int axis = 0;
                    for (int a = 1; a < 3; ++a)
                        if (box.hi[a] - box.lo[a] > box.hi[axis] - box.lo[axis]) axis = a;
                    std::nth_element(it + b, it + b + (e - b) / 2, it + e,
                                     [axis](const Item& u, const Item& v) {
                                         return u.c[axis] < v.c[axis] ||
                                                (u.c[axis] == v.c[axis] && u.index < v.index);
                                     });
                }
            },
            serial_below, 1);
    }

    x_ = storage::Array<double>(finite_);
    y_ = storage::Array<double>(finite_);
    z_ = storage::Array<double>(finite_);
    index_ = storage::Array<std::uint32_t>(finite_);
    const std::size_t first = first_leaf();
    pool::for_range(
        leaves,
        [&](std::size_t lb, std::size_t le) {
            for (std::size_t leaf = lb; leaf < le; ++leaf) {
                const std::size_t b = leaf_begin_[leaf], e = leaf_begin_[leaf + 1];
                boxes_[first + leaf] = bounding_box(it, b, e);
                for (std::size_t i = b; i < e; ++i) {
                    x_[i] = it[i].c[0];
                    y_[i] = it[i].c[1];
                    z_[i] = it[i].c[2];
                    index_[i] = it[i].index;
                }
            }
        },
        finite_ < BUILD_SERIAL ? kernels::NONE : 64, 64);
}

std::size_t Tree::range_begin(std::size_t node, std::size_t level) const {
    const std::size_t p = node - ((std::size_t{1} << level) - 1);
    return leaf_begin_[p << (depth_ - level)];
}

std::size_t Tree::range_end(std::size_t node, std::size_t level) const {
    const std::size_t p = node - ((std::size_t{1} << level) - 1);
    return leaf_begin_[(p + 1) << (depth_ - level)];
}

void Tree::points(Vec3d* out) const {
    pool::for_range(finite_, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            out[index_[i]] = Vec3d{x_[i], y_[i], z_[i]};
    });
    for (std::size_t s = 0; s < side_.size(); ++s)
        out[side_index_[s]] = side_[s];
}

std::size_t Tree::memory() const {
    return sizeof(Tree) + (x_.size() + y_.size() + z_.size()) * sizeof(double) +
           (index_.size() + leaf_begin_.size() + side_index_.size()) * sizeof(std::uint32_t) +
           boxes_.size() * sizeof(Box) + side_.size() * sizeof(Vec3d);
}

// Depth-first over the boxes, nearer child first. visit.limit() is the key above which a box
// cannot matter; visit.leaf(b, e) measures the points of tree order [b, e).
template <class Visit> void Tree::search(const Vec3d& t, Visit& visit) const {
    if (finite_ == 0) return;
    struct Entry {
        std::size_t node;
        std::int64_t key;
    };
    Entry stack[64]; // one pending sibling per level
    std::size_t top = 0;
    stack[top++] = {0, bound_key(boxes_[0], t)};
    const std::size_t first = first_leaf();
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.key > visit.limit()) continue;
        std::size_t node = entry.node;
        bool reached = true;
        while (node < first) {
            std::size_t near = 2 * node + 1, far = near + 1;
            std::int64_t kn = bound_key(boxes_[near], t), kf = bound_key(boxes_[far], t);
            if (kf < kn) {
                std::swap(near, far);
                std::swap(kn, kf);
            }
            if (kf <= visit.limit()) stack[top++] = {far, kf};
            if (kn > visit.limit()) {
                reached = false;
                break;
            }
            node = near;
        }
        if (reached) visit.leaf(leaf_begin_[node - first], leaf_begin_[node - first + 1]);
    }
}

namespace {

// The distances of the points of tree order [b, e), e - b <= LEAF_SIZE.
inline void leaf_distances(const double* x, const double* y, const double* z, std::size_t b,
                           std::size_t e, const Vec3d& t, double* d) {
    for (std::size_t i = b; i < e; ++i)
        d[i - b] = search_distance(Vec3d{x[i], y[i], z[i]}, t);
}

} // namespace

// A target with a non-finite coordinate gives every finite point the same distance: a NaN
// component propagates its own NaN, an infinite one makes every sum +inf. So the finite points
// rank by index alone, and only the lowest k of them can be among the k best.
std::vector<Candidate> Tree::non_finite_candidates(const Vec3d& t, std::size_t k) const {
    std::vector<Candidate> c;
    c.reserve(side_.size() + std::min(k, finite_));
    for (std::size_t s = 0; s < side_.size(); ++s) {
        const double d = search_distance(side_[s], t);
        c.push_back({order_key(d), side_index_[s], d});
    }
    // The finite points of lowest index: the gaps between the side list's indexes.
    if (finite_ > 0) {
        const double d = search_distance(Vec3d{x_[0], y_[0], z_[0]}, t);
        std::size_t s = 0, taken = 0;
        for (std::size_t i = 0; i < size_ && taken < k; ++i) {
            if (s < side_index_.size() && side_index_[s] == i) {
                ++s;
                continue;
            }
            ++taken;
            c.push_back({order_key(d), i, d});
        }
    }
    std::sort(c.begin(), c.end(), before);
    if (c.size() > k) c.resize(k);
    return c;
}

Candidate Tree::nearest(const Vec3d& t) const {
    if (!finite(t)) return non_finite_candidates(t, 1).front();
    struct Visit {
        const Tree& tree;
        const Vec3d& t;
        Candidate best;
        std::int64_t limit() const { return best.key; }
        void leaf(std::size_t b, std::size_t e) {
            double d[LEAF_SIZE];
            leaf_distances(tree.x_.data(), tree.y_.data(), tree.z_.data(), b, e, t, d);
            for (std::size_t i = b; i < e; ++i) {
                const Candidate c{order_key(d[i - b]), tree.index_[i], d[i - b]};
                if (before(c, best)) best = c;
            }
        }
    } visit{*this, t, NO_BEST};
    for (std::size_t s = 0; s < side_.size(); ++s) {
        const double d = search_distance(side_[s], t);
        const Candidate c{order_key(d), side_index_[s], d};
        if (before(c, visit.best)) visit.best = c;
    }
    search(t, visit);
    return visit.best;
}

void Tree::k_nearest(const Vec3d& t, std::size_t k, Candidate* out) const {
    if (!finite(t)) {
        const std::vector<Candidate> c = non_finite_candidates(t, k);
        std::copy(c.begin(), c.end(), out);
        return;
    }
    // out[0..size) is a heap with the worst kept candidate on top.
    struct Visit {
        const Tree& tree;
        const Vec3d& t;
        Candidate* heap;
        std::size_t k;
        std::size_t size = 0;
        std::int64_t limit() const { return size < k ? NO_LIMIT : heap[0].key; }
        void offer(const Candidate& c) {
            if (size < k) {
                heap[size++] = c;
                std::push_heap(heap, heap + size, before);
            } else if (before(c, heap[0])) {
                std::pop_heap(heap, heap + size, before);
                heap[size - 1] = c;
                std::push_heap(heap, heap + size, before);
            }
        }
        void leaf(std::size_t b, std::size_t e) {
            double d[LEAF_SIZE];
            leaf_distances(tree.x_.data(), tree.y_.data(), tree.z_.data(), b, e, t, d);
            for (std::size_t i = b; i < e; ++i)
                offer({order_key(d[i - b]), tree.index_[i], d[i - b]});
        }
    } visit{*this, t, out, k};
    for (std::size_t s = 0; s < side_.size(); ++s) {
        const double d = search_distance(side_[s], t);
        visit.offer({order_key(d), side_index_[s], d});
    }
    search(t, visit);
    std::sort_heap(out, out + k, before);
}

void Tree::within(const Vec3d& t, double radius, std::vector<std::uint32_t>& out) const {
    const double r = radius + 0.0; // -0.0 counts as +0.0, as IEEE <= does
    const std::size_t start = out.size();
    for (std::size_t s = 0; s < side_.size(); ++s)
        if (search_distance(side_[s], t) <= r) out.push_back(side_index_[s]);
    if (!finite(t)) {
        if (finite_ > 0 && search_distance(Vec3d{x_[0], y_[0], z_[0]}, t) <= r)
            out.insert(out.end(), index_.begin(), index_.end());
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
        return;
    }
    if (finite_ > 0) {
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
                out.insert(out.end(), index_.begin() + range_begin(en.node, en.level),
                           index_.begin() + range_end(en.node, en.level));
            } else if (en.node >= first) {
                const std::size_t b = leaf_begin_[en.node - first],
                                  e = leaf_begin_[en.node - first + 1];
                double d[LEAF_SIZE];
                leaf_distances(x_.data(), y_.data(), z_.data(), b, e, t, d);
                for (std::size_t i = b; i < e; ++i)
                    if (d[i - b] <= r) out.push_back(index_[i]);
            } else {
                stack[top++] = {2 * en.node + 2, en.level + 1};
                stack[top++] = {2 * en.node + 1, en.level + 1};
            }
        }
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

} // namespace kpy::tree

namespace kpy::tree {

namespace {

// A query costs 0.3-3 us: below this many targets a dispatch to the pool would cost more.
constexpr std::size_t QUERY_SERIAL = 64;
constexpr std::size_t QUERY_GRAIN = 32;

} // namespace

void nearest_many(const Tree& tree, const Vec3d* targets, std::size_t m, std::int64_t* index,
                  double* distance) {
    pool::for_range(
        m,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                const Candidate c = tree.nearest(targets[i]);
                index[i] = static_cast<std::int64_t>(c.index);
                distance[i] = c.distance;
            }
        },
        QUERY_SERIAL, QUERY_GRAIN);
}

void k_nearest_many(const Tree& tree, const Vec3d* targets, std::size_t m, std::size_t k,
                    std::int64_t* index, double* distance) {
    pool::for_range(
        m,
        [&](std::size_t b, std::size_t e) {
            std::vector<Candidate> best(k);
            for (std::size_t i = b; i < e; ++i) {
                tree.k_nearest(targets[i], k, best.data());
                for (std::size_t j = 0; j < k; ++j) {
                    index[i * k + j] = static_cast<std::int64_t>(best[j].index);
                    distance[i * k + j] = best[j].distance;
                }
            }
        },
        QUERY_SERIAL, QUERY_GRAIN);
}

Csr within_many(const Tree& tree, const Vec3d* targets, std::size_t m, double radius) {
    // Fixed blocks of targets, each collecting its hits apart; a block may run twice.
    constexpr std::size_t BLOCK = 256;
    const std::size_t blocks = tuning::block_count(m, BLOCK);
    std::vector<std::vector<std::uint32_t>> hits(blocks);
    Csr out{storage::Array<std::int64_t>(m + 1), {}};
    std::int64_t* offsets = out.offsets.data();
    offsets[0] = 0;
    pool::for_blocks(
        m, BLOCK,
        [&](std::size_t b, std::size_t e) {
            std::vector<std::uint32_t>& h = hits[b / BLOCK];
            h.clear();
            for (std::size_t i = b; i < e; ++i) {
                tree.within(targets[i], radius, h);
                offsets[i + 1] = static_cast<std::int64_t>(h.size()); // within the block
            }
        },
        QUERY_SERIAL, QUERY_GRAIN);
    std::vector<std::size_t> block_start(blocks + 1, 0);
    for (std::size_t k = 0; k < blocks; ++k)
        block_start[k + 1] = block_start[k] + hits[k].size();
    for (std::size_t i = 0; i < m; ++i)
        offsets[i + 1] += static_cast<std::int64_t>(block_start[i / BLOCK]);
    out.indexes = storage::Array<std::int64_t>(block_start[blocks]);
    std::int64_t* indexes = out.indexes.data();
    pool::for_range(
        blocks,
        [&](std::size_t kb, std::size_t ke) {
            for (std::size_t k = kb; k < ke; ++k)
                std::copy(hits[k].begin(), hits[k].end(), indexes + block_start[k]);
        },
        4, 1);
    return out;
}

} // namespace kpy::tree
