#pragma once
// The three-component vector every other part of the library is built on. Every operation is a pure
// function whose floating-point evaluation order is fixed, so batch kernels that inline these
// functions give results bit-identical to the single-vector ones; which NaN an element-wise
// operation returns is fixed too (x86_nan.hpp).
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include "kalemtri/src/panic.hpp"
#include "kalemtri/src/x86_nan.hpp"

namespace kalemtri {

// The single tolerance of the library, always compared with a strict less-than.
inline constexpr double EPSILON = 2.220446049250313e-16;

// Results are those of double-precision arithmetic only when nothing is evaluated wider (x87).
static_assert(FLT_EVAL_METHOD == 0, "build with SSE2 floating point (-msse2 -mfpmath=sse)");
// -ffast-math reassociates and approximates. (Fused multiply-adds are caught after linking: no
// macro tells whether the compiler contracts.)
#if defined(__FAST_MATH__)
#error "build without -ffast-math: results must be those of the formulas as written"
#endif

struct Vec3d {
    double x, y, z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }
};

// Vec3d's components as X86Nan numbers, for evaluating the formulas below with x86's NaN rules
// (x86_nan.hpp).
struct X86Vec3 {
    X86Nan x, y, z;
};
inline X86Vec3 x86(const Vec3d& a) { return {a.x, a.y, a.z}; }
inline Vec3d plain(const X86Vec3& a) { return {a.x.v, a.y.v, a.z.v}; }
inline bool has_nan(const Vec3d& a) {
    return std::isnan(a.x) || std::isnan(a.y) || std::isnan(a.z);
}

// The formulas of the element-wise operations, each written once for Vec3d and X86Vec3. The
// functions below evaluate them with x86's NaN rules; the batch kernels evaluate them with plain
// doubles and redo only the elements whose result holds a NaN.
namespace formula {

template <class V> using vector_t = std::remove_cvref_t<V>;

inline constexpr auto add = [](const auto& a, const auto& b) {
    return vector_t<decltype(a)>{a.x + b.x, a.y + b.y, a.z + b.z};
};
inline constexpr auto sub = [](const auto& a, const auto& b) {
    return vector_t<decltype(a)>{a.x - b.x, a.y - b.y, a.z - b.z};
};
inline constexpr auto mul = [](const auto& a, const auto& s) {
    return vector_t<decltype(a)>{a.x * s, a.y * s, a.z * s};
};
inline constexpr auto div = [](const auto& a, const auto& s) {
    return vector_t<decltype(a)>{a.x / s, a.y / s, a.z / s};
};
inline constexpr auto dot = [](const auto& a, const auto& b) {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
};
inline constexpr auto cross = [](const auto& a, const auto& b) {
    return vector_t<decltype(a)>{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z,
                                 a.x * b.y - a.y * b.x};
};
inline constexpr auto magnitude = [](const auto& a) {
    using std::sqrt;
    return sqrt((a.x * a.x + a.y * a.y) + a.z * a.z);
};
inline constexpr auto normalize = [](const auto& a) {
    const auto m = magnitude(a);
    return vector_t<decltype(a)>{a.x / m, a.y / m, a.z / m};
};
inline constexpr auto distance_to = [](const auto& a, const auto& b) {
    return magnitude(sub(a, b));
};

} // namespace formula

// a + b = (ax + bx, ay + by, az + bz), one rounding per component.
inline Vec3d operator+(const Vec3d& a, const Vec3d& b) { return x86_nans(formula::add, a, b); }
// a - b = (ax - bx, ay - by, az - bz).
inline Vec3d operator-(const Vec3d& a, const Vec3d& b) { return x86_nans(formula::sub, a, b); }
// a * s = (ax * s, ay * s, az * s).
inline Vec3d operator*(const Vec3d& a, double s) { return x86_nans(formula::mul, a, s); }
// s * a = a * s: the same products, each with the vector's component as the first operand.
inline Vec3d operator*(double s, const Vec3d& a) { return a * s; }
// a / s = (ax / s, ay / s, az / s): three true divisions, not a multiplication by 1/s, whose last
// bit differs.
inline Vec3d operator/(const Vec3d& a, double s) { return x86_nans(formula::div, a, s); }
// -a = (-ax, -ay, -az): sign flips only, exact (and -0.0 for +0.0).
inline Vec3d operator-(const Vec3d& a) { return {-a.x, -a.y, -a.z}; }

// dot(a, b) = (ax*bx + ay*by) + az*bz: three rounded products, summed left to right.
inline double dot(const Vec3d& a, const Vec3d& b) { return x86_nans(formula::dot, a, b); }

// cross(a, b) = (ay*bz - az*by, az*bx - ax*bz, ax*by - ay*bx), each product rounded before the
// difference.
inline Vec3d cross(const Vec3d& a, const Vec3d& b) { return x86_nans(formula::cross, a, b); }

// |a| = sqrt((ax*ax + ay*ay) + az*az): the squares summed left to right, then one correctly
// rounded square root. Nothing is scaled: a component beyond about 1.3e154 squares to infinity.
inline double magnitude(const Vec3d& a) { return x86_nans(formula::magnitude, a); }

// fabs(|a| - 1) < EPSILON, strictly; false for a NaN magnitude.
inline bool is_unit(const Vec3d& a) {
    // Any NaN answers false: the plain formula serves, and the batch loop stays branch-free.
    return std::fabs(formula::magnitude(a) - 1.0) < EPSILON;
}

// a / |a| = (ax / m, ay / m, az / m) with m = |a|: three divisions by the one magnitude, no
// reciprocal. No guard: the zero vector gives three NaNs.
inline Vec3d normalize(const Vec3d& a) { return x86_nans(formula::normalize, a); }

// |a - b|: the difference rounded per component first, then magnitude().
inline double distance_to(const Vec3d& a, const Vec3d& b) {
    return x86_nans(formula::distance_to, a, b);
}

// to - from.
inline Vec3d new_from_to(const Vec3d& from, const Vec3d& to) { return to - from; }

// a . (b x c) = dot(a, cross(b, c)), the cross product rounded first.
inline double scalar_triple_product(const Vec3d& a, const Vec3d& b, const Vec3d& c) {
    return dot(a, cross(b, c));
}

// Distance from `a` to the infinite line through p1 and p2 (NaN when p1 == p2): with d = p2 - p1
// and w = a - p1, t = dot(w, d) / dot(d, d), the foot f = d * t + p1 per component (product
// rounded, then the sum), and the result |a - f|.
inline double distance_to_line(const Vec3d& a, const Vec3d& p1, const Vec3d& p2) {
    const Vec3d d = p2 - p1;
    const Vec3d w = a - p1;
    const double t = dot(w, d) / dot(d, d);
    const Vec3d f{d.x * t + p1.x, d.y * t + p1.y, d.z * t + p1.z};
    return magnitude(a - f);
}

// Orthogonal projection of `a` onto the line through line_q towards line_r: with d = line_r -
// line_q and w = line_q - a, t = dot(w, d) / dot(d, d), and the result line_q - t * d per
// component (product rounded, then the difference).
inline Vec3d project_onto_line(const Vec3d& a, const Vec3d& line_r, const Vec3d& line_q) {
    const Vec3d d = line_r - line_q;
    const Vec3d w = line_q - a;
    const double t = dot(w, d) / dot(d, d);
    return {line_q.x - t * d.x, line_q.y - t * d.y, line_q.z - t * d.z};
}

// a - dot(a, n) * n per component, with k = dot(a, n) rounded first. `normal` is used as given: a
// non-unit normal gives a scaled projection.
inline Vec3d project_onto_plane(const Vec3d& a, const Vec3d& normal) {
    const double k = dot(a, normal);
    return {a.x - k * normal.x, a.y - k * normal.y, a.z - k * normal.z};
}

// `a` with component `axis` (0, 1, 2) replaced by +0.0, the others copied; any other axis panics.
inline Vec3d collapse(const Vec3d& a, std::size_t axis) {
    switch (axis) {
    case 0:
        return {0.0, a.y, a.z};
    case 1:
        return {a.x, 0.0, a.z};
    case 2:
        return {a.x, a.y, 0.0};
    default:
        panic("explicit panic");
    }
}

// x, y or z for index 0, 1 or 2; any other index panics.
inline double component(const Vec3d& a, std::size_t index) {
    switch (index) {
    case 0:
        return a.x;
    case 1:
        return a.y;
    case 2:
        return a.z;
    default:
        panic("Index out of bounds");
    }
}

inline std::array<double, 3> to_array(const Vec3d& a) { return {a.x, a.y, a.z}; }

} // namespace kalemtri
