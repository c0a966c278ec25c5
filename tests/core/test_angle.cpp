#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "angle.hpp"
#include "check.hpp"

using namespace kalemtri;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();

template <typename A> static std::string text(A a) {
    char buf[MAX_RADIANS_TEXT];
    return std::string(buf, write_text(a, buf));
}
template <typename A> static std::string text(A a, int precision) {
    char buf[max_radians_text(340)];
    return std::string(buf, write_text(a, precision, buf));
}

TEST(unit_conversion_order) {
    // Multiply first, divide second: the last bit shows it.
    CHECK_SAME(AngleRadians::third_pi().to_degrees().angle, 59.99999999999999);
    CHECK_SAME(AngleRadians::sixth_pi().to_degrees().angle, 29.999999999999996);
    CHECK_SAME(AngleRadians::half_pi().to_degrees().angle, 90.0);
    CHECK_SAME(AngleRadians::pi().to_degrees().angle, 180.0);
    CHECK_SAME(AngleRadians::two_pi().to_degrees().angle, 360.0);
    CHECK_SAME(AngleDegrees{3}.to_radians().angle, 0.05235987755982988);
    CHECK_SAME(AngleDegrees{90}.to_radians().angle, AngleRadians::half_pi().angle);
    CHECK_SAME(AngleDegrees{180}.to_radians().angle, AngleRadians::pi().angle);
    CHECK_SAME(AngleDegrees{60}.to_radians().angle, AngleRadians::third_pi().angle);
    CHECK_SAME(AngleRadians::quarter_pi().angle * 4.0, AngleRadians::pi().angle);
    // Never reduced into one turn.
    const AngleRadians four_pi = AngleRadians::two_pi() + AngleRadians::two_pi();
    CHECK_SAME(four_pi.angle, 12.566370614359172);
    CHECK_SAME(four_pi.to_degrees().angle, 720.0);
}

TEST(trigonometry) {
    CHECK_SAME(AngleRadians::zero().cot(), inf);
    CHECK_SAME(AngleRadians::zero().csc(), inf);
    CHECK_SAME(AngleRadians{-0.0}.cot(), -inf);
    CHECK_SAME(AngleRadians{-0.0}.csc(), -inf);
    CHECK_SAME(AngleRadians::zero().sec(), 1.0);
    CHECK_SAME(AngleRadians::half_pi().sec(), 1.633123935319537e16);
    // cot is 1/tan, which differs from cos/sin here.
    CHECK_SAME(AngleRadians{1.0}.cot(), 0.6420926159343306);
    // The stored value goes to libm as is, not reduced first.
    CHECK_SAME(AngleRadians{1e22}.sin(), std::sin(1e22));
    CHECK(AngleRadians{1e22}.sin() != std::sin(std::fmod(1e22, AngleRadians::two_pi().angle)));
}

TEST(arithmetic_and_comparison) {
    CHECK_SAME((AngleRadians{2} * 3.0).angle, 6.0);
    CHECK_SAME((AngleRadians{1} / 0.0).angle, inf);
    CHECK_SAME((AngleRadians{-1} / 0.0).angle, -inf);
    CHECK_SAME((AngleRadians{0} / 0.0).angle, nan_);
    CHECK_SAME((AngleRadians{1} / 3.0).angle, 1.0 / 3.0);
    CHECK_SAME((AngleRadians{3} - AngleRadians{5}).angle, -2.0);
    const AngleRadians nz = -AngleRadians::zero();
    CHECK(std::signbit(nz.angle));
    CHECK(nz == AngleRadians::zero() && !(nz != AngleRadians::zero()));
    CHECK(nz <= AngleRadians::zero() && nz >= AngleRadians::zero() && !(nz < AngleRadians::zero()));
    CHECK(AngleRadians::sixth_pi() < AngleRadians::third_pi());
    CHECK(AngleRadians::pi() > AngleRadians::half_pi());
    const AngleRadians n{nan_};
    CHECK(!(n == n) && n != n);
    CHECK(!(n < n) && !(n <= n) && !(n > n) && !(n >= n));
    CHECK(!(n < AngleRadians{inf}) && !(n > AngleRadians{-inf}));
}

TEST(angle_between_vectors) {
    CHECK_SAME(angle_to(Vec3d::i(), Vec3d::j()).angle, 1.5707963267948966);
    CHECK_SAME(angle_to(Vec3d{1, 2, 3}, Vec3d{1, 2, 3}).angle, 0.0);
    // The ratio rounds to 1.0000000000000002 and -1.0000000000000002; the clamp keeps them in
    // range.
    CHECK_SAME(angle_to(Vec3d{1, 1, 1}, Vec3d{2, 2, 2}).angle, 0.0);
    CHECK_SAME(angle_to(Vec3d{1, 1, 1}, Vec3d{-2, -2, -2}).angle, AngleRadians::pi().angle);
    CHECK_SAME(angle_to(Vec3d::i(), -Vec3d::i()).angle, AngleRadians::pi().angle);
    // ...but a NaN ratio is not clamped.
    CHECK(std::isnan(angle_to(Vec3d::zero(), Vec3d{1, 2, 3}).angle));
    CHECK(std::isnan(angle_to(Vec3d{1, 2, 3}, Vec3d::zero()).angle));
    CHECK(std::isnan(angle_to(Vec3d{nan_, 0, 0}, Vec3d::i()).angle));
}

TEST(text_forms) {
    CHECK(text(AngleRadians::pi()) == "3.141592653589793 radians");
    CHECK(text(AngleRadians{1}) == "1 radians");
    CHECK(text(-AngleRadians::zero()) == "-0 radians");
    CHECK(text(AngleRadians{-0.5}) == "-0.5 radians");
    CHECK(text(AngleRadians{nan_}) == "NaN radians");
    CHECK(text(AngleRadians{-inf}) == "-inf radians");
    CHECK(text(AngleDegrees{90}) == "90\xC2\xB0");
    CHECK(text(AngleDegrees{-12.5}) == "-12.5\xC2\xB0");
    CHECK(text(AngleRadians::third_pi().to_degrees()) == "59.99999999999999\xC2\xB0");
    CHECK(text(AngleDegrees{1e-7}) == "0.0000001\xC2\xB0");
    CHECK(text(AngleRadians::pi(), 3) == "3.142 radians");
    CHECK(text(AngleRadians{1}, 2) == "1.00 radians");
    CHECK(text(AngleDegrees{-12.5}, 0) == "-12\xC2\xB0"); // ties go to even
    CHECK(text(AngleDegrees{0.375}, 2) == "0.38\xC2\xB0");
    CHECK(text(AngleRadians{nan_}, 4) == "NaN radians");
}

TEST(text_buffer_bounds) {
    // The documented sizes cover the longest numbers in either form.
    for (const double v : {-DBL_MAX, -DBL_TRUE_MIN, -0.1234567890123456}) {
        CHECK(text(AngleRadians{v}).size() <= MAX_RADIANS_TEXT);
        CHECK(text(AngleDegrees{v}).size() <= MAX_DEGREES_TEXT);
        for (const int p : {-5, 0, 17, 340, 100000}) {
            CHECK(text(AngleRadians{v}, p).size() <= max_radians_text(p));
            CHECK(text(AngleDegrees{v}, p).size() <= max_degrees_text(p));
        }
    }
}
