#pragma once
// Euler angles: three rotations about coordinate axes, in the 12 sequences and with the meaning of
// scipy's Rotation.from_euler / as_euler, so that angles move between the two libraries unchanged.
#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "kalemtri/src/angle.hpp"
#include "kalemtri/src/quat.hpp"

namespace kalemtri {

// Three axes (0 = x, 1 = y, 2 = z), none twice in a row: six Tait-Bryan sequences (xyz, xzy, ...)
// and six proper Euler sequences (xyx, xzx, ...). Extrinsic rotations turn about the fixed axes,
// the first angle's rotation applied first; intrinsic ones turn about the axes as they move, which
// is the extrinsic rotation of the reversed sequence with the reversed angles.
struct EulerSequence {
    std::array<int, 3> axes;
    bool intrinsic;
};

// "xyz"-style text: lower case is extrinsic, upper case intrinsic, no mixing; anything else
// (another length, another letter, an axis twice in a row) gives nothing.
constexpr std::optional<EulerSequence> euler_sequence(std::string_view s) {
    if (s.size() != 3) return std::nullopt;
    const bool intrinsic = s[0] >= 'X' && s[0] <= 'Z';
    const char base = intrinsic ? 'X' : 'x';
    EulerSequence seq{{0, 0, 0}, intrinsic};
    for (std::size_t n = 0; n < 3; ++n) {
        if (s[n] < base || s[n] > base + 2) return std::nullopt;
        seq.axes[n] = s[n] - base;
        if (n > 0 && seq.axes[n] == seq.axes[n - 1]) return std::nullopt;
    }
    return seq;
}

namespace detail {

inline Quat elementary(int axis, AngleRadians angle) {
    return Quat::from_axis_angle(axis == 0 ? Vec3d::i() : (axis == 1 ? Vec3d::j() : Vec3d::k()),
                                 angle);
}

// Into [-pi, pi]: one turn added or taken away, and only where the angle is outside, so angles
// already in range keep every bit.
inline double wrap(double a) {
    constexpr double pi = AngleRadians::pi().angle, two_pi = AngleRadians::two_pi().angle;
    return a < -pi ? a + two_pi : (a > pi ? a - two_pi : a);
}

} // namespace detail

// The rotation by the angles a, b, c about the sequence's axes: with e_n = from_axis_angle(unit
// axis n, angle n), extrinsic sequences give (e1.then(e2)).then(e3) and intrinsic ones
// (e3.then(e2)).then(e1). rotate() of the result applies scipy's
// Rotation.from_euler(seq, [a, b, c]).as_matrix() to column vectors.
inline Quat from_euler(const EulerSequence& seq, AngleRadians a, AngleRadians b, AngleRadians c) {
    const Quat e1 = detail::elementary(seq.axes[0], a);
    const Quat e2 = detail::elementary(seq.axes[1], b);
    const Quat e3 = detail::elementary(seq.axes[2], c);
    return seq.intrinsic ? e3.then(e2).then(e1) : e1.then(e2).then(e3);
}

// The angles (a, b, c) with from_euler(seq, a, b, c) rotating like q, by the direct quaternion
// method of Bernardes and Viollet (2022), which scipy's as_euler also uses; only q's direction
// counts. Ranges: a and c in [-pi, pi]; b in [0, pi] for proper Euler sequences, in
// [-pi/2, pi/2] for Tait-Bryan ones. Steps, for the extrinsic axes (i, j, k) (an intrinsic
// sequence is worked as its reverse, and its first and third angles swapped at the end):
//   1. x = (-q.i, -q.j, -q.k) and s = w, the rotation read with its vector part turned round
//      (rotate() applies the conjugate's usual rotation); sign = +1 for an even permutation
//      (i, j, k), -1 for an odd one; for a proper sequence k is the axis other than i and j.
//   2. proper: p = s, q1 = x[i], r = x[j], t = sign x[k];
//      Tait-Bryan: p = s - x[j], q1 = x[i] + sign x[k], r = x[j] + s, t = sign x[k] - x[i].
//   3. h = atan2(sqrt(r r + t t), sqrt(p p + q1 q1)) in [0, pi/2]; the middle angle b = h + h,
//      less pi/2 for Tait-Bryan.
//   4. hs = atan2(q1, p), hd = atan2(t, r); first = hs - hd, third = hs + hd (times sign for
//      Tait-Bryan).
//   5. Gimbal lock, h < EPSILON or pi/2 - h < EPSILON (strictly): b is at a singular value
//      (0 or pi for proper sequences, -pi/2 or pi/2 for Tait-Bryan), where only the sum or the
//      difference of the other two angles is defined. The third angle given back (c) is then 0
//      and the first (a) carries the whole turn: hs + hs at h ~ 0; at h ~ pi/2, hd + hd,
//      negated for extrinsic sequences; for intrinsic Tait-Bryan sequences either times sign.
//      That is scipy's choice, but scipy makes it within 1e-7 of lock and this only where the
//      dropped angle is below rounding, so the result still rotates like q to a few ulp. Near
//      lock, a and c are each ill-conditioned, but the rotation they make together is not.
//   6. a and c are brought into [-pi, pi] by adding or taking away one turn where outside.
inline std::array<AngleRadians, 3> to_euler(const Quat& quat, const EulerSequence& seq) {
    constexpr double half_pi = AngleRadians::half_pi().angle;
    int i = seq.axes[0], j = seq.axes[1], k = seq.axes[2];
    if (seq.intrinsic) std::swap(i, k);
    const bool proper = i == k;
    if (proper) k = 3 - i - j;
    const int parity = (i - j) * (j - k) * (k - i) / 2; // +1 or -1
    const double sign = parity;
    const double x[3] = {-quat.i, -quat.j, -quat.k};
    const double s = quat.w;
    double p, q1, r, t;
    if (proper) {
        p = s;
        q1 = x[i];
        r = x[j];
        t = sign * x[k];
    } else {
        p = s - x[j];
        q1 = x[i] + sign * x[k];
        r = x[j] + s;
        t = sign * x[k] - x[i];
    }
    const double h = std::atan2(std::sqrt(r * r + t * t), std::sqrt(p * p + q1 * q1));
    const double middle = proper ? h + h : (h + h) - half_pi;
    const double hs = std::atan2(q1, p), hd = std::atan2(t, r);
    double first, third;
    if (h < EPSILON || half_pi - h < EPSILON) {
        // Worked order: the given-back third angle is `first` for intrinsic sequences.
        const double lone = h < EPSILON ? hs + hs : (seq.intrinsic ? hd + hd : -(hd + hd));
        first = seq.intrinsic ? 0.0 : lone;
        third = seq.intrinsic ? (proper ? lone : sign * lone) : 0.0;
    } else {
        first = hs - hd;
        third = proper ? hs + hd : sign * (hs + hd);
    }
    if (seq.intrinsic) std::swap(first, third);
    return {AngleRadians{detail::wrap(first)}, AngleRadians{middle},
            AngleRadians{detail::wrap(third)}};
}

} // namespace kalemtri
