#pragma once
// An infinite plane: the points p with dot(normal, p) + distance == 0. The constructors store a
// unit normal; the fields are public and every operation uses them as stored, whatever their
// length.
#include <cmath>

#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::geometry {

struct Plane {
    Vec3d normal;
    double distance;

    // normalize(normal), and the distance kept as given, not rescaled by the normal's length.
    static Plane make(const Vec3d& normal, double distance) {
        return {normalize(normal), distance};
    }

    // n = normalize(normal) and distance -dot(n, point): the distance comes from the normalised
    // normal, so the plane passes through `point` whatever the length of `normal`.
    static Plane from_point(const Vec3d& normal, const Vec3d& point) {
        const Vec3d n = normalize(normal);
        return {n, -dot(n, point)};
    }

    // from_point(cross(p2 - p1, p3 - p1), p1). The normal points to the side from which p1, p2, p3
    // run counter-clockwise; collinear or coincident points give a NaN normal.
    static Plane from_points(const Vec3d& p1, const Vec3d& p2, const Vec3d& p3) {
        return from_point(cross(p2 - p1, p3 - p1), p1);
    }

    static constexpr Plane xy() { return {Vec3d::k(), 0.0}; }
    static constexpr Plane xz() { return {Vec3d::j(), 0.0}; }
    static constexpr Plane yz() { return {Vec3d::i(), 0.0}; }

    // dot(normal, point) + distance, the dot product rounded first. Signed: positive on the side
    // the normal points to.
    double distance_to_point(const Vec3d& point) const { return dot(normal, point) + distance; }

    // fabs(distance_to_point(point)) < EPSILON, strictly. Two-sided, so a point far behind the
    // plane is not on it; NaN anywhere gives false.
    bool contains_point(const Vec3d& point) const {
        return std::fabs(distance_to_point(point)) < EPSILON;
    }
};

} // namespace kalemtri::geometry
