#pragma once
// 3x3 rotation matrices of quaternions, row by row, and the quaternion of a rotation matrix.
#include <array>

#include "kalemtri/src/quat.hpp"

namespace kalemtri {

using Matrix3 = std::array<std::array<double, 3>, 3>;

// For a unit q this is the matrix of v -> q (0, v) conj(q) on column vectors, the inverse of what
// Quat::rotate applies. q is not normalised; each doubling is written as a sum of two equal terms.
// Diagonal: 1 - (d + d) with d the sum of the two other squares (j*j + k*k for row 0, i*i + k*k,
// i*i + j*j); off the diagonal: d + d with d a rounded product plus or minus another, e.g. row 0
// column 1 from d01 = i*j - w*k.
inline Matrix3 to_rotation_matrix(const Quat& q) {
    const double w = q.w, i = q.i, j = q.j, k = q.k;
    const double d00 = j * j + k * k;
    const double d01 = i * j - w * k;
    const double d02 = i * k + w * j;
    const double d10 = i * j + w * k;
    const double d11 = i * i + k * k;
    const double d12 = j * k - w * i;
    const double d20 = i * k - w * j;
    const double d21 = j * k + w * i;
    const double d22 = i * i + j * j;
    return {{{1.0 - (d00 + d00), d01 + d01, d02 + d02},
             {d10 + d10, 1.0 - (d11 + d11), d12 + d12},
             {d20 + d20, d21 + d21, 1.0 - (d22 + d22)}}};
}

// The matrix M with M v == q.rotate(v) for column vectors v and a unit q: the transpose of
// to_rotation_matrix(q), the very same terms (M[r][c] is to_rotation_matrix(q)[c][r]). Like that
// matrix it assumes a unit q: a non-unit q does not give rotate()'s scaling by |q|^2.
inline Matrix3 to_matrix(const Quat& q) {
    const Matrix3 t = to_rotation_matrix(q);
    return {
        {{t[0][0], t[1][0], t[2][0]}, {t[0][1], t[1][1], t[2][1]}, {t[0][2], t[1][2], t[2][2]}}};
}

// The quaternion whose rotate() applies m to column vectors (m v), by Shepperd's method. Of the
// trace t = (m00 + m11) + m22 and the diagonal m00, m11, m22 the largest (the first of equals, in
// that order) chooses which component is taken from the diagonal; the other three come from sums
// and differences of mirrored entries divided by d = r + r:
//   t largest:   r = sqrt(1 + t),                  w = r * 0.5,
//                i = (m12 - m21) / d, j = (m20 - m02) / d, k = (m01 - m10) / d
//   m00 largest: r = sqrt(((1 + m00) - m11) - m22), i = r * 0.5,
//                w = (m12 - m21) / d, j = (m01 + m10) / d, k = (m02 + m20) / d
//   m11 largest: r = sqrt(((1 - m00) + m11) - m22), j = r * 0.5,
//                w = (m20 - m02) / d, i = (m01 + m10) / d, k = (m12 + m21) / d
//   m22 largest: r = sqrt(((1 - m00) - m11) + m22), k = r * 0.5,
//                w = (m01 - m10) / d, i = (m02 + m20) / d, j = (m12 + m21) / d
// The chosen component is the largest of a unit quaternion, so r >= 1 and nothing is divided by
// a small number; it comes out positive, so a rotation matrix gives q or -q of every unit q with
// to_matrix(q) == m. m is neither checked nor orthogonalised: any finite matrix gives a finite
// quaternion (r >= 1 holds for every finite m), but for one that is not a rotation it is not a
// unit quaternion and its to_matrix() is not m. NaN entries give NaN components.
inline Quat from_rotation_matrix(const Matrix3& m) {
    const double m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
    const double m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
    const double m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
    const double t = (m00 + m11) + m22;
    if (t >= m00 && t >= m11 && t >= m22) {
        const double r = std::sqrt(1.0 + t), d = r + r;
        return {r * 0.5, (m12 - m21) / d, (m20 - m02) / d, (m01 - m10) / d};
    }
    if (m00 >= m11 && m00 >= m22) {
        const double r = std::sqrt(((1.0 + m00) - m11) - m22), d = r + r;
        return {(m12 - m21) / d, r * 0.5, (m01 + m10) / d, (m02 + m20) / d};
    }
    if (m11 >= m22) {
        const double r = std::sqrt(((1.0 - m00) + m11) - m22), d = r + r;
        return {(m20 - m02) / d, (m01 + m10) / d, r * 0.5, (m12 + m21) / d};
    }
    const double r = std::sqrt(((1.0 - m00) - m11) + m22), d = r + r;
    return {(m01 - m10) / d, (m02 + m20) / d, (m12 + m21) / d, r * 0.5};
}

} // namespace kalemtri
