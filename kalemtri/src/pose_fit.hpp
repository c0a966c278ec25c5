#pragma once
// The rigid pose that best maps matched source points onto target points in the weighted least
// squares sense, by Horn's quaternion method (Horn 1987, "Closed-form solution of absolute
// orientation using unit quaternions"). Two passes over the points, each summed in fixed blocks
// whose partial sums are added in block order, so the result does not depend on how a caller
// spreads the blocks over threads; the solve is straight-line arithmetic, the 4x4 eigenproblem by
// cyclic Jacobi rotations. No libm function is called but sqrt (correctly rounded), frexp and
// ldexp (exact), so the bits are the same on every machine.
//
//   1. Centroid sums: W = sum w, S = sum w * s, T = sum w * t (unweighted: w = 1, the product
//      skipped, which is the same bits). cs = S / W, ct = T / W per component.
//   2. Cross-covariance H[a][b] = sum ((s - cs)[a] * w) * (t - ct)[b]; the centred differences
//      keep the digits that s * t - W * cs * ct would cancel.
//   3. H scaled by the power of two that brings its largest |entry| into [0.5, 1) (exact); Horn's
//      symmetric N from it, each entry summed left to right, e.g. N00 = (Hxx + Hyy) + Hzz.
//   4. The eigenvector of N's largest eigenvalue (the first of equal ones) by cyclic Jacobi,
//      normalised: Horn's quaternion q, with t ~ q s conj(q). kalemtri's rotate() reads
//      conj(q) v q, so the rotation is conj(q), made to have w >= 0.
//   5. translation = ct - rotation.rotate(cs).
// Degenerate sets: H == 0 (one point, or every source or every target point at its centroid)
// gives the identity rotation, so the pose moves the centroid onto the other; collinear points
// leave the turn about their line free, and the rotation returned is one of the equally good
// ones, the same bits everywhere. A NaN or infinite sum gives a pose of NaNs.
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "kalemtri/src/jacobi.hpp"
#include "kalemtri/src/pose.hpp"

namespace kalemtri::fit {

// Pass 1 of a block: W, then S, then T.
struct CentroidSums {
    double w = 0.0;
    Vec3d s = Vec3d::zero(), t = Vec3d::zero();
};

// Pass 2 of a block: H row by row.
using Covariance = std::array<std::array<double, 3>, 3>;

// weights may be null (every weight 1).
inline CentroidSums centroid_sums(const Vec3d* s, const Vec3d* t, const double* weights,
                                  std::size_t n) {
    CentroidSums out;
    if (!weights) {
        for (std::size_t i = 0; i < n; ++i) {
            out.w = out.w + 1.0;
            out.s = out.s + s[i];
            out.t = out.t + t[i];
        }
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double w = weights[i];
        out.w = out.w + w;
        out.s = out.s + s[i] * w;
        out.t = out.t + t[i] * w;
    }
    return out;
}

// Adds b to a, field by field.
inline CentroidSums add(const CentroidSums& a, const CentroidSums& b) {
    return {a.w + b.w, a.s + b.s, a.t + b.t};
}

inline Covariance covariance_sums(const Vec3d* s, const Vec3d* t, const double* weights,
                                  std::size_t n, const Vec3d& cs, const Vec3d& ct) {
    Covariance h{};
    for (std::size_t i = 0; i < n; ++i) {
        Vec3d d = s[i] - cs;
        if (weights) d = d * weights[i];
        const Vec3d e = t[i] - ct;
        const double da[3] = {d.x, d.y, d.z}, eb[3] = {e.x, e.y, e.z};
        for (std::size_t a = 0; a < 3; ++a)
            for (std::size_t b = 0; b < 3; ++b)
                h[a][b] = h[a][b] + da[a] * eb[b];
    }
    return h;
}

inline Covariance add(const Covariance& a, const Covariance& b) {
    Covariance out;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            out[r][c] = a[r][c] + b[r][c];
    return out;
}

// The eigenvector of a symmetric matrix's largest eigenvalue, by cyclic Jacobi rotations (the
// rotation formulas of Numerical Recipes' jacobi, tan of the smaller angle). An off-diagonal entry
// is dropped once adding 100 times it changes neither diagonal entry it couples. At most 64 sweeps:
// a finite matrix settles within about six, and nothing can loop for ever.
inline std::array<double, 4> largest_eigenvector(Matrix4 a) {
    Matrix4 v{};
    for (std::size_t i = 0; i < 4; ++i)
        v[i][i] = 1.0;
    jacobi_sweeps(a, v);
    std::size_t best = 0;
    for (std::size_t k = 1; k < 4; ++k)
        if (a[k][k] > a[best][best]) best = k;
    return {v[0][best], v[1][best], v[2][best], v[3][best]};
}

// Steps 3 and 4: the rotation of the covariance H.
inline Quat rotation_of(const Covariance& cov) {
    double largest = 0.0;
    for (const auto& row : cov)
        for (double x : row)
            largest = std::fabs(x) > largest ? std::fabs(x) : largest;
    if (largest == 0.0) return Quat::identity();
    int exponent = 0;
    std::frexp(largest, &exponent);
    Covariance h;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            h[r][c] = std::ldexp(cov[r][c], -exponent);
    const double xx = h[0][0], xy = h[0][1], xz = h[0][2];
    const double yx = h[1][0], yy = h[1][1], yz = h[1][2];
    const double zx = h[2][0], zy = h[2][1], zz = h[2][2];
    const Matrix4 n{{{(xx + yy) + zz, yz - zy, zx - xz, xy - yx},
                     {yz - zy, (xx - yy) - zz, xy + yx, zx + xz},
                     {zx - xz, xy + yx, (yy - xx) - zz, yz + zy},
                     {xy - yx, zx + xz, yz + zy, (zz - xx) - yy}}};
    const auto e = largest_eigenvector(n);
    const double m = std::sqrt(((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]) + e[3] * e[3]);
    const double sign = e[0] < 0.0 ? -1.0 : 1.0;
    // conj(e) / m with w >= 0; sign * x is exact.
    return {(sign * e[0]) / m, (-sign * e[1]) / m, (-sign * e[2]) / m, (-sign * e[3]) / m};
}

inline bool finite(double x) { return x - x == 0.0; }

// Step 1's division and the finite check: the centroids of a pass-1 total with w > 0.
inline Vec3d centroid(const Vec3d& sum, double w) { return sum / w; }

// Steps 3 to 5 from the totals of both passes; a non-finite total gives a pose of NaNs.
inline Pose solve(const CentroidSums& sums, const Covariance& cov) {
    const Vec3d cs = centroid(sums.s, sums.w), ct = centroid(sums.t, sums.w);
    bool ok = finite(cs.x) && finite(cs.y) && finite(cs.z) && finite(ct.x) && finite(ct.y) &&
              finite(ct.z);
    for (const auto& row : cov)
        for (double x : row)
            ok = ok && finite(x);
    if (!ok) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {{nan, nan, nan, nan}, {nan, nan, nan}};
    }
    const Quat r = rotation_of(cov);
    return {r, ct - r.rotate(cs)};
}

} // namespace kalemtri::fit
