// The whole-tree reads and the batch queries of VecTree. Targets are answered in the order of a
// space-filling curve, so that consecutive queries walk the same boxes and leaves while they are
// still in cache; each answer lands in its target's own row, so the order shows in the speed only.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/spatial/tree.hpp"
#include "kalemtri/engine/storage.hpp"
#include "kalemtri/engine/tuning.hpp"

namespace kalemtri::tree {

namespace {

// A query costs 0.3-3 us: below this many targets a dispatch to the pool would cost more.
constexpr std::size_t QUERY_SERIAL = 64;
constexpr std::size_t QUERY_GRAIN = 32;
// Fewer targets than this are answered as given: sorting would cost more than it saves.
constexpr std::size_t SORT_MIN = 2048;
// Cells per axis of the curve: far finer than the leaves of any tree that fits in memory.
constexpr int CURVE_BITS = 10;

// The bits of v spread to every third position.
std::uint32_t spread(std::uint32_t v) {
    v = (v | (v << 16)) & 0x030000FFu;
    v = (v | (v << 8)) & 0x0300F00Fu;
    v = (v | (v << 4)) & 0x030C30C3u;
    v = (v | (v << 2)) & 0x09249249u;
    return v;
}

std::uint32_t cell(double v, double lo, double scale) {
    const double c = (v - lo) * scale;
    constexpr double top = (1u << CURVE_BITS) - 1;
    return static_cast<std::uint32_t>(c > 0.0 ? (c < top ? c : top) : 0.0);
}

} // namespace

// By Morton code over the tree's box (targets outside it fall on its faces, non-finite ones
// last), by an LSD radix sort of (code, position).
storage::Array<std::uint32_t> curve_order(const Tree& tree, const Vec3d* t, std::size_t m) {
    const Box* box = tree.root_box();
    if (m < SORT_MIN || !fits_index(m) || !box) return {};
    double scale[3];
    for (int a = 0; a < 3; ++a) {
        const double extent = box->hi[a] - box->lo[a];
        scale[a] = extent > 0.0 && std::isfinite(extent) ? double(1u << CURVE_BITS) / extent : 0.0;
    }
    storage::Array<std::uint64_t> keys(m), other(m);
    std::uint64_t* k = keys.data();
    pool::for_range(m, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const Vec3d& p = t[i];
            std::uint64_t code = std::uint64_t{1} << (3 * CURVE_BITS); // after every cell
            if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))
                code = spread(cell(p.x, box->lo[0], scale[0])) |
                       spread(cell(p.y, box->lo[1], scale[1])) << 1 |
                       spread(cell(p.z, box->lo[2], scale[2])) << 2;
            k[i] = code << 32 | i;
        }
    });
    constexpr int DIGIT = 11, BUCKETS = 1 << DIGIT;
    std::uint64_t* src = keys.data();
    std::uint64_t* dst = other.data();
    std::vector<std::size_t> count(BUCKETS);
    for (int shift = 32; shift < 32 + 3 * CURVE_BITS + 1; shift += DIGIT) {
        pool::interruption_point();
        std::fill(count.begin(), count.end(), 0);
        for (std::size_t i = 0; i < m; ++i)
            ++count[(src[i] >> shift) & (BUCKETS - 1)];
        std::size_t sum = 0;
        for (std::size_t& c : count)
            sum += std::exchange(c, sum);
        for (std::size_t i = 0; i < m; ++i)
            dst[count[(src[i] >> shift) & (BUCKETS - 1)]++] = src[i];
        std::swap(src, dst);
    }
    storage::Array<std::uint32_t> order(m);
    for (std::size_t i = 0; i < m; ++i)
        order[i] = static_cast<std::uint32_t>(src[i]);
    return order;
}

namespace {

// Calls answer(i) for every target i, in curve order, on the pool.
template <class Answer>
void for_targets(const Tree& tree, const Vec3d* t, std::size_t m, Answer&& answer) {
    const storage::Array<std::uint32_t> order = curve_order(tree, t, m);
    const std::uint32_t* o = order.empty() ? nullptr : order.data();
    pool::for_range(
        m,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t j = b; j < e; ++j)
                answer(o ? std::size_t{o[j]} : j);
        },
        QUERY_SERIAL, QUERY_GRAIN);
}

} // namespace

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
           boxes_.size() * sizeof(Box) + side_.size() * sizeof(Vec3d) +
           side_ranked_.size() * sizeof(Candidate);
}

void nearest_many(const Tree& tree, const Vec3d* targets, std::size_t m, std::int64_t* index,
                  double* distance, const double* bound) {
    if (!bound) {
        for_targets(tree, targets, m, [&](std::size_t i) {
            const Candidate c = tree.nearest(targets[i]);
            index[i] = static_cast<std::int64_t>(c.index);
            distance[i] = c.distance;
        });
        return;
    }
    const double b = *bound;
    for_targets(tree, targets, m, [&](std::size_t i) {
        const Candidate c = tree.nearest_within(targets[i], b);
        const bool found = c.index != kernels::NONE;
        index[i] = found ? static_cast<std::int64_t>(c.index) : -1;
        distance[i] = found ? c.distance : std::numeric_limits<double>::infinity();
    });
}

void k_nearest_many(const Tree& tree, const Vec3d* targets, std::size_t m, std::size_t k,
                    std::int64_t* index, double* distance, const double* bound) {
    const storage::Array<std::uint32_t> order = curve_order(tree, targets, m);
    const std::uint32_t* o = order.empty() ? nullptr : order.data();
    pool::for_range(
        m,
        [&](std::size_t b, std::size_t e) {
            std::vector<Candidate> best(k);
            for (std::size_t j = b; j < e; ++j) {
                const std::size_t i = o ? std::size_t{o[j]} : j;
                std::size_t found = k;
                if (bound)
                    found = tree.k_nearest_within(targets[i], k, *bound, best.data());
                else
                    tree.k_nearest(targets[i], k, best.data());
                for (std::size_t r = 0; r < found; ++r) {
                    index[i * k + r] = static_cast<std::int64_t>(best[r].index);
                    distance[i * k + r] = best[r].distance;
                }
                for (std::size_t r = found; r < k; ++r) {
                    index[i * k + r] = -1;
                    distance[i * k + r] = std::numeric_limits<double>::infinity();
                }
            }
        },
        QUERY_SERIAL, QUERY_GRAIN);
}

void count_within_many(const Tree& tree, const Vec3d* targets, std::size_t m, double radius,
                       std::int64_t* count) {
    for_targets(tree, targets, m, [&](std::size_t i) {
        count[i] = static_cast<std::int64_t>(tree.count_within(targets[i], radius));
    });
}

void hit_distances(const Vec3d* points, const Vec3d* targets, std::size_t m, const Csr& hits,
                   double* distance) {
    const std::int64_t* offsets = hits.offsets.data();
    const std::int64_t* indexes = hits.indexes.data();
    pool::for_range(
        m,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i)
                for (std::int64_t h = offsets[i]; h < offsets[i + 1]; ++h)
                    distance[h] = kernels::search_distance(points[indexes[h]], targets[i]);
        },
        QUERY_SERIAL, QUERY_GRAIN);
}

namespace {

// Hits kept aside while within_many counts, at most this many in all (128 MiB): enough for the
// usual few dozen per target over millions of targets, while a result too large to allocate is
// found and refused at this cost.
constexpr std::size_t KEPT_HITS = std::size_t{1} << 25;
constexpr std::size_t NOT_KEPT = std::size_t(-1);

// Takes up to `want` from the budget, at least `need`; 0 when not even that is left.
std::size_t take(std::atomic<std::size_t>& budget, std::size_t need, std::size_t want) {
    std::size_t left = budget.load(std::memory_order_relaxed);
    for (;;) {
        if (left < need) return 0;
        const std::size_t n = std::min(left, want);
        if (budget.compare_exchange_weak(left, left - n, std::memory_order_relaxed)) return n;
    }
}

} // namespace

Csr within_many(const Tree& tree, const Vec3d* targets, std::size_t m, double radius) {
    // The hits are counted before the result is allocated, at its size, or refused. Counting is
    // as dear as finding them, so fixed blocks of the curve order keep what they find while a
    // shared budget lasts (a block may run twice, and keeps its space then); the targets beyond
    // it are only counted, and run again into their rows once the result exists.
    constexpr std::size_t BLOCK = 256;
    const storage::Array<std::uint32_t> order = curve_order(tree, targets, m);
    const std::uint32_t* o = order.empty() ? nullptr : order.data();
    std::vector<std::vector<std::uint32_t>> kept(tuning::block_count(m, BLOCK));
    storage::Array<std::size_t> start(m); // where target i's hits begin in its block, or NOT_KEPT
    Csr out{storage::Array<std::int64_t>(m + 1), {}};
    std::int64_t* offsets = out.offsets.data();
    offsets[0] = 0;
    std::atomic<std::size_t> budget{KEPT_HITS};
    pool::for_blocks(
        m, BLOCK,
        [&](std::size_t b, std::size_t e) {
            std::vector<std::uint32_t>& h = kept[b / BLOCK];
            std::size_t used = 0;
            for (std::size_t j = b; j < e; ++j) {
                const std::size_t i = o ? std::size_t{o[j]} : j;
                const Vec3d& t = targets[i];
                std::size_t n = tree.within(t, radius, h.data() + used, h.size() - used);
                if (n > h.size() - used) {
                    const std::size_t need = used + n - h.size();
                    if (const std::size_t more = take(budget, need, std::max(need, h.size()))) {
                        try {
                            h.reserve(h.size() + more); // exactly: resize alone may double
                            h.resize(h.size() + more);
                            tree.within(t, radius, h.data() + used, h.size() - used);
                        } catch (const std::bad_alloc&) {
                            budget += more; // counted only, like the targets past the budget
                        }
                    }
                }
                start[i] = n <= h.size() - used ? used : NOT_KEPT;
                used += start[i] == NOT_KEPT ? 0 : n;
                offsets[i + 1] = static_cast<std::int64_t>(n);
            }
        },
        QUERY_SERIAL, QUERY_GRAIN);
    // A row holds fewer than 2^32 hits, so the sum fits 64 bits for any m that fits memory;
    // saturating keeps the count a true lower bound beyond that.
    std::uint64_t total = 0;
    for (std::size_t i = 1; i <= m; ++i) {
        const auto n = static_cast<std::uint64_t>(offsets[i]);
        total = n > std::numeric_limits<std::uint64_t>::max() - total
                    ? std::numeric_limits<std::uint64_t>::max()
                    : total + n;
        offsets[i] = static_cast<std::int64_t>(total);
    }
    if (total > std::numeric_limits<std::size_t>::max() / sizeof(std::int64_t))
        throw TooManyResults(total);
    try {
        out.indexes = storage::Array<std::int64_t>(static_cast<std::size_t>(total));
    } catch (const std::bad_alloc&) {
        throw TooManyResults(total);
    }
    std::int64_t* indexes = out.indexes.data();
    pool::for_range(
        m,
        [&](std::size_t jb, std::size_t je) {
            for (std::size_t j = jb; j < je; ++j) {
                const std::size_t i = o ? std::size_t{o[j]} : j;
                const auto n = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
                if (start[i] == NOT_KEPT) {
                    tree.within(targets[i], radius, indexes + offsets[i], n);
                } else {
                    const std::uint32_t* h = kept[j / BLOCK].data() + start[i];
                    std::copy(h, h + n, indexes + offsets[i]);
                }
            }
        },
        QUERY_SERIAL, QUERY_GRAIN);
    return out;
}

} // namespace kalemtri::tree
