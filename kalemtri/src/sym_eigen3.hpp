#pragma once
// Eigenvalues and eigenvectors of a symmetric 3x3 matrix by cyclic Jacobi rotations. Only + - * /
// and sqrt (correctly rounded) are used, with frexp and ldexp (exact), so the bits are the same on
// every machine with IEEE double arithmetic:
//   1. The matrix is scaled by the power of two that brings its largest |entry| into [0.5, 1), so
//      no step can overflow and tiny matrices keep their digits.
//   2. Each sweep rotates the pairs (0, 1), (0, 2), (1, 2) in that order, with the formulas of
//      Numerical Recipes' jacobi (tan of the smaller angle):
//        theta = (a_qq - a_pp) / (a_pq + a_pq),
//        t = sign(theta) / (|theta| + sqrt(theta * theta + 1)), or sign(theta) * 0.5 / |theta|
//            when |theta| > 1e150 (theta * theta would overflow), theta = 0 counting positive,
//        c = 1 / sqrt(t * t + 1), s = t * c, tau = s / (1 + c),
//        a_pp -= t * a_pq, a_qq += t * a_pq, a_pq = 0, and for the third index r
//        a_rp = a_rp - s * (a_rq + a_rp * tau), a_rq = a_rq + s * (a_rp - a_rq * tau), the
//        eigenvector rows likewise.
//      An off-diagonal entry is dropped (set to 0) once adding 100 times it changes neither
//      diagonal entry it couples. The sweeps stop after one that rotates nothing, or after 64;
//      a finite matrix settles within about five.
//   3. Eigenvalue i is diagonal entry i scaled back; eigenvector i is column i of the product of
//      the rotations (unit length up to rounding).
// A matrix with a NaN or infinite entry gives NaN values and vectors; the zero matrix gives zero
// values and the unit axes.
#include <array>
#include <cmath>
#include <limits>

#include "kalemtri/src/jacobi.hpp"

namespace kalemtri::eigen {

using Matrix3 = std::array<std::array<double, 3>, 3>;

struct Eigen3 {
    std::array<double, 3> values;
    Matrix3 vectors; // vectors[r][i]: component r of eigenvector i
};

inline Eigen3 symmetric_eigen3(const Matrix3& m) {
    Eigen3 out{};
    double largest = 0.0;
    for (const auto& row : m)
        for (double x : row) {
            if (!std::isfinite(x)) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                out.values = {nan, nan, nan};
                for (auto& row_out : out.vectors)
                    row_out = {nan, nan, nan};
                return out;
            }
            largest = std::fabs(x) > largest ? std::fabs(x) : largest;
        }
    Matrix3& v = out.vectors;
    for (std::size_t i = 0; i < 3; ++i)
        v[i][i] = 1.0;
    if (largest == 0.0) return out;
    int exponent = 0;
    std::frexp(largest, &exponent);
    Matrix3 a;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            a[r][c] = std::ldexp(m[r][c], -exponent);
    jacobi_sweeps(a, v);
    for (std::size_t i = 0; i < 3; ++i)
        out.values[i] = std::ldexp(a[i][i], exponent);
    return out;
}

} // namespace kalemtri::eigen
