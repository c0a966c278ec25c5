#pragma once
// Quaternions for rotations. Nothing normalises a quaternion implicitly: a non-unit quaternion
// rotates and scales by its squared magnitude, and only normalize() divides by the magnitude.
#include <array>
#include <cmath>
#include <math.h> // ::sincos (glibc)
#include <utility>

#include "kalemtri/src/angle.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri {

struct Quat {
    double w, i, j, k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }

    // (w, -i, -j, -k): sign flips only, exact.
    Quat conjugate() const { return {w, -i, -j, -k}; }

    // sqrt(((w*w + i*i) + j*j) + k*k): the squares summed left to right, then one correctly rounded
    // square root.
    double magnitude() const { return std::sqrt(((w * w + i * i) + j * j) + k * k); }

    // (w / m, i / m, j / m, k / m) with m = magnitude(): four divisions by the one magnitude, no
    // reciprocal. No guard: the zero quaternion gives four NaNs.
    Quat normalize() const {
        const double m = magnitude();
        return {w / m, i / m, j / m, k / m};
    }

    // fabs(magnitude() - 1) < EPSILON, strictly; false for a NaN magnitude.
    bool is_unit() const { return std::fabs(magnitude() - 1.0) < EPSILON; }

    // The half angle is negated so that rotate() turns by +angle about a unit axis (right-hand
    // rule); the vector part therefore points opposite to the axis. The axis is used as given.
    // With h = angle * -0.5 and the platform's sin(h) and cos(h) from one sincos call, the result
    // is (cos h, axis.x * sin h, axis.y * sin h, axis.z * sin h).
    static Quat from_axis_angle(const Vec3d& axis, AngleRadians angle) {
        const double h = angle.angle * -0.5;
        double s, c;
        ::sincos(h, &s, &c);
        return {c, axis.x * s, axis.y * s, axis.z * s};
    }

    // The vector part of conj(q) * (0, v) * q, without normalising q. The products with the zero
    // scalar of (0, v) are really computed: with an infinite component they make NaN, and they
    // decide the sign of zero results. Straight-line code, the inner loop of batch rotation.
    // First t = (0, v) * q as four sums of products, each summed left to right as written; then
    // the vector part of conj(q) * t, again left to right, its last term subtracted.
    Vec3d rotate(const Vec3d& v) const {
        const double x = v.x, y = v.y, z = v.z;
        const double t0 = ((0.0 * w + i * x) + j * y) + k * z;
        const double t1 = ((w * x - i * 0.0) - j * z) + k * y;
        const double t2 = ((w * y - j * 0.0) - k * x) + i * z;
        const double t3 = ((w * z - k * 0.0) - i * y) + j * x;
        return {((w * t1 + i * t0) + k * t2) - j * t3, ((w * t2 + j * t0) + i * t3) - k * t1,
                ((w * t3 + k * t0) + j * t1) - i * t2};
    }

    // Reads w as cos(theta/2) and the vector part as sin(theta/2) * axis: the opposite sign
    // convention to from_axis_angle. Only w decides the identity branch; nothing is normalised,
    // and |w| > 1 gives NaN throughout. theta = acos(w) + acos(w) (exactly 2 acos(w)), then
    // s = sin(theta * 0.5) and the axis (i / s, j / s, k / s).
    std::pair<Vec3d, AngleRadians> to_axis_angle() const {
        if (std::fabs(w + -1.0) < EPSILON) return {Vec3d::i(), AngleRadians::zero()};
        const double theta = std::acos(w) + std::acos(w);
        const double s = std::sin(theta * 0.5);
        return {Vec3d{i / s, j / s, k / s}, AngleRadians{theta}};
    }

    // The vector part (i, j, k), copied.
    std::array<double, 3> to_vec() const { return {i, j, k}; }
};

// The pure quaternion of a vector; w is +0.0.
inline Quat to_quat(const Vec3d& v) { return {0.0, v.x, v.y, v.z}; }

} // namespace kalemtri
