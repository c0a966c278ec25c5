// Normals of the tree's points: per point, the eigenvector of the smallest eigenvalue of the
// covariance of its k nearest points (itself included). Points with a non-finite coordinate take
// no part: when there are any, the neighbourhoods come from a tree of the other points, whose
// indexes keep their original order, so ties still go to the lowest original index.
//
// The arithmetic, in order, for neighbours q[0..k) as k_nearest ranks them:
//   centroid c = (q0 + q1 + ... ) / k per component, summed left to right;
//   with d = q - c, the sums xx = dx*dx + ..., xy, xz, yy, yz, zz over the neighbours in rank
//   order (left to right, not divided by k: the eigenvectors do not depend on it);
//   the eigen-solver of kalemtri/src/sym_eigen3.hpp; the column of the smallest eigenvalue (the
//   first of equal ones), divided by sqrt((x*x + y*y) + z*z);
//   the sign: negated when its largest-magnitude component (the first of equal ones) is negative;
//   then, with a viewpoint v, negated when ((v - p).x*n.x + (v - p).y*n.y) + (v - p).z*n.z < 0.
// A neighbourhood with fewer than 3 distinct points, a middle eigenvalue <= 1e-12 times the
// largest (collinear points), or a covariance that overflows has no plane: its normal is
// (0, 0, 0). A point with a non-finite coordinate has NaN components.
//
// Each normal is computed by one thread alone, so the bits never depend on the thread count. The
// points are visited in tree order, so consecutive queries walk the same leaves.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/spatial/tree.hpp"
#include "kalemtri/engine/storage.hpp"
#include "kalemtri/src/sym_eigen3.hpp"

namespace kalemtri::tree {

namespace {

// A neighbourhood costs a few microseconds: the pool pays from a few dozen points.
constexpr std::size_t NORMAL_SERIAL = 64;
constexpr std::size_t NORMAL_GRAIN = 32;
// Middle over largest eigenvalue at or below which the points count as collinear: rounding alone
// leaves about k * 2^-53 of the largest in a covariance of points on a line.
constexpr double FLAT = 1e-12;

bool same_point(const Vec3d& a, const Vec3d& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Whether q[0..k) holds at least three distinct points.
bool three_distinct(const Vec3d* q, std::size_t k) {
    std::size_t second = 1;
    while (second < k && same_point(q[second], q[0]))
        ++second;
    for (std::size_t r = second + 1; r < k; ++r)
        if (!same_point(q[r], q[0]) && !same_point(q[r], q[second])) return true;
    return false;
}

Vec3d normal_of(const Vec3d* q, std::size_t k, const Vec3d& p, const Vec3d* viewpoint) {
    const Vec3d none{0.0, 0.0, 0.0};
    if (!three_distinct(q, k)) return none;
    double sx = q[0].x, sy = q[0].y, sz = q[0].z;
    for (std::size_t r = 1; r < k; ++r) {
        sx = sx + q[r].x;
        sy = sy + q[r].y;
        sz = sz + q[r].z;
    }
    const double n = static_cast<double>(k);
    const double cx = sx / n, cy = sy / n, cz = sz / n;
    double xx = 0.0, xy = 0.0, xz = 0.0, yy = 0.0, yz = 0.0, zz = 0.0;
    for (std::size_t r = 0; r < k; ++r) {
        const double dx = q[r].x - cx, dy = q[r].y - cy, dz = q[r].z - cz;
        if (r == 0) {
            xx = dx * dx, xy = dx * dy, xz = dx * dz, yy = dy * dy, yz = dy * dz, zz = dz * dz;
            continue;
        }
        xx = xx + dx * dx;
        xy = xy + dx * dy;
        xz = xz + dx * dz;
        yy = yy + dy * dy;
        yz = yz + dy * dz;
        zz = zz + dz * dz;
    }
    const kalemtri::eigen::Eigen3 e =
        kalemtri::eigen::symmetric_eigen3({{{xx, xy, xz}, {xy, yy, yz}, {xz, yz, zz}}});
    const auto& l = e.values;
    if (!std::isfinite(l[0])) return none;
    std::size_t s = 0;
    for (std::size_t i = 1; i < 3; ++i)
        if (l[i] < l[s]) s = i;
    const double a = l[(s + 1) % 3], b = l[(s + 2) % 3];
    if (std::min(a, b) <= FLAT * std::max(a, b)) return none;
    double x = e.vectors[0][s], y = e.vectors[1][s], z = e.vectors[2][s];
    const double length = std::sqrt((x * x + y * y) + z * z);
    x = x / length, y = y / length, z = z / length;
    double lead = x;
    if (std::fabs(y) > std::fabs(lead)) lead = y;
    if (std::fabs(z) > std::fabs(lead)) lead = z;
    bool flip = lead < 0.0;
    if (viewpoint) {
        const double wx = viewpoint->x - p.x, wy = viewpoint->y - p.y, wz = viewpoint->z - p.z;
        const double d = (wx * x + wy * y) + wz * z;
        if ((flip ? -d : d) < 0.0) flip = !flip;
    }
    return flip ? Vec3d{-x, -y, -z} : Vec3d{x, y, z};
}

} // namespace

void normals(const Tree& tree, std::size_t k, const Vec3d* viewpoint, Vec3d* out) {
    const std::size_t n = tree.size();
    storage::Array<Vec3d> points(n);
    tree.points(points.data());
    // The finite points and their original indexes, only when some are not.
    const bool all_finite = tree.finite_size() == n;
    storage::Array<Vec3d> kept;
    storage::Array<std::uint32_t> original;
    std::unique_ptr<Tree> finite_tree;
    if (!all_finite) {
        kept = storage::Array<Vec3d>(tree.finite_size());
        original = storage::Array<std::uint32_t>(tree.finite_size());
        const double nan = std::numeric_limits<double>::quiet_NaN();
        std::size_t m = 0;
        for (std::size_t i = 0; i < n; ++i) {
            pool::interruption_point(i);
            if (finite(points[i])) {
                kept[m] = points[i];
                original[m++] = static_cast<std::uint32_t>(i);
            } else {
                out[i] = Vec3d{nan, nan, nan};
            }
        }
        finite_tree = std::make_unique<Tree>(kept.data(), m);
    }
    const Tree& query = all_finite ? tree : *finite_tree;
    const Vec3d* q = all_finite ? points.data() : kept.data();
    const std::uint32_t* back = all_finite ? nullptr : original.data();
    const std::size_t m = query.size();
    if (m == 0) return;
    k = std::min(k, m);
    const std::uint32_t* order = query.tree_order();
    pool::for_range(
        m,
        [&](std::size_t b, std::size_t e) {
            std::vector<Candidate> best(k);
            std::vector<Vec3d> near(k);
            for (std::size_t j = b; j < e; ++j) {
                const std::size_t i = order[j];
                query.k_nearest(q[i], k, best.data());
                for (std::size_t r = 0; r < k; ++r)
                    near[r] = q[best[r].index];
                out[back ? back[i] : i] = normal_of(near.data(), k, q[i], viewpoint);
            }
        },
        NORMAL_SERIAL, NORMAL_GRAIN);
}

} // namespace kalemtri::tree
