// Building the tree: the median splits and the boxes, the side list of non-finite points ranked
// once.
#include "kalemtri/engine/spatial/tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"

namespace kalemtri::tree {

// A point during the build; the median splits move the whole record.
struct Tree::Item {
    double c[3];
    std::uint32_t index;
};

namespace {

using Item = Tree::Item;
using kernels::order_key;
using kernels::search_distance;

Box bounding_box(const Item* items, std::size_t b, std::size_t e) {
    double lx = items[b].c[0], ly = items[b].c[1], lz = items[b].c[2];
    double hx = lx, hy = ly, hz = lz;
    for (std::size_t i = b + 1; i < e; ++i) {
        const Item& it = items[i];
        lx = it.c[0] < lx ? it.c[0] : lx;
        ly = it.c[1] < ly ? it.c[1] : ly;
        lz = it.c[2] < lz ? it.c[2] : lz;
        hx = it.c[0] > hx ? it.c[0] : hx;
        hy = it.c[1] > hy ? it.c[1] : hy;
        hz = it.c[2] > hz ? it.c[2] : hz;
    }
    return Box{{lx, ly, lz}, {hx, hy, hz}};
}

// Puts the element of rank k of a[left..right] (inclusive) at k, the lesser ones before it and
// the greater ones after: Floyd and Rivest's selection, which narrows to a sample's bracket of
// rank k first and so moves the records about half as often as introselect.
void select(Item* a, std::ptrdiff_t left, std::ptrdiff_t right, std::ptrdiff_t k, int axis) {
    while (right > left) {
        pool::interruption_point(); // a pass over the top nodes takes tens of milliseconds
        if (right - left > 600) {
            const double n = double(right - left + 1), i = double(k - left + 1);
            const double z = std::log(n), s = 0.5 * std::exp(2.0 * z / 3.0);
            const double sd = 0.5 * std::sqrt(z * s * (n - s) / n) * (i < n / 2 ? -1.0 : 1.0);
            const auto lo = static_cast<std::ptrdiff_t>(double(k) - i * s / n + sd);
            const auto hi = static_cast<std::ptrdiff_t>(double(k) + (n - i) * s / n + sd);
            select(a, std::max(left, lo), std::min(right, hi), k, axis);
        }
        const double t = a[k].c[axis];
        std::ptrdiff_t i = left, j = right;
        std::swap(a[left], a[k]);
        if (a[right].c[axis] > t) std::swap(a[right], a[left]);
        while (i < j) {
            std::swap(a[i], a[j]);
            ++i;
            --j;
            while (a[i].c[axis] < t)
                ++i;
            while (a[j].c[axis] > t)
                --j;
        }
        if (a[left].c[axis] == t) {
            std::swap(a[left], a[j]);
        } else {
            ++j;
            std::swap(a[j], a[right]);
        }
        if (j <= k) left = j + 1;
        if (k <= j) right = j - 1;
    }
}

// The box of node's points: the union of its children's.
void join_boxes(Box* boxes, std::size_t node) {
    const Box &l = boxes[2 * node + 1], &r = boxes[2 * node + 2];
    for (int a = 0; a < 3; ++a) {
        boxes[node].lo[a] = std::min(l.lo[a], r.lo[a]);
        boxes[node].hi[a] = std::max(l.hi[a], r.hi[a]);
    }
}

// Subtrees of at most this many points (1 MiB of records) are built whole, in cache.
constexpr std::size_t SUBTREE_POINTS = 32768;
// Below this many finite points the whole build stays on the calling thread.
constexpr std::size_t BUILD_SERIAL = 16384;

} // namespace

Tree::Tree(const Vec3d* points, std::size_t n) : size_(n) {
    std::size_t side = 0;
    for (std::size_t i = 0; i < n; ++i)
        side += !finite(points[i]);
    side_ = storage::Array<Vec3d>(side);
    side_index_ = storage::Array<std::uint32_t>(side);
    side_ranked_ = storage::Array<Candidate>(side);
    finite_ = n - side;
    storage::Array<Item> items(finite_);
    for (std::size_t i = 0, f = 0, s = 0; i < n; ++i) {
        pool::interruption_point(i);
        const Vec3d& p = points[i];
        if (finite(p)) {
            items[f++] = Item{{p.x, p.y, p.z}, static_cast<std::uint32_t>(i)};
        } else {
            side_[s] = p;
            side_index_[s++] = static_cast<std::uint32_t>(i);
        }
    }
    // Against a finite target no difference is inf - inf: a NaN coordinate's difference is that
    // NaN, quieted, and so is its square, an infinite one's square is +inf, and the formula keeps
    // the first NaN square, else gives +inf. Neither depends on the target, so any finite one,
    // the origin, ranks the side points for all of them.
    for (std::size_t s = 0; s < side; ++s) {
        const double d = search_distance(side_[s], Vec3d{0.0, 0.0, 0.0});
        side_ranked_[s] = Candidate{order_key(d), side_index_[s], d};
    }
    std::sort(side_ranked_.data(), side_ranked_.data() + side, Before{});
    while (side_ahead_ < side && side_ranked_[side_ahead_].key < 0)
        ++side_ahead_;
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

    // Top down, each node splits on the widest axis of the box its ancestors' splits leave it;
    // the tight boxes come bottom up once the points are in place. Levels whose nodes are large
    // go one by one, each split on the pool; from the first level whose subtrees fit in cache on,
    // each subtree is built whole, depth first, while its points stay there.
    Item* it = items.data();
    boxes_[0] = bounding_box(it, 0, finite_);
    pool::interruption_point();
    x_ = storage::Array<double>(finite_);
    y_ = storage::Array<double>(finite_);
    z_ = storage::Array<double>(finite_);
    index_ = storage::Array<std::uint32_t>(finite_);
    std::size_t top = 0;
    while (top < depth_ && ((finite_ - 1) >> top) + 1 > SUBTREE_POINTS)
        ++top;
    const std::size_t serial_below = finite_ < BUILD_SERIAL ? kernels::NONE : 2;
    for (std::size_t level = 0; level < top; ++level) {
        const std::size_t first = (std::size_t{1} << level) - 1;
        pool::for_range(
            std::size_t{1} << level,
            [&](std::size_t pb, std::size_t pe) {
                for (std::size_t p = pb; p < pe; ++p)
                    split(it, first + p, level);
            },
            serial_below, 1);
    }
    const std::size_t first = (std::size_t{1} << top) - 1;
    pool::for_range(
        std::size_t{1} << top,
        [&](std::size_t pb, std::size_t pe) {
            for (std::size_t p = pb; p < pe; ++p)
                build_subtree(it, first + p, top);
        },
        serial_below, 1);
    for (std::size_t node = first; node-- > 0;)
        join_boxes(boxes_.data(), node);
    for (std::size_t i = 1; i < finite_; ++i) {
        pool::interruption_point(i);
        first_at_ = index_[i] < index_[first_at_] ? i : first_at_;
    }
}

void Tree::split(Item* it, std::size_t node, std::size_t level) {
    const std::size_t b = range_begin(node, level), e = range_end(node, level);
    const Box& box = boxes_[node];
    int axis = 0;
    for (int a = 1; a < 3; ++a)
        if (box.hi[a] - box.lo[a] > box.hi[axis] - box.lo[axis]) axis = a;
    const std::size_t m = b + (e - b) / 2;
    select(it, static_cast<std::ptrdiff_t>(b), static_cast<std::ptrdiff_t>(e - 1),
           static_cast<std::ptrdiff_t>(m), axis);
    boxes_[2 * node + 1] = boxes_[2 * node + 2] = box;
    boxes_[2 * node + 1].hi[axis] = boxes_[2 * node + 2].lo[axis] = it[m].c[axis];
}

void Tree::build_subtree(Item* it, std::size_t node, std::size_t level) {
    if (level == depth_) {
        const std::size_t b = range_begin(node, level), e = range_end(node, level);
        boxes_[node] = bounding_box(it, b, e);
        for (std::size_t i = b; i < e; ++i) {
            x_[i] = it[i].c[0];
            y_[i] = it[i].c[1];
            z_[i] = it[i].c[2];
            index_[i] = it[i].index;
        }
        return;
    }
    split(it, node, level);
    build_subtree(it, 2 * node + 1, level + 1);
    build_subtree(it, 2 * node + 2, level + 1);
    join_boxes(boxes_.data(), node);
}

} // namespace kalemtri::tree
