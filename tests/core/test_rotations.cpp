// Composition, inversion, matrices, axis-angle, interpolation, rotation between two directions and
// Euler angles: pinned bits where the evaluation order shows, round trips to a few ulp elsewhere.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "kalemtri/src/euler.hpp"
#include "kalemtri/src/matrix.hpp"
#include "kalemtri/src/quat.hpp"

using namespace kalemtri;

namespace {

const double nan_ = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const double PI = AngleRadians::pi().angle;
const double ULP = 0x1p-52;

// The larger, and NaN over anything, so a NaN result fails a bound.
double worse(double a, double b) { return std::isnan(a) ? a : (std::isnan(b) || b > a ? b : a); }

bool same(const Quat& a, const Quat& b) {
    return check::same(a.w, b.w) && check::same(a.i, b.i) && check::same(a.j, b.j) &&
           check::same(a.k, b.k);
}

double distance(const Vec3d& a, const Vec3d& b) {
    return worse(std::fabs(a.x - b.x), worse(std::fabs(a.y - b.y), std::fabs(a.z - b.z)));
}

// Largest component difference to q or to -q (the same rotation).
double distance_pm(const Quat& a, const Quat& b) {
    double plus = 0, minus = 0;
    const double x[] = {a.w, a.i, a.j, a.k}, y[] = {b.w, b.i, b.j, b.k};
    for (int n = 0; n < 4; ++n) {
        plus = worse(plus, std::fabs(x[n] - y[n]));
        minus = worse(minus, std::fabs(x[n] + y[n]));
    }
    return std::fmin(plus, minus);
}

// Deterministic pseudo-random unit quaternions and vectors, with the edge cases first: the
// identity and its negation, half turns about each axis (each Shepperd branch), and quaternions
// whose largest component is shared.
struct Random {
    std::uint64_t s = 20261208;
    double next() {
        s = s * 6364136223846793005u + 1442695040888963407u;
        return double(s >> 11) * 0x1p-53 * 2.0 - 1.0;
    }
    Quat quat() { return Quat{next(), next(), next(), next()}.normalize(); }
    Vec3d vec() { return {next() * 4, next() * 4, next() * 4}; }
};

std::vector<Quat> unit_quats() {
    std::vector<Quat> q = {{1, 0, 0, 0},           {-1, 0, 0, 0},     {0, 1, 0, 0},
                           {0, 0, 1, 0},           {0, 0, 0, 1},      {0.5, 0.5, 0.5, 0.5},
                           {0.5, -0.5, 0.5, -0.5}, {0, 0, -0.6, 0.8}, {0.6, 0, 0, -0.8}};
    Random r;
    for (int n = 0; n < 2000; ++n)
        q.push_back(r.quat());
    return q;
}

} // namespace

TEST(then_is_the_hamilton_product_in_its_order) {
    // Regrouping any one sum changes i or k here.
    CHECK(same(Quat{-0.36, 0.97, 0.67, 0.13}.then(Quat{0.3, -0.7, 0.2, 0.9}),
               (Quat{0.31999999999999995, 1.1199999999999999, -0.835, 0.37799999999999995})));
    const Quat q{0.9, -0.1, 0.3, 0.2};
    CHECK(same(q.then(Quat::identity()), q) && same(Quat::identity().then(q), q));
    // i j = k in the Hamilton product.
    CHECK(same((Quat{0, 1, 0, 0}.then(Quat{0, 0, 1, 0})), (Quat{0, 0, 0, 1})));
    Random r;
    double worst = 0;
    for (const Quat& a : unit_quats()) {
        const Quat b = r.quat();
        const Vec3d v = r.vec();
        worst = worse(worst, distance(a.then(b).rotate(v), b.rotate(a.rotate(v))));
        worst = worse(worst, distance(a.then(a.inverse()).rotate(v), v));
    }
    CHECK(worst <= 32 * ULP); // |v| up to 7
}

TEST(inverse) {
    CHECK(same(Quat{2, 0, 0, 0}.inverse(), (Quat{0.5, -0.0, -0.0, -0.0})));
    CHECK(same((Quat{0.3, -0.7, 0.2, 0.9}.inverse()),
               (Quat{0.20979020979020976, 0.4895104895104894, -0.13986013986013984,
                     -0.6293706293706293})));
    const Quat zero = Quat{0, 0, 0, 0}.inverse();
    CHECK(std::isnan(zero.w) && std::isnan(zero.i) && std::isnan(zero.j) && std::isnan(zero.k));
    // A unit quaternion whose squared magnitude rounds to 1 gives exactly its conjugate.
    CHECK(same(Quat{0, 0.6, 0, 0.8}.inverse(), (Quat{0, -0.6, -0.0, -0.8})));
}

TEST(to_matrix_is_the_transpose_of_to_rotation_matrix) {
    for (const Quat& q : {Quat{1, 1, 1, 1}, Quat{0.9, -0.1, 0.3, 0.2}, Quat{nan_, 0, 1, 0}}) {
        const Matrix3 m = to_matrix(q), t = to_rotation_matrix(q);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                CHECK_SAME(m[r][c], t[c][r]);
    }
    Random r;
    double worst = 0;
    for (const Quat& q : unit_quats()) {
        const Vec3d v = r.vec();
        const Matrix3 m = to_matrix(q);
        const Vec3d mv{(m[0][0] * v.x + m[0][1] * v.y) + m[0][2] * v.z,
                       (m[1][0] * v.x + m[1][1] * v.y) + m[1][2] * v.z,
                       (m[2][0] * v.x + m[2][1] * v.y) + m[2][2] * v.z};
        worst = worse(worst, distance(mv, q.rotate(v)));
    }
    CHECK(worst <= 32 * ULP);
}

TEST(from_rotation_matrix_branches) {
    struct Case {
        Matrix3 m;
        Quat q;
    };
    const Case cases[] = {
        {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, {1, 0, 0, 0}},   // trace
        {{{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {0, 1, 0, 0}}, // m00: half turn about x
        {{{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0, 1, 0}}, // m11
        {{{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}, {0, 0, 0, 1}}, // m22
        {{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}, {0.7071067811865476, 0, 0, 0.7071067811865475}},
        // Ties go to the earlier candidate: trace before m00, m00 before m11 before m22.
        {{{{1, 0, 0}, {0, 0, 0}, {0, 0, 0}}}, {0.5 * std::sqrt(2.0), 0, 0, 0}},
        {{{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {0, 0.5 * std::sqrt(2.0), 0, 0}},
        // Not rotations: read as given, finite, not unit.
        {{{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}, {0.5 * std::sqrt(7.0), 0, 0, 0}},
        {{{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}}, {0.5, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        ROW(cases, c);
        const Quat q = from_rotation_matrix(c.m);
        CHECK(same(q, c.q));
    }
    // The quarter turn about z above: rotate() applies the matrix, (1, 0, 0) -> (0, -1, 0).
    const Quat z = from_rotation_matrix(cases[4].m);
    CHECK(distance(z.rotate(Vec3d::i()), Vec3d{0, -1, 0}) <= ULP);
    const Quat n = from_rotation_matrix({{{nan_, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
    CHECK(std::isnan(n.w) || std::isnan(n.i) || std::isnan(n.j) || std::isnan(n.k));
}

TEST(from_rotation_matrix_round_trip) {
    double worst = 0;
    for (const Quat& q : unit_quats()) {
        const Quat back = from_rotation_matrix(to_matrix(q));
        worst = worse(worst, distance_pm(back, q));
        // The chosen component comes out positive: the largest in magnitude.
        const double big = worse(worse(back.w, back.i), worse(back.j, back.k));
        CHECK(big >= 0.5 - 4 * ULP);
    }
    CHECK(worst <= 4 * ULP);
}

TEST(axis_angle_inverts_from_axis_angle) {
    struct Case {
        Quat q;
        Vec3d axis;
        double angle;
    };
    const double third = 0.5773502691896258;
    const Case cases[] = {
        {Quat::identity(), Vec3d::i(), 0.0},
        {{-1, 0, 0, 0}, Vec3d::i(), 0.0},
        {{0, 0, 0, 0}, Vec3d::i(), 0.0},
        {Quat::from_axis_angle(Vec3d::k(), AngleRadians::half_pi()), Vec3d::k(), PI / 2},
        {{0, 0, 0, 1}, {-0.0, -0.0, -1}, PI},
        // w < 0 is read as -q: the angle stays at most pi.
        {{-0.5, 0.5, 0.5, 0.5}, {third, third, third}, 2.0943951023931953},
        {{0.5, 0.5, 0.5, 0.5}, {-third, -third, -third}, 2.0943951023931953},
        {{2, 0, 0, 2}, {-0.0, -0.0, -1}, PI / 2}, // the magnitude does not count
        {{1, inf, 0, 0}, {nan_, -0.0, -0.0}, PI},
        {{nan_, 0, 0, 0}, Vec3d::i(), nan_},
    };
    for (const Case& c : cases) {
        ROW(cases, c);
        const auto [axis, angle] = c.q.axis_angle();
        CHECK_SAME(axis, c.axis);
        // atan2 is the platform's: its last bit may differ (i386 computes it on the x87 unit).
        CHECK(check::same(angle.angle, c.angle) || std::fabs(angle.angle - c.angle) <= 2 * ULP);
    }
    double worst = 0;
    for (const Quat& q : unit_quats()) {
        const auto [axis, angle] = q.axis_angle();
        CHECK(angle.angle >= 0 && angle.angle <= PI);
        worst = worse(worst, distance_pm(Quat::from_axis_angle(axis, angle), q));
    }
    CHECK(worst <= 4 * ULP);
}

TEST(slerp) {
    const Quat a = Quat{0.9, -0.1, 0.3, 0.2}.normalize(), b = Quat{0.1, 0.7, 0.5, 0.4}.normalize();
    CHECK(same(Quat::slerp(a, b, 0.0), a));
    CHECK(same(Quat::slerp(a, b, 1.0), b));
    // a.b < 0: -b is the nearer copy of b's rotation, and t = 1 ends there.
    const Quat nb{-b.w, -b.i, -b.j, -b.k};
    const Quat far = Quat{-0.9, 0.1, -0.3, -0.2}.normalize();
    CHECK(same(Quat::slerp(far, b, 1.0), nb));
    // Equal inputs take the linear weights.
    CHECK(same(Quat::slerp(a, a, 0.25), a));
    // Along one axis the path is the angle's: identity to a third of a turn at t = 0.5, 0.25 and
    // 2 (extrapolated), and the same for nearly equal quaternions, where acos(dot) loses digits.
    for (double total : {2.0943951023931953, 1e-3, 3e-7, 1e-12})
        for (double t : {0.5, 0.25, 2.0}) {
            const Quat s = Quat::slerp(Quat::identity(),
                                       Quat::from_axis_angle(Vec3d::k(), AngleRadians{total}), t);
            const Quat e = Quat::from_axis_angle(Vec3d::k(), AngleRadians{total * t});
            CHECK(distance_pm(s, e) <= 4 * ULP);
            CHECK(std::fabs(s.k - e.k) <= 4 * ULP * std::fabs(e.k)); // relative, for tiny angles
        }
    Random r;
    double worst = 0;
    for (const Quat& q : unit_quats()) {
        // One ulp apart: their dot product may round above 1, where an acos would give NaN.
        const Quat near{std::nextafter(q.w, 2.0), q.i, q.j, q.k};
        worst = worse(worst, distance_pm(Quat::slerp(q, near, 0.5), q));
        const Quat p = r.quat();
        const Quat m = Quat::slerp(q, p, 0.5);
        // The midpoint is as far from both ends, and a unit quaternion.
        const double dq = std::fabs(((m.w * q.w + m.i * q.i) + m.j * q.j) + m.k * q.k);
        const double dp = std::fabs(((m.w * p.w + m.i * p.i) + m.j * p.j) + m.k * p.k);
        worst = worse(worst, worse(std::fabs(dq - dp), std::fabs(m.magnitude() - 1)));
    }
    CHECK(worst <= 8 * ULP);
}

TEST(between) {
    // Every axis direction to every other, parallel and antiparallel included.
    const Vec3d dirs[] = {Vec3d::i(),  Vec3d::j(), Vec3d::k(),   -Vec3d::i(),   -Vec3d::j(),
                          -Vec3d::k(), {1, 2, 3},  {-1, -2, -3}, {0, 1e-150, 0}};
    for (const Vec3d& a : dirs)
        for (const Vec3d& b : dirs) {
            ROW(dirs, a);
            const Quat q = Quat::between(a, b);
            CHECK(std::fabs(q.magnitude() - 1) <= 2 * ULP);
            CHECK(distance(q.rotate(normalize(a)), normalize(b)) <= 4 * ULP);
        }
    CHECK(same(Quat::between(Vec3d::i(), Vec3d{2, 0, 0}), (Quat{1, 0, 0, 0})));
    // Antiparallel: a half turn about the cross product with the axis of the smallest component.
    CHECK(same(Quat::between(Vec3d::i(), -Vec3d::i()), (Quat{0, 0, 0, 1})));
    CHECK(same(Quat::between(Vec3d::k(), -Vec3d::k()), (Quat{0, 0, 1, 0})));
    // Nearly antiparallel: still lands on b to rounding, not to rounding / angle.
    Random r;
    double worst = 0;
    for (int n = 0; n < 500; ++n) {
        const Vec3d a = normalize(r.vec());
        for (double eps : {1e-3, 1e-8, 1e-12}) {
            const Vec3d b = normalize(-a + r.vec() * eps);
            const Quat q = Quat::between(a, b);
            worst = worse(worst, distance(q.rotate(a), b));
        }
        const Vec3d c = r.vec();
        worst = worse(worst, distance(Quat::between(a, c).rotate(a), normalize(c)));
    }
    CHECK(worst <= 8 * ULP);
    const Quat z = Quat::between(Vec3d::zero(), Vec3d::i());
    CHECK(std::isnan(z.w) && std::isnan(z.i));
}

// Squares that over- or underflow: the directions still decide, through an exact rescaling.
TEST(between_and_axis_angle_far_from_unit_magnitude) {
    const Vec3d a{1.5, -0.25, 0.75}, b{-1, 0.5, 1.25};
    const Quat q = Quat::between(a, b);
    for (int e : {-1060, -600, 600, 1020}) {
        const Vec3d sa{std::scalbn(a.x, e), std::scalbn(a.y, e), std::scalbn(a.z, e)};
        CHECK(same(Quat::between(sa, b), q));
    }
    for (double m : {1e300, 1e-300}) {
        const auto [axis, angle] = Quat{m, m, m, m}.axis_angle();
        const double c = -1 / std::sqrt(3.0);
        CHECK(distance(axis, Vec3d{c, c, c}) <= 2 * ULP);
        CHECK(std::fabs(angle.angle - 2 * PI / 3) <= 4 * ULP);
    }
}

namespace {
const char* const SEQUENCES[] = {"xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx",
                                 "yxy", "yzy", "zxz", "zyz", "XYZ", "XZY", "YXZ", "YZX",
                                 "ZXY", "ZYX", "XYX", "XZX", "YXY", "YZY", "ZXZ", "ZYZ"};
bool proper(const char* s) { return s[0] == s[2]; }
EulerSequence sequence(const char* s) {
    const auto seq = euler_sequence(s);
    if (!seq) {
        check::fail(__FILE__, __LINE__, std::string("not a sequence: ") + s);
        return {};
    }
    return *seq;
}
} // namespace

TEST(euler_sequences) {
    int valid = 0;
    const char letters[] = "xyzXYZ";
    for (char a : letters)
        for (char b : letters)
            for (char c : letters) {
                if (!a || !b || !c) continue;
                const char s[] = {a, b, c};
                const auto seq = euler_sequence({s, 3});
                const bool lower = a >= 'x' && b >= 'x' && c >= 'x';
                const bool upper = a <= 'Z' && b <= 'Z' && c <= 'Z';
                const bool ok = (lower || upper) && a != b && b != c;
                CHECK(seq.has_value() == ok);
                valid += ok;
                if (ok) CHECK(seq->intrinsic == upper);
            }
    CHECK(valid == 24);
    for (const char* bad : {"", "xy", "xyzx", "xYz", "abc", "x y"})
        CHECK(!euler_sequence(bad).has_value());
    const auto zyx = sequence("ZYX");
    CHECK((zyx.axes == std::array<int, 3>{2, 1, 0}) && zyx.intrinsic);
}

TEST(from_euler_composes_elementary_rotations) {
    const AngleRadians a{0.3}, b{-1.1}, c{2.5};
    const Quat x = Quat::from_axis_angle(Vec3d::i(), a), y = Quat::from_axis_angle(Vec3d::j(), b),
               z = Quat::from_axis_angle(Vec3d::k(), c);
    CHECK(same(from_euler(sequence("xyz"), a, b, c), x.then(y).then(z)));
    CHECK(same(from_euler(sequence("XYZ"), a, b, c), z.then(y).then(x)));
    // Extrinsic xyz: about x first, then about the fixed y, then about the fixed z.
    const Vec3d v{1, 2, 3};
    CHECK(distance(from_euler(sequence("xyz"), a, b, c).rotate(v),
                   z.rotate(y.rotate(x.rotate(v)))) <= 16 * ULP);
}

TEST(euler_round_trips) {
    Random r;
    double worst_angles = 0, worst_quat = 0;
    for (const char* name : SEQUENCES) {
        const EulerSequence seq = sequence(name);
        for (int n = 0; n < 300; ++n) {
            // Away from gimbal lock by at least 0.1, where the angles are well conditioned.
            const double a = r.next() * PI, c = r.next() * PI;
            const double b =
                proper(name) ? 0.1 + (r.next() + 1) * 0.5 * (PI - 0.2) : r.next() * (PI / 2 - 0.1);
            const auto e = to_euler(from_euler(seq, {a}, {b}, {c}), seq);
            worst_angles = worse(worst_angles, std::fabs(e[0].angle - a));
            worst_angles = worse(worst_angles, std::fabs(e[1].angle - b));
            worst_angles = worse(worst_angles, std::fabs(e[2].angle - c));
        }
        for (const Quat& q : unit_quats()) {
            const auto e = to_euler(q, seq);
            CHECK(std::fabs(e[0].angle) <= PI && std::fabs(e[2].angle) <= PI);
            CHECK(proper(name) ? e[1].angle >= 0 && e[1].angle <= PI
                               : std::fabs(e[1].angle) <= PI / 2);
            worst_quat = worse(worst_quat, distance_pm(from_euler(seq, e[0], e[1], e[2]), q));
        }
    }
    CHECK(worst_angles <= 64 * ULP);
    CHECK(worst_quat <= 8 * ULP);
}

TEST(euler_gimbal_lock) {
    for (const char* name : SEQUENCES) {
        ROW(SEQUENCES, name);
        const EulerSequence seq = sequence(name);
        const double locks[] = {proper(name) ? 0.0 : -PI / 2, proper(name) ? PI : PI / 2};
        for (double b : locks) {
            const Quat q = from_euler(seq, {0.3}, {b}, {-1.2});
            const auto e = to_euler(q, seq);
            // The third angle is 0 and the first carries the turn: the same rotation.
            CHECK_SAME(e[2].angle, 0.0);
            CHECK(std::fabs(e[1].angle - b) <= 2 * ULP);
            CHECK(distance_pm(from_euler(seq, e[0], e[1], e[2]), q) <= 4 * ULP);
        }
        // Near lock every angle counts: what comes back rebuilds the rotation to rounding.
        for (double off : {1e-8, 1e-11, 1e-14}) {
            const Quat q = from_euler(seq, {0.3}, {locks[0] + off}, {-1.2});
            const auto n = to_euler(q, seq);
            CHECK(distance_pm(from_euler(seq, n[0], n[1], n[2]), q) <= 4 * ULP);
        }
        // Off lock by more than rounding, all three angles come back.
        const auto e = to_euler(from_euler(seq, {0.3}, {locks[1] - 1e-6}, {-1.2}), seq);
        CHECK(std::fabs(e[2].angle + 1.2) < 1e-8);
    }
}
