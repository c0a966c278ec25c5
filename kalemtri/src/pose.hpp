#pragma once
// Rigid poses: a rotation followed by a translation, v -> rotation.rotate(v) + translation. Like
// Quat, nothing is normalised: a non-unit rotation also scales by its squared magnitude. Every
// formula is the quaternion's and the vector's own, evaluated as written, so a pose gives the bits
// of the calls it is made of.
#include <array>
#include <cmath>

#include "kalemtri/src/matrix.hpp"
#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri {

using Matrix4 = std::array<std::array<double, 4>, 4>;

struct Pose {
    Quat rotation;
    Vec3d translation;

    static constexpr Pose identity() { return {Quat::identity(), Vec3d::zero()}; }

    // rotation.rotate(v) + translation: the rotation rounded first, then one sum per component.
    Vec3d apply(const Vec3d& v) const { return rotation.rotate(v) + translation; }

    // This pose followed by p, the order of Quat::then: a.then(b).apply(v) is b.apply(a.apply(v))
    // up to rounding. Rotation a.rotation.then(b.rotation); translation
    // b.rotation.rotate(a.translation) + b.translation.
    Pose then(const Pose& p) const {
        return {rotation.then(p.rotation), p.rotation.rotate(translation) + p.translation};
    }

    // With r = rotation.inverse(): rotation r, translation -(r.rotate(translation)). A unit
    // rotation gives the pose that undoes this one up to rounding; a zero rotation gives NaN.
    Pose inverse() const {
        const Quat r = rotation.inverse();
        return {r, -r.rotate(translation)};
    }

    // Rows [[R, t], [0, 0, 0, 1]] with R = kalemtri::to_matrix(rotation): for a unit rotation,
    // M @ (v, 1) is (apply(v), 1) for column vectors.
    Matrix4 to_matrix() const {
        const Matrix3 r = kalemtri::to_matrix(rotation);
        const Vec3d& t = translation;
        return {{{r[0][0], r[0][1], r[0][2], t.x},
                 {r[1][0], r[1][1], r[1][2], t.y},
                 {r[2][0], r[2][1], r[2][2], t.z},
                 {0.0, 0.0, 0.0, 1.0}}};
    }

    // The pose of the top three rows of a 4x4 (or 3x4) matrix: rotation from_rotation_matrix of
    // the left 3x3 block, translation the last column. The bottom row is the caller's to check.
    static Pose from_matrix(const std::array<std::array<double, 4>, 3>& m) {
        const Matrix3 r{{{m[0][0], m[0][1], m[0][2]},
                         {m[1][0], m[1][1], m[1][2]},
                         {m[2][0], m[2][1], m[2][2]}}};
        return {from_rotation_matrix(r), {m[0][3], m[1][3], m[2][3]}};
    }

    // Rotation Quat::slerp(a.rotation, b.rotation, t); translation (1 - t) * a + t * b per
    // component, u = 1 - t rounded first, each product rounded, then the sum. t = 0 and t = 1 give
    // a's and b's finite translations exactly (0 * x is a zero; -0.0 becomes +0.0).
    static Pose interpolate(const Pose& a, const Pose& b, double t) {
        const double u = 1.0 - t;
        const Vec3d& p = a.translation;
        const Vec3d& q = b.translation;
        return {Quat::slerp(a.rotation, b.rotation, t),
                {u * p.x + t * q.x, u * p.y + t * q.y, u * p.z + t * q.z}};
    }
};

inline bool has_nan(const Pose& p) { return has_nan(p.rotation) || has_nan(p.translation); }

} // namespace kalemtri
