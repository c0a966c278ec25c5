// Voxel thinning. Each finite point gets its cube's coordinates; the points are sorted by cube, a
// stable sort over the points in their own order, so each cube's points stay in that order; each
// run of one cube is then summed on its own, in parallel over the runs.
//
// Cube coordinates are integers (or infinite) as doubles. When they all lie within 2^52 of zero
// and their ranges fit 63 bits together, the three offsets from the minima are packed into one
// integer key, which orders as (x, y, z) does, and an LSD radix sort (stable) does the sorting;
// otherwise, a comparison sort on (x, y, z, position).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kalemtri/engine/batch/voxel.hpp"
#include "kalemtri/engine/pool.hpp"

namespace kalemtri::voxel {

using kalemtri::Vec3d;
using storage::Array;

namespace {

// A cube coordinate of -0.0 is the cube 0: it compares equal to 0.0 and converts to integer 0.
double cube(double v, double size) { return std::floor(v / size); }

bool finite(const Vec3d& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

constexpr double INF = std::numeric_limits<double>::infinity();

struct Extent {
    std::size_t count = 0; // finite points
    double lo[3] = {INF, INF, INF};
    double hi[3] = {-INF, -INF, -INF};
};

Extent join(const Extent& a, const Extent& b) {
    Extent e;
    e.count = a.count + b.count;
    for (int k = 0; k < 3; ++k) {
        e.lo[k] = std::min(a.lo[k], b.lo[k]);
        e.hi[k] = std::max(a.hi[k], b.hi[k]);
    }
    return e;
}

Extent extent(const Vec3d* p, std::size_t n, double size) {
    return pool::reduce_range(
        n, Extent{},
        [&](std::size_t b, std::size_t e) {
            Extent x;
            for (std::size_t i = b; i < e; ++i) {
                if (!finite(p[i])) continue;
                ++x.count;
                const double c[3] = {cube(p[i].x, size), cube(p[i].y, size), cube(p[i].z, size)};
                for (int k = 0; k < 3; ++k) {
                    x.lo[k] = std::min(x.lo[k], c[k]);
                    x.hi[k] = std::max(x.hi[k], c[k]);
                }
            }
            return x;
        },
        join);
}

constexpr double EXACT = 4503599627370496.0; // 2^52: every integer up to it converts exactly

struct Keyed {
    std::uint64_t key;
    std::size_t index;
};

// The finite points' positions, sorted by cube, and where each cube's run begins; a last entry
// closes the last run.
struct Runs {
    Array<std::size_t> order;
    std::vector<std::size_t> begin;
};

Runs packed_runs(const Vec3d* p, std::size_t n, double size, const Extent& ext, const int bits[3]) {
    const int total = bits[0] + bits[1] + bits[2];
    const std::uint64_t left_out = std::uint64_t{1} << total; // after every cube
    const auto lo = [&](int k) { return static_cast<std::int64_t>(ext.lo[k]); };
    Array<Keyed> keys(n), other(n);
    Keyed* k = keys.data();
    pool::for_range(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            std::uint64_t key = left_out;
            if (finite(p[i])) {
                const auto off = [&](double v, int a) {
                    return static_cast<std::uint64_t>(static_cast<std::int64_t>(cube(v, size)) -
                                                      lo(a));
                };
                key = off(p[i].x, 0) << (bits[1] + bits[2]) | off(p[i].y, 1) << bits[2] |
                      off(p[i].z, 2);
            }
            k[i] = {key, i};
        }
    });
    constexpr int DIGIT = 11, BUCKETS = 1 << DIGIT;
    Keyed* src = keys.data();
    Keyed* dst = other.data();
    std::vector<std::size_t> count(BUCKETS);
    for (int shift = 0; shift <= total; shift += DIGIT) {
        pool::interruption_point();
        std::fill(count.begin(), count.end(), 0);
        for (std::size_t i = 0; i < n; ++i)
            ++count[(src[i].key >> shift) & (BUCKETS - 1)];
        std::size_t sum = 0;
        for (std::size_t& c : count)
            sum += std::exchange(c, sum);
        for (std::size_t i = 0; i < n; ++i)
            dst[count[(src[i].key >> shift) & (BUCKETS - 1)]++] = src[i];
        std::swap(src, dst);
    }
    Runs runs{Array<std::size_t>(ext.count), {}};
    for (std::size_t i = 0; i < ext.count; ++i) {
        pool::interruption_point(i);
        runs.order[i] = src[i].index;
        if (i == 0 || src[i].key != src[i - 1].key) runs.begin.push_back(i);
    }
    runs.begin.push_back(ext.count);
    return runs;
}

struct Placed {
    double c[3];
    std::size_t index;
};

Runs sorted_runs(const Vec3d* p, std::size_t n, double size, const Extent& ext) {
    Array<Placed> placed(ext.count);
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        pool::interruption_point(i);
        if (finite(p[i]))
            placed[m++] = {{cube(p[i].x, size), cube(p[i].y, size), cube(p[i].z, size)}, i};
    }
    const auto same = [](const Placed& a, const Placed& b) {
        return a.c[0] == b.c[0] && a.c[1] == b.c[1] && a.c[2] == b.c[2];
    };
    std::sort(placed.data(), placed.data() + m, [](const Placed& a, const Placed& b) {
        if (a.c[0] != b.c[0]) return a.c[0] < b.c[0];
        if (a.c[1] != b.c[1]) return a.c[1] < b.c[1];
        if (a.c[2] != b.c[2]) return a.c[2] < b.c[2];
        return a.index < b.index;
    });
    Runs runs{Array<std::size_t>(m), {}};
    for (std::size_t i = 0; i < m; ++i) {
        runs.order[i] = placed[i].index;
        if (i == 0 || !same(placed[i], placed[i - 1])) runs.begin.push_back(i);
    }
    runs.begin.push_back(m);
    return runs;
}

} // namespace

Array<Vec3d> down_sample(const Vec3d* p, std::size_t n, double size) {
    const Extent ext = extent(p, n, size);
    if (ext.count == 0) return {};
    int bits[3] = {0, 0, 0};
    bool packed = true;
    for (int k = 0; k < 3; ++k) {
        if (!(ext.lo[k] >= -EXACT && ext.hi[k] <= EXACT)) {
            packed = false;
            break;
        }
        const auto range = static_cast<std::uint64_t>(static_cast<std::int64_t>(ext.hi[k]) -
                                                      static_cast<std::int64_t>(ext.lo[k]));
        bits[k] = static_cast<int>(std::bit_width(range));
    }
    packed = packed && bits[0] + bits[1] + bits[2] <= 63;
    const Runs runs = packed ? packed_runs(p, n, size, ext, bits) : sorted_runs(p, n, size, ext);
    const std::size_t cubes = runs.begin.size() - 1;
    Array<Vec3d> out(cubes);
    const std::size_t* order = runs.order.data();
    const std::size_t* begin = runs.begin.data();
    Vec3d* o = out.data();
    pool::for_range(cubes, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c < e; ++c) {
            const std::size_t first = begin[c], end = begin[c + 1];
            Vec3d sum = p[order[first]];
            for (std::size_t i = first + 1; i < end; ++i)
                sum = Vec3d{sum.x + p[order[i]].x, sum.y + p[order[i]].y, sum.z + p[order[i]].z};
            const auto count = static_cast<double>(end - first);
            o[c] = Vec3d{sum.x / count, sum.y / count, sum.z / count};
        }
    });
    return out;
}

} // namespace kalemtri::voxel
