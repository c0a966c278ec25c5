#pragma once
// Where lines, points and circles meet planes and circles. Bad geometry (zero vectors, parallel
// lines, NaN fields) is not tested for: it yields NaN or infinite components, false, or no result.
#include <cmath>
#include <optional>
#include <utility>

#include "kalemtri/src/geometry/circle.hpp"
#include "kalemtri/src/geometry/plane.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::geometry {

// The point where the infinite line through a and b meets the plane. A line parallel to the plane
// gives infinite or NaN components, a == b gives NaN in all three. With u = b - a,
// t = -plane.distance_to_point(a) / dot(normal, u), and the result a + t * u (the product rounded
// per component, then the sum).
inline Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    const Vec3d u = b - a;
    const double t = -plane.distance_to_point(a) / dot(plane.normal, u);
    return a + t * u;
}

// Without the plane test the circle acts as a sphere (with `inner`, as a solid ball). With
// delta = distance_to(point, center): true when `inner` and radius > delta, else when
// fabs(delta - radius) < EPSILON.
inline bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    const double delta = distance_to(point, circle.center);
    if (inner && circle.radius > delta) return true;
    // An absolute tolerance: from a radius of 1 up it is exact equality.
    return std::fabs(delta - circle.radius) < EPSILON;
}

// On the rim, or with `inner` on the closed disc, and in the circle's plane.
inline bool circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    if (!circle.get_plane().contains_point(point)) return false;
    return circle_point_unchecked(circle, point, inner);
}

// The two crossing points of two coplanar circles; touching circles give their touching point
// twice. Reversing the second circle's normal swaps the pair. Equal circles, circles in different
// planes, and circles apart or nested give no result. With delta the distance of the centres and
// e = c2.center - c1.center: t = (r1*r1 - r2*r2) / (delta*delta + delta*delta) + 0.5 and
// h = sqrt(r1*r1 - (t*t) * (delta*delta)) (0 where that rounds below zero); the midpoint
// m = c1.center + t * e, the direction w = normalize(cross(e, c2.normal)), and the pair
// (m + h * w, m - h * w), each operation rounded in the order written.
inline std::optional<std::pair<Vec3d, Vec3d>> circle_circle(const Circle& c1, const Circle& c2) {
    if (c1 == c2 || !c1.in_same_plane(c2)) return std::nullopt;
    const double r1 = c1.radius;
    const double r2 = c2.radius;
    const double delta = distance_to(c1.center, c2.center);
    if (delta > r1 + r2 || std::fabs(r1 - r2) > delta) return std::nullopt;

    // Fraction of the way from c1 to c2 at which the chord cuts the line of centres.
    const double t = (r1 * r1 - r2 * r2) / (delta * delta + delta * delta) + 0.5;
    const double h2 = r1 * r1 - (t * t) * (delta * delta);
    // Touching circles can round h2 just below zero; a NaN h2 stays NaN.
    const double h = h2 < 0.0 ? 0.0 : std::sqrt(h2);

    const Vec3d e = c2.center - c1.center;
    const Vec3d m = c1.center + t * e;
    const Vec3d w = normalize(cross(e, c2.normal));
    return std::pair{m + h * w, m - h * w};
}

} // namespace kalemtri::geometry
