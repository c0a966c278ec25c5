#include <cmath>
#include <limits>

#include "check.hpp"
#include "kalemtri/src/angle.hpp"

using namespace kalemtri;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();

TEST(conversion_and_trigonometry) {
    // Multiply first, divide second: the last bit shows it.
    CHECK_SAME(AngleRadians{1.0 / 3.0}.to_degrees().angle, 19.098593171027442);
    CHECK_SAME(AngleDegrees{3}.to_radians().angle, 0.05235987755982988);
    // Never reduced into one turn.
    CHECK_SAME((AngleRadians::two_pi() + AngleRadians::two_pi()).to_degrees().angle, 720.0);
    // Unguarded reciprocals: a signed zero gives a signed infinity.
    CHECK_SAME(AngleRadians{-0.0}.cot(), -inf);
    CHECK_SAME(AngleRadians{-0.0}.csc(), -inf);
    // cot is 1/tan, which differs from cos/sin here.
    CHECK_SAME(AngleRadians{1.0}.cot(), 0.6420926159343306);
    // The stored value goes to libm as is, not reduced first.
    CHECK_SAME(AngleRadians{1e22}.sin(), std::sin(1e22));
    CHECK(AngleRadians{1e22}.sin() != std::sin(std::fmod(1e22, AngleRadians::two_pi().angle)));
}

TEST(comparison) {
    const AngleRadians nz = -AngleRadians::zero();
    CHECK(std::signbit(nz.angle));
    CHECK(nz == AngleRadians::zero() && !(nz != AngleRadians::zero()));
    CHECK(nz <= AngleRadians::zero() && nz >= AngleRadians::zero() && !(nz < AngleRadians::zero()));
    const AngleRadians n{nan_};
    CHECK(!(n == n) && n != n);
    CHECK(!(n < n) && !(n <= n) && !(n > n) && !(n >= n));
}

TEST(angle_between_vectors) {
    CHECK_SAME(angle_to(Vec3d::i(), Vec3d::j()).angle, 1.5707963267948966);
    // The ratio rounds to 1.0000000000000002 and -1.0000000000000002; the clamp catches both.
    CHECK_SAME(angle_to(Vec3d{1, 1, 1}, Vec3d{2, 2, 2}).angle, 0.0);
    CHECK_SAME(angle_to(Vec3d{1, 1, 1}, Vec3d{-2, -2, -2}).angle, AngleRadians::pi().angle);
    // ...but a NaN ratio is not clamped.
    CHECK(std::isnan(angle_to(Vec3d{1, 2, 3}, Vec3d::zero()).angle));
}
