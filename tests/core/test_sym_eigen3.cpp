// The symmetric 3x3 eigen-solver: exact answers where they are representable, small residuals and
// orthonormal vectors on random matrices, power-of-two scaling kept to the bit, and the stated
// answers for the zero matrix and non-finite entries.
#include <cmath>
#include <cstdint>
#include <limits>

#include "check.hpp"
#include "kalemtri/src/sym_eigen3.hpp"

using kalemtri::eigen::Eigen3;
using kalemtri::eigen::Matrix3;
using kalemtri::eigen::symmetric_eigen3;

namespace {

double column_dot(const Matrix3& v, int a, int b) {
    return (v[0][a] * v[0][b] + v[1][a] * v[1][b]) + v[2][a] * v[2][b];
}

// max over i of |A v_i - lambda_i v_i| relative to the largest |entry| of A.
double residual(const Matrix3& a, const Eigen3& e) {
    double scale = 0.0, worst = 0.0;
    for (const auto& row : a)
        for (double x : row)
            scale = std::fmax(scale, std::fabs(x));
    for (int i = 0; i < 3; ++i)
        for (int r = 0; r < 3; ++r) {
            const double av =
                (a[r][0] * e.vectors[0][i] + a[r][1] * e.vectors[1][i]) + a[r][2] * e.vectors[2][i];
            worst = std::fmax(worst, std::fabs(av - e.values[i] * e.vectors[r][i]));
        }
    return worst / scale;
}

struct Lcg {
    std::uint64_t s;
    double next() {
        s = s * 6364136223846793005u + 1442695040888963407u;
        return double(std::int64_t(s >> 33) % 2001 - 1000) / 37.0;
    }
};

} // namespace

TEST(eigen_diagonal_is_exact) {
    const Eigen3 e = symmetric_eigen3({{{3.0, 0.0, 0.0}, {0.0, -1.5, 0.0}, {0.0, 0.0, 7.0}}});
    CHECK_SAME(e.values[0], 3.0);
    CHECK_SAME(e.values[1], -1.5);
    CHECK_SAME(e.values[2], 7.0);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            CHECK_SAME(e.vectors[r][c], r == c ? 1.0 : 0.0);
}

TEST(eigen_known_pair) {
    // [[2, 1], [1, 2]] in the x-y block: eigenvalues 1 and 3 along (1, -1) and (1, 1).
    const Eigen3 e = symmetric_eigen3({{{2.0, 1.0, 0.0}, {1.0, 2.0, 0.0}, {0.0, 0.0, 5.0}}});
    CHECK(std::fabs(e.values[0] - 1.0) <= 1e-15);
    CHECK(std::fabs(e.values[1] - 3.0) <= 1e-15);
    CHECK_SAME(e.values[2], 5.0);
    CHECK(std::fabs(std::fabs(e.vectors[0][0]) - std::sqrt(0.5)) <= 1e-15);
    CHECK(std::fabs(e.vectors[0][0] + e.vectors[1][0]) <= 1e-15);
    CHECK(std::fabs(e.vectors[0][1] - e.vectors[1][1]) <= 1e-15);
}

TEST(eigen_random_matrices) {
    Lcg rng{42};
    for (int n = 0; n < 2000; ++n) {
        Matrix3 a;
        for (int r = 0; r < 3; ++r)
            for (int c = r; c < 3; ++c)
                a[r][c] = a[c][r] = rng.next();
        const Eigen3 e = symmetric_eigen3(a);
        CHECK(residual(a, e) <= 1e-14);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                CHECK(std::fabs(column_dot(e.vectors, i, j) - (i == j)) <= 1e-15);
        // Scaling by a power of two scales the values and keeps the vectors, to the bit.
        Matrix3 big;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                big[r][c] = std::ldexp(a[r][c], 900);
        const Eigen3 f = symmetric_eigen3(big);
        for (int i = 0; i < 3; ++i) {
            CHECK_SAME(f.values[i], std::ldexp(e.values[i], 900));
            for (int r = 0; r < 3; ++r)
                CHECK_SAME(f.vectors[r][i], e.vectors[r][i]);
        }
    }
}

TEST(eigen_tiny_and_huge_entries) {
    for (double s : {1e-300, 1e-200, 1e200, 1e300}) {
        const Matrix3 a{{{s, s / 2, 0.0}, {s / 2, s, 0.0}, {0.0, 0.0, s / 4}}};
        const Eigen3 e = symmetric_eigen3(a);
        for (int i = 0; i < 3; ++i)
            CHECK(std::isfinite(e.values[i]) && e.values[i] > 0.0);
        CHECK(residual(a, e) <= 1e-14);
    }
}

TEST(eigen_zero_and_non_finite) {
    const Eigen3 z = symmetric_eigen3({});
    for (int r = 0; r < 3; ++r) {
        CHECK_SAME(z.values[r], 0.0);
        for (int c = 0; c < 3; ++c)
            CHECK_SAME(z.vectors[r][c], r == c ? 1.0 : 0.0);
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
        const Eigen3 e = symmetric_eigen3({{{1.0, 0.0, 0.0}, {0.0, 1.0, bad}, {0.0, bad, 1.0}}});
        for (int r = 0; r < 3; ++r) {
            CHECK(std::isnan(e.values[r]));
            for (int c = 0; c < 3; ++c)
                CHECK(std::isnan(e.vectors[r][c]));
        }
    }
}
