#pragma once
// The 3x3 rotation matrix of a quaternion, row by row.
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

} // namespace kalemtri
