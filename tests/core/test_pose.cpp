// Poses: the formulas of the quaternion and vector calls they are made of, the fit's solve on
// exact and degenerate sets, and the PoseList kernels at every instruction-set level against the
// single-pose formulas, at every position of a block.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "kalemtri/engine/batch/pose_kernels.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/pose_fit.hpp"

using namespace kalemtri;
using namespace kalemtri::kernels;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double DEFAULT_NAN = check::invalid_operation_nan();

const std::size_t SIZES[] = {1, 5, 33, POSE_CHUNK + 3, kalemtri::tuning::MAP_BLOCK};

template <class F> void check_pose_levels(const char* op, const F& f) {
    for (bool nans : {false, true})
        for (std::size_t n : SIZES) {
            check::Mix mix{777, nans};
            std::vector<Pose> in(n), got(n);
            for (Pose& p : in)
                p = mix.pose();
            for (Level level : LEVELS) {
                if (!supported(level)) continue;
                same_map_block(level, in.data(), got.data(), n, f);
                for (std::size_t i = 0; i < n; ++i)
                    if (!check::same_bits(got[i], f(in[i])))
                        check::fail(__FILE__, __LINE__,
                                    std::string(op) + " at " + name(level) + ", n " +
                                        std::to_string(n) + ", element " + std::to_string(i));
            }
        }
}

const Quat q90 = Quat::from_axis_angle(Vec3d::k(), AngleRadians::half_pi());

} // namespace

TEST(pose_formulas_are_the_quaternion_and_vector_calls) {
    check::Mix mix{5, false};
    for (int n = 0; n < 200; ++n) {
        const Pose a = mix.pose(), b = mix.pose();
        const Vec3d v = mix.vec();
        CHECK(check::same_bits(a.apply(v), a.rotation.rotate(v) + a.translation));
        const Pose ab = a.then(b);
        CHECK(check::same_bits(
            ab, {a.rotation.then(b.rotation), b.rotation.rotate(a.translation) + b.translation}));
        const Quat r = a.rotation.inverse();
        const Vec3d t = -r.rotate(a.translation);
        CHECK(check::same_bits(a.inverse(), {r, t}));
    }
    const Pose p{q90, {1, 2, 3}};
    CHECK(check::same(p.apply({1, 0, 0}), Vec3d{1.0000000000000002, 3, 3}));
    CHECK(check::same_bits(Pose::identity().then(p), {Quat::identity().then(q90), {1, 2, 3}}));
}

TEST(pose_matrix_rows) {
    const Pose p{q90, {1, -0.0, 3}};
    const auto m = p.to_matrix();
    const Matrix3 r = to_matrix(q90);
    for (std::size_t row = 0; row < 3; ++row)
        for (std::size_t col = 0; col < 3; ++col)
            CHECK(check::same_bits(m[row][col], r[row][col]));
    CHECK(check::same_bits(m[1][3], -0.0) && m[3][3] == 1.0 && check::same_bits(m[3][0], 0.0));
    const Pose back = Pose::from_matrix({m[0], m[1], m[2]});
    CHECK(check::same_bits(back, {from_rotation_matrix(r), {1, -0.0, 3}}));
}

TEST(interpolation_ends) {
    const Pose a{q90, {1.5, -2, 1e300}}, b{Quat::identity(), {3, 1e-300, -7}};
    CHECK(check::same_bits(Pose::interpolate(a, b, 0.0).translation, a.translation));
    CHECK(check::same_bits(Pose::interpolate(a, b, 1.0).translation, b.translation));
    const Vec3d mid = Pose::interpolate(a, b, 0.5).translation;
    CHECK(check::same_bits(mid.x, 0.5 * 1.5 + 0.5 * 3.0));
}

TEST(pose_list_levels_match_the_formulas) {
    const Pose operands[] = {{{0.9, 0.1, 0.3, 0.2}, {1, 2, 3}},
                             Pose::identity(),
                             {{0, -0.0, 2.0, inf}, {-inf, 0, 1}},
                             {{DEFAULT_NAN, 1, 0, 0}, {1, DEFAULT_NAN, 0}}};
    for (const Pose& p : operands) {
        check_pose_levels("then", PoseThen{p});
        check_pose_levels("after", PoseAfter{p});
    }
    check_pose_levels("inverse", PoseInverse{});
}

TEST(apply_to_a_list_matches_apply_at_every_level) {
    const Pose poses[] = {{{0.9, 0.1, 0.3, 0.2}, {1, 2, 3}},
                          {{0, -0.0, 2.0, inf}, {-inf, 0, 1}},
                          {{DEFAULT_NAN, 1, 0, 0}, {1, DEFAULT_NAN, 0}}};
    for (const Pose& p : poses)
        for (bool nans : {false, true})
            for (std::size_t n : SIZES) {
                check::Mix mix{31, nans};
                std::vector<Vec3d> v(n), got(n);
                for (Vec3d& e : v)
                    e = mix.vec();
                for (Level level : LEVELS) {
                    if (!supported(level)) continue;
                    map_block<Vec3d>(level, v.data(), got.data(), n, PoseApply{p});
                    for (std::size_t i = 0; i < n; ++i)
                        if (!check::same_bits(got[i], p.apply(v[i])))
                            check::fail(__FILE__, __LINE__,
                                        std::string("apply at ") + name(level) + ", n " +
                                            std::to_string(n) + ", element " + std::to_string(i));
                }
            }
}

TEST(apply_pairs_levels_match_apply) {
    for (bool nans : {false, true})
        for (std::size_t n : SIZES) {
            check::Mix mix{99, nans};
            std::vector<Pose> p(n);
            std::vector<Vec3d> v(n), got(n);
            for (std::size_t i = 0; i < n; ++i) {
                p[i] = mix.pose();
                v[i] = mix.vec();
            }
            for (Level level : LEVELS) {
                if (!supported(level)) continue;
                apply_pairs_block(level, p.data(), v.data(), got.data(), n);
                for (std::size_t i = 0; i < n; ++i)
                    if (!check::same_bits(got[i], p[i].apply(v[i])))
                        check::fail(__FILE__, __LINE__,
                                    std::string("apply at ") + name(level) + ", n " +
                                        std::to_string(n) + ", element " + std::to_string(i));
            }
        }
}

namespace {

Pose fit_of(const std::vector<Vec3d>& s, const std::vector<Vec3d>& t) {
    const auto sums = fit::centroid_sums(s.data(), t.data(), nullptr, s.size());
    const Vec3d cs = fit::centroid(sums.s, sums.w), ct = fit::centroid(sums.t, sums.w);
    return fit::solve(sums, fit::covariance_sums(s.data(), t.data(), nullptr, s.size(), cs, ct));
}

} // namespace

TEST(fit_recovers_an_exact_pose) {
    const Pose truth{Quat{0.5, 0.5, -0.5, 0.5}, {10, -20, 0.25}};
    std::vector<Vec3d> s, t;
    for (int n = 0; n < 50; ++n) {
        const Vec3d v{double(n % 7) - 3, double(n % 5) * 0.5, double(n % 3) - 1.25};
        s.push_back(v);
        t.push_back(truth.apply(v));
    }
    const Pose got = fit_of(s, t);
    CHECK(got.rotation.w >= 0.0);
    const double dq[] = {got.rotation.w - 0.5, got.rotation.i - 0.5, got.rotation.j + 0.5,
                         got.rotation.k - 0.5};
    for (double d : dq)
        CHECK(std::fabs(d) < 1e-15);
    CHECK(distance_to(got.translation, truth.translation) < 1e-13);
}

TEST(fit_degenerate_sets) {
    // Coincident source points: H is zero, the rotation the identity.
    const Pose one = fit_of({{1, 2, 3}, {1, 2, 3}}, {{0, 0, 0}, {4, 0, 0}});
    CHECK(check::same_bits(one, {Quat::identity(), {1, -2, -3}}));
    // Unweighted sums are those with unit weights, bit for bit.
    const std::vector<Vec3d> s{{1, 2, 3}, {-4, 0.1, 7}, {0, 0, 1}},
        t{{3, 1, 2}, {0.5, 9, -1}, {2, 2, 2}};
    const double w[] = {1, 1, 1};
    const auto a = fit::centroid_sums(s.data(), t.data(), nullptr, 3);
    const auto b = fit::centroid_sums(s.data(), t.data(), w, 3);
    CHECK(check::same_bits(a.w, b.w) && check::same_bits(a.s, b.s) && check::same_bits(a.t, b.t));
    // A NaN or infinite sum: NaN throughout, and the solve ends.
    const Pose bad = fit_of({{inf, 0, 0}, {0, 0, 0}}, {{0, 0, 0}, {1, 1, 1}});
    CHECK(std::isnan(bad.rotation.w) && std::isnan(bad.translation.z));
}

TEST(jacobi_finds_the_largest_eigenvector) {
    // diag(1, 5, 2, -3) turned in the (1, 2) plane by 45 degrees: eigenvalue 5's vector is
    // (0, 1, -1, 0) / sqrt(2) up to sign.
    const double c = std::sqrt(0.5);
    const Matrix4 m{{{1, 0, 0, 0}, {0, 3.5, -1.5, 0}, {0, -1.5, 3.5, 0}, {0, 0, 0, -3}}};
    const auto e = fit::largest_eigenvector(m);
    CHECK(std::fabs(std::fabs(e[1]) - c) < 1e-15 && std::fabs(e[1] + e[2]) < 1e-15);
    CHECK(e[0] == 0.0 && e[3] == 0.0);
    // Equal eigenvalues: the first wins.
    const auto z = fit::largest_eigenvector(Matrix4{});
    CHECK(z[0] == 1.0 && z[1] == 0.0 && z[2] == 0.0 && z[3] == 0.0);
}
