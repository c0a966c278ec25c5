#pragma once
// Quaternions for rotations. Nothing normalises a quaternion implicitly: a non-unit quaternion
// rotates and scales by its squared magnitude, and only normalize() divides by the magnitude.
#include <array>
#include <cfloat>
#include <cmath>
#include <math.h> // ::sincos (glibc)
#include <type_traits>
#include <utility>

#include "kalemtri/src/angle.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri {

struct Quat;

// Quat's components as X86Nan numbers, for evaluating the formulas below with x86's NaN rules
// (x86_nan.hpp).
struct X86Quat {
    X86Nan w, i, j, k;
};
inline X86Quat x86(const Quat& q);
inline Quat plain(const X86Quat& q);
inline bool has_nan(const Quat& q);

// The formulas of the operations with batch counterparts, written once for Quat and X86Quat (and
// Vec3d and X86Vec3); the member functions of the same names document them.
namespace formula {

template <class Q> using quat_t = std::remove_cvref_t<Q>;

inline constexpr auto quat_magnitude = [](const auto& q) {
    using std::sqrt;
    return sqrt(((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k);
};
inline constexpr auto quat_normalize = [](const auto& q) {
    const auto m = quat_magnitude(q);
    return quat_t<decltype(q)>{q.w / m, q.i / m, q.j / m, q.k / m};
};
inline constexpr auto rotate = [](const auto& q, const auto& v) {
    const auto &w = q.w, &i = q.i, &j = q.j, &k = q.k;
    const auto &x = v.x, &y = v.y, &z = v.z;
    const auto t0 = ((0.0 * w + i * x) + j * y) + k * z;
    const auto t1 = ((w * x - i * 0.0) - j * z) + k * y;
    const auto t2 = ((w * y - j * 0.0) - k * x) + i * z;
    const auto t3 = ((w * z - k * 0.0) - i * y) + j * x;
    return vector_t<decltype(v)>{((w * t1 + i * t0) + k * t2) - j * t3,
                                 ((w * t2 + j * t0) + i * t3) - k * t1,
                                 ((w * t3 + k * t0) + j * t1) - i * t2};
};
inline constexpr auto then = [](const auto& q, const auto& p) {
    const auto &w = q.w, &i = q.i, &j = q.j, &k = q.k;
    return quat_t<decltype(q)>{
        ((w * p.w - i * p.i) - j * p.j) - k * p.k, ((w * p.i + i * p.w) + j * p.k) - k * p.j,
        ((w * p.j - i * p.k) + j * p.w) + k * p.i, ((w * p.k + i * p.j) - j * p.i) + k * p.w};
};
inline constexpr auto inverse = [](const auto& q) {
    const auto n = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    return quat_t<decltype(q)>{q.w / n, -q.i / n, -q.j / n, -q.k / n};
};

} // namespace formula

// The power of two 2^e that brings the largest magnitude among x, y, z into [1, 2), for when s, the
// sum of their squares, overflowed or fell below the normal range; 0 (no scaling) when s is
// normal, or the components are not all finite, or all zero. Scaling by 2^e is exact down to the
// subnormal range, and keeps every square in range.
inline int rescaling(double s, double x, double y, double z) {
    if (s >= DBL_MIN && s <= DBL_MAX) return 0;
    if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) return 0;
    const double m = std::fmax(std::fabs(x), std::fmax(std::fabs(y), std::fabs(z)));
    return m == 0.0 ? 0 : -std::ilogb(m);
}

// normalize(a), with a first scaled by a power of two where |a|^2 over- or underflows: a unit
// vector for any finite non-zero a, and normalize(a)'s bits wherever that works.
inline Vec3d unit_direction(const Vec3d& a) {
    const int e = rescaling(formula::dot(a, a), a.x, a.y, a.z);
    if (e == 0) return normalize(a);
    return normalize(Vec3d{std::scalbn(a.x, e), std::scalbn(a.y, e), std::scalbn(a.z, e)});
}

struct Quat {
    double w, i, j, k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }

    // (w, -i, -j, -k): sign flips only, exact.
    Quat conjugate() const { return {w, -i, -j, -k}; }

    // sqrt(((w*w + i*i) + j*j) + k*k): the squares summed left to right, then one correctly rounded
    // square root.
    double magnitude() const { return x86_nans(formula::quat_magnitude, *this); }

    // (w / m, i / m, j / m, k / m) with m = magnitude(): four divisions by the one magnitude, no
    // reciprocal. No guard: the zero quaternion gives four NaNs.
    Quat normalize() const { return x86_nans(formula::quat_normalize, *this); }

    // fabs(magnitude() - 1) < EPSILON, strictly; false for a NaN magnitude.
    bool is_unit() const { return std::fabs(formula::quat_magnitude(*this) - 1.0) < EPSILON; }

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
    Vec3d rotate(const Vec3d& v) const { return x86_nans(formula::rotate, *this, v); }

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

    // ---------------------------------------------------------------------------------------
    // Composition, inversion, decomposition, interpolation. Each formula is evaluated exactly as
    // written, parentheses first, left to right.

    // The rotation by q followed by the rotation by p. rotate() reads conj(q) (0, v) q, so this is
    // the Hamilton product q p: q.then(p).rotate(v) is p.rotate(q.rotate(v)) up to rounding. With
    // q = (w1, i1, j1, k1) and p = (w2, i2, j2, k2):
    //   w = ((w1 w2 - i1 i2) - j1 j2) - k1 k2
    //   i = ((w1 i2 + i1 w2) + j1 k2) - k1 j2
    //   j = ((w1 j2 - i1 k2) + j1 w2) + k1 i2
    //   k = ((w1 k2 + i1 j2) - j1 i2) + k1 w2
    Quat then(const Quat& p) const { return x86_nans(formula::then, *this, p); }

    // conj(q) / |q|^2: n = ((w w + i i) + j j) + k k, then (w / n, -i / n, -j / n, -k / n). A unit
    // q gives its conjugate up to the rounding of n; the zero quaternion gives four NaNs.
    Quat inverse() const { return x86_nans(formula::inverse, *this); }

    // The unit axis and the angle in [0, pi] with from_axis_angle(axis, angle) rotating like q:
    //   n = sqrt((i i + j j) + k k), h = atan2(n, |w|), angle = h + h,
    //   axis = (i / d, j / d, k / d) with d = -n for w >= 0 (from_axis_angle's vector part points
    //   opposite to its axis) and d = n for w < 0 (read as -q, the same rotation, so that the
    //   angle stays at most pi).
    // Without a vector part (n == 0) the axis is (1, 0, 0). Only the direction of q counts, not
    // its magnitude: where (i i + j j) + k k would over- or underflow, w, i, j and k are first
    // scaled by one power of two, so every finite q has its axis and angle. An infinite component
    // gives NaN in the axis. Unlike to_axis_angle(), whose axis is negated.
    std::pair<Vec3d, AngleRadians> axis_angle() const {
        double sw = w, si = i, sj = j, sk = k;
        const double s = (i * i + j * j) + k * k;
        double n = std::sqrt(s);
        // Where s over- or underflows, all four are scaled by one power of two first: atan2 and the
        // divisions see the same ratios.
        const int e = rescaling(s, i, j, k);
        if (e != 0) {
            sw = std::scalbn(w, e);
            si = std::scalbn(i, e);
            sj = std::scalbn(j, e);
            sk = std::scalbn(k, e);
            n = std::sqrt((si * si + sj * sj) + sk * sk);
        }
        // A w too large to scale with the rest leaves an angle of at most 2^-1022: from n itself.
        const double h = std::isinf(sw) && std::isfinite(w)
                             ? std::atan2(std::scalbn(n, -e), std::fabs(w))
                             : std::atan2(n, std::fabs(sw));
        const double d = w < 0.0 ? n : -n;
        const Vec3d axis = n == 0.0 ? Vec3d::i() : Vec3d{si / d, sj / d, sk / d};
        return {axis, AngleRadians{h + h}};
    }

    // Spherical linear interpolation from a (t = 0) to b (t = 1) along the shorter arc, for unit
    // a and b:
    //   1. d = ((a.w b.w + a.i b.i) + a.j b.j) + a.k b.k. For d < 0, b becomes -b (every sign bit
    //      flipped): the same rotation, reached the short way round.
    //   2. theta = h + h with h = atan2(|a - b|, |a + b|) (magnitude() of the component-wise
    //      difference and sum), the angle between a and b as 4-vectors. Unlike acos(d) it needs
    //      no clamp (rounding can push d past 1) and keeps its digits for nearly equal
    //      quaternions, so no threshold switches to another formula.
    //   3. s = sin(theta); weights wa = sin((1 - t) theta) / s and wb = sin(t theta) / s, or the
    //      linear weights 1 - t and t where s == 0 (a equal to b: nothing to interpolate).
    //   4. each component a.x wa + b.x wb, with b as chosen in 1.
    // t outside [0, 1] extrapolates along the same arc. Nothing is normalised.
    static Quat slerp(const Quat& a, const Quat& b, double t) {
        const double d = ((a.w * b.w + a.i * b.i) + a.j * b.j) + a.k * b.k;
        const Quat c = d < 0.0 ? Quat{-b.w, -b.i, -b.j, -b.k} : b;
        const Quat diff{a.w - c.w, a.i - c.i, a.j - c.j, a.k - c.k};
        const Quat sum{a.w + c.w, a.i + c.i, a.j + c.j, a.k + c.k};
        const double h = std::atan2(diff.magnitude(), sum.magnitude());
        const double theta = h + h;
        const double s = std::sin(theta);
        double wa = 1.0 - t, wb = t;
        if (s != 0.0) {
            wa = std::sin((1.0 - t) * theta) / s;
            wb = std::sin(t * theta) / s;
        }
        return {a.w * wa + c.w * wb, a.i * wa + c.i * wb, a.j * wa + c.j * wb, a.k * wa + c.k * wb};
    }

    // The shortest rotation taking the direction of a to the direction of b. With u = normalize(a),
    // v = normalize(b), the half-way vector m = u + v, and n = magnitude(m):
    //   w = n * 0.5, vector part cross(m, u) / n.
    // m is exact where u and v nearly cancel, so cross(m, u) keeps its digits there, where
    // cross(v, u) would not. For an obtuse pair (dot(u, v) < 0) m is first made perpendicular to
    // d = u - v, m - d * (dot(m, d) / dot(d, d)): the rounding of |u| and |v| tilts u + v off the
    // bisector by up to 2^-52 / n, which matters once u and v are nearly opposite. Antiparallel
    // (n == 0): the half turn (0, p) with p = normalize(cross(u, e)), e the unit vector of u's
    // smallest component in magnitude (the first of equals, x before y before z). Where |a|^2 or
    // |b|^2 would over- or underflow, that vector is first scaled by a power of two, so any finite
    // non-zero a and b work; a zero or non-finite a or b gives NaN.
    static Quat between(const Vec3d& a, const Vec3d& b) {
        // Qualified: the members of the same names would hide the vector functions.
        const Vec3d u = unit_direction(a), v = unit_direction(b);
        Vec3d m = u + v;
        if (dot(u, v) < 0.0) {
            const Vec3d d = u - v;
            m = m - d * (dot(m, d) / dot(d, d));
        }
        const double n = kalemtri::magnitude(m);
        if (n == 0.0) {
            const double x = std::fabs(u.x), y = std::fabs(u.y), z = std::fabs(u.z);
            const Vec3d e = x <= y && x <= z ? Vec3d::i() : (y <= z ? Vec3d::j() : Vec3d::k());
            const Vec3d p = kalemtri::normalize(kalemtri::cross(u, e));
            return {0.0, p.x, p.y, p.z};
        }
        const Vec3d c = kalemtri::cross(m, u);
        return {n * 0.5, c.x / n, c.y / n, c.z / n};
    }
};

inline X86Quat x86(const Quat& q) { return {q.w, q.i, q.j, q.k}; }
inline Quat plain(const X86Quat& q) { return {q.w.v, q.i.v, q.j.v, q.k.v}; }
inline bool has_nan(const Quat& q) {
    return std::isnan(q.w) || std::isnan(q.i) || std::isnan(q.j) || std::isnan(q.k);
}

// The pure quaternion of a vector; w is +0.0.
inline Quat to_quat(const Vec3d& v) { return {0.0, v.x, v.y, v.z}; }

} // namespace kalemtri
