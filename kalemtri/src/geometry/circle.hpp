#pragma once
// A circle in space: it lies in the plane through `center` perpendicular to `normal`. The
// constructor stores a unit normal and a non-negative radius; the fields are public and every
// operation uses them as stored.
#include <bit>
#include <cmath>
#include <cstdint>

#include "kalemtri/src/geometry/plane.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::geometry {

struct Circle {
    Vec3d center;
    double radius;
    Vec3d normal;

    // The center as given, fabs(radius) and normalize(normal).
    static Circle make(const Vec3d& center, double radius, const Vec3d& normal) {
        return {center, std::fabs(radius), normalize(normal)};
    }

    // The empty circle. Its NaN normal keeps it off every plane and unequal to everything.
    static constexpr Circle none() {
        constexpr double nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
        return {Vec3d::zero(), 0.0, {nan, nan, nan}};
    }

    // (radius * radius) * pi: the square rounded first.
    double area() const { return (radius * radius) * 3.141592653589793; }

    // Plane::from_point(normal, center).
    Plane get_plane() const { return Plane::from_point(normal, center); }

    // No tolerance: -0.0 is degenerate, the smallest positive radius is not.
    bool is_degenerate() const { return radius == 0.0; }

    // Normals must be exactly parallel; no tolerance on the direction. With opposite normals the
    // offsets of two coincident planes have opposite signs, hence the sum. With the offsets
    // own = dot(normal, center) and theirs = dot(other.normal, other.center): equal normals need
    // fabs(theirs - own) < EPSILON, opposite ones fabs(theirs + own) < EPSILON.
    bool in_same_plane(const Circle& other) const {
        const double own = dot(normal, center);
        const double theirs = dot(other.normal, other.center);
        if (exactly_equal(normal, other.normal)) return std::fabs(theirs - own) < EPSILON;
        if (exactly_opposite(normal, other.normal)) return std::fabs(theirs + own) < EPSILON;
        return false;
    }

    // Exact, with the normal up to sign: reversing a circle's normal gives the same circle.
    bool operator==(const Circle& other) const {
        return exactly_equal(center, other.center) && radius == other.radius &&
               (exactly_equal(normal, other.normal) || exactly_opposite(normal, other.normal));
    }

  private:
    static bool exactly_equal(const Vec3d& a, const Vec3d& b) {
        return a.x == b.x && a.y == b.y && a.z == b.z;
    }
    static bool exactly_opposite(const Vec3d& a, const Vec3d& b) {
        return a.x == -b.x && a.y == -b.y && a.z == -b.z;
    }
};

} // namespace kalemtri::geometry
