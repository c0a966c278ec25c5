#pragma once
// Cyclic Jacobi rotations of a symmetric N x N matrix, the rotation formulas of Numerical Recipes'
// jacobi (tan of the smaller angle). Each sweep rotates the pairs (p, q), p < q, in row order; an
// off-diagonal entry is dropped once adding 100 times it changes neither diagonal entry it
// couples. At most 64 sweeps: a finite matrix settles within about six, and nothing can loop for
// ever. Only + - * / and sqrt, so the bits are the same on every machine.
#include <array>
#include <cmath>
#include <cstddef>

namespace kalemtri {

// Diagonalises `a` in place (its eigenvalues end on the diagonal) and accumulates the rotations
// into `v` (eigenvector i is column i when v starts as the identity).
template <std::size_t N>
void jacobi_sweeps(std::array<std::array<double, N>, N>& a,
                   std::array<std::array<double, N>, N>& v) {
    for (int sweep = 0; sweep < 64; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < N; ++p)
            for (std::size_t q = p + 1; q < N; ++q) {
                const double apq = a[p][q];
                if (apq == 0.0) continue;
                const double app = a[p][p], aqq = a[q][q], g = 100.0 * std::fabs(apq);
                if (std::fabs(app) + g == std::fabs(app) && std::fabs(aqq) + g == std::fabs(aqq)) {
                    a[p][q] = a[q][p] = 0.0;
                    continue;
                }
                rotated = true;
                const double theta = (aqq - app) / (apq + apq);
                double t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                if (std::fabs(theta) > 1e150) t = 0.5 / std::fabs(theta); // theta^2 would overflow
                if (theta < 0.0) t = -t;
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c, tau = s / (1.0 + c);
                a[p][p] = app - t * apq;
                a[q][q] = aqq + t * apq;
                a[p][q] = a[q][p] = 0.0;
                for (std::size_t r = 0; r < N; ++r) {
                    if (r != p && r != q) {
                        const double arp = a[r][p], arq = a[r][q];
                        a[r][p] = a[p][r] = arp - s * (arq + arp * tau);
                        a[r][q] = a[q][r] = arq + s * (arp - arq * tau);
                    }
                    const double vrp = v[r][p], vrq = v[r][q];
                    v[r][p] = vrp - s * (vrq + vrp * tau);
                    v[r][q] = vrq + s * (vrp - vrq * tau);
                }
            }
        if (!rotated) break;
    }
}

} // namespace kalemtri
