#include <cmath>
#include <limits>

#include "check.hpp"
#include "kalemtri/src/matrix.hpp"
#include "kalemtri/src/quat.hpp"

using namespace kalemtri;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();
static const double r = 0.7071067811865476, r_ = 0.7071067811865475; // cos and -sin of -pi/4

static const Quat q90 = Quat::from_axis_angle(Vec3d::k(), AngleRadians::half_pi());

static bool same(const Quat& a, const Quat& b) {
    return check::same(a.w, b.w) && check::same(a.i, b.i) && check::same(a.j, b.j) &&
           check::same(a.k, b.k);
}

TEST(basic_operations) {
    CHECK(same(Quat{1, -2, 0, 4}.conjugate(), (Quat{1, 2, -0.0, -4})));
    CHECK(same(to_quat(-Vec3d::zero()), (Quat{0, -0.0, -0.0, -0.0}))); // w is +0.0
    CHECK((Quat{9, 1, 2, 3}.to_vec() == std::array<double, 3>{1, 2, 3}));
    CHECK(same(Quat{0, 0, 0, 0}.normalize(), (Quat{nan_, nan_, nan_, nan_})));
    CHECK(same(Quat{0, 3, 0, -4}.normalize(), (Quat{0, 0.6, 0, -0.8})));
    CHECK_SAME((Quat{-0.36, 0.97, 0.67, 0.13}.magnitude()), 1.2394756956068158); // sum order
    CHECK((Quat{0, 0.6, 0, 0.8}.is_unit()));
    CHECK((!Quat{1 + 0x1p-52, 0, 0, 0}.is_unit())); // off by exactly the tolerance
    CHECK((Quat{1 - 0x1p-53, 0, 0, 0}.is_unit()));
    CHECK((!Quat{nan_, 0, 0, 0}.is_unit()));
}

TEST(rotation) {
    CHECK(same(q90, (Quat{r, -0.0, -0.0, -r_})));
    CHECK_SAME(q90.rotate(Vec3d::i()), (Vec3d{2.220446049250313e-16, 1.0, 0.0}));
    // The axis is not normalised, nor is the quaternion before rotating: |q|^2 scales the result.
    const Quat q2 = Quat::from_axis_angle(Vec3d{0, 0, 2}, AngleRadians::pi());
    CHECK_SAME(q2.rotate(Vec3d::i()), (Vec3d{-4, 2.4492935982947064e-16, 0}));
    // Pins the summation order: regrouping any one of the seven sums changes the result.
    CHECK_SAME((Quat{-0.36, 0.97, 0.67, 0.13}.rotate(Vec3d{2, 3.1, 3.3})),
               (Vec3d{7.372800000000002, -0.11888999999999955, -1.8582299999999996}));
    // The products with the zero scalar are computed: without k*0, z' would be inf here.
    const Vec3d a = Quat{0, 1, 1, inf}.rotate(Vec3d{1, 1, 1});
    CHECK(std::isnan(a.x) && std::isnan(a.y) && std::isnan(a.z));
    // They also decide the sign of zero results: one case each for k*0, 0*w, i*0 and j*0.
    CHECK_SAME((Quat{0, 0, -1, -0.0}.rotate(Vec3d{0, 1, -1})), (Vec3d{0, 1, 1}));
    CHECK_SAME((Quat{0, 0, 1, -0.0}.rotate(Vec3d{-0.0, -0.0, 1})), (Vec3d{0, 0, -1}));
    CHECK_SAME((Quat{0, -0.0, 0, -1}.rotate(Vec3d{-1, 0, 1})), (Vec3d{1, 0, 1}));
    CHECK_SAME((Quat{0, -1, -0.0, 0}.rotate(Vec3d{1, -1, 0})), (Vec3d{1, 1, 0}));
}

TEST(axis_angle_decomposition) {
    struct Case {
        Quat q;
        Vec3d axis;
        double angle;
    };
    const Case cases[] = {
        {q90, {-0.0, -0.0, -1}, 1.5707963267948966},
        {{1 - 0x1p-53, 0, 0, 1}, Vec3d::i(), 0}, // only w decides the identity branch
        {{0, 0, 0, 1}, Vec3d::k(), 3.141592653589793},
        {{-1, 0, 0, 1.2246467991473532e-16}, Vec3d::k(), 6.283185307179586}, // s = sin(pi)
        // Just outside the identity branch, below and above 1.
        {{1 - 0x1p-52, 0, 0, 0}, Vec3d::zero(), 4.2146848510894035e-08},
        {{1 + 0x1p-52, 0, 0, 0}, {nan_, nan_, nan_}, nan_},
    };
    for (const Case& c : cases) {
        ROW(cases, c);
        const auto [axis, angle] = c.q.to_axis_angle();
        CHECK_SAME(axis, c.axis);
        CHECK_SAME(angle.angle, c.angle);
    }
}

TEST(rotation_matrix) {
    // Rows as written, not transposed; no -0.0 at stake here.
    CHECK((to_rotation_matrix(Quat{1, 1, 1, 1}) == Matrix3{{{-3, 0, 4}, {4, -3, 0}, {0, 4, -3}}}));
    // 1 - 2(j*j + k*k) with the bracket summed first: subtracting the squares one by one, or the
    // two doublings separately, rounds differently.
    CHECK_SAME(to_rotation_matrix(Quat{0, 0, 0x1p-27, 0x1p-27})[0][0], 1 - 0x1p-52);
    CHECK_SAME(to_rotation_matrix(Quat{0, 0, 0.5, 0x3p-29})[0][0], 0.4999999999999999);
}
