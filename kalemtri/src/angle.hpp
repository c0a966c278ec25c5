#pragma once
// Angles in two unit-typed wrappers so a caller never confuses radians with degrees. Radians is the
// working type (trigonometry, arithmetic, ordering); degrees is only for display and conversion.
// Nothing ever reduces an angle into a range: every operation works on the stored double unchanged.
#include <cmath>

#include "kalemtri/src/vec3d.hpp"

namespace kalemtri {

struct AngleDegrees;

struct AngleRadians {
    double angle;

    // Fixed literals rather than run-time expressions: third_pi and sixth_pi are the double pi
    // divided by 3.0 and 6.0, which is not the double nearest to the true value.
    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {3.141592653589793}; }
    static constexpr AngleRadians two_pi() { return {6.283185307179586}; }
    static constexpr AngleRadians half_pi() { return {1.5707963267948966}; }
    static constexpr AngleRadians quarter_pi() { return {0.7853981633974483}; }
    static constexpr AngleRadians third_pi() { return {1.0471975511965976}; }
    static constexpr AngleRadians sixth_pi() { return {0.5235987755982988}; }

    // The platform's libm on the stored angle, unreduced; the last bit may differ between
    // platforms.
    double sin() const { return std::sin(angle); }
    double cos() const { return std::cos(angle); }
    double tan() const { return std::tan(angle); }
    // Reciprocals of the libm results with no guard: a zero gives a signed infinity. cot is 1/tan,
    // not cos/sin, which differs in the last bit.
    double sec() const { return 1.0 / std::cos(angle); }
    double csc() const { return 1.0 / std::sin(angle); }
    double cot() const { return 1.0 / std::tan(angle); }

    AngleDegrees to_degrees() const;
};

struct AngleDegrees {
    double angle;

    // (angle * pi) / 180: multiply first, divide second; a precomputed pi/180 changes the last bit
    // (3 degrees).
    AngleRadians to_radians() const { return {(angle * AngleRadians::pi().angle) / 180.0}; }
};

// (angle * 180) / pi: multiply first, divide second.
inline AngleDegrees AngleRadians::to_degrees() const {
    return {(angle * 180.0) / AngleRadians::pi().angle};
}

// One rounded operation on the stored doubles each: a + b, a - b, a * s, a / s; negation is exact.
inline AngleRadians operator+(AngleRadians a, AngleRadians b) { return {a.angle + b.angle}; }
inline AngleRadians operator-(AngleRadians a, AngleRadians b) { return {a.angle - b.angle}; }
inline AngleRadians operator*(AngleRadians a, double s) { return {a.angle * s}; }
inline AngleRadians operator/(AngleRadians a, double s) { return {a.angle / s}; }
inline AngleRadians operator-(AngleRadians a) { return {-a.angle}; }

// Exact comparisons of the stored doubles: 0.0 == -0.0, and anything against NaN is false.
inline bool operator==(AngleRadians a, AngleRadians b) { return a.angle == b.angle; }
inline bool operator!=(AngleRadians a, AngleRadians b) { return !(a == b); }
inline bool operator<(AngleRadians a, AngleRadians b) { return a.angle < b.angle; }
inline bool operator<=(AngleRadians a, AngleRadians b) { return a.angle <= b.angle; }
inline bool operator>(AngleRadians a, AngleRadians b) { return a.angle > b.angle; }
inline bool operator>=(AngleRadians a, AngleRadians b) { return a.angle >= b.angle; }

// The unsigned angle between the directions of a and b, in [0, pi]. Rounding can push the cosine
// ratio just past ±1 for (anti)parallel vectors; it is clamped so those give exactly 0 and pi. The
// clamp is written so that a NaN ratio (a zero vector) stays NaN. The ratio is
// dot(a, b) / (|a| * |b|), the product of the magnitudes rounded before the division, and the
// result acos(clamped ratio) from the platform's libm.
inline AngleRadians angle_to(const Vec3d& a, const Vec3d& b) {
    const double r = dot(a, b) / (magnitude(a) * magnitude(b));
    const double c = r > 1.0 ? 1.0 : (r < -1.0 ? -1.0 : r);
    return {std::acos(c)};
}

} // namespace kalemtri
