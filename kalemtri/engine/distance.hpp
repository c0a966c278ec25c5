#pragma once
// The distance that the brute-force scan (batch/kernels.hpp) and the spatial index
// (spatial/tree.hpp) both measure and order by, defined once so that their answers agree bit for
// bit: search_distance, the IEEE total order of distances as an integer key, and a measured
// candidate.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::kernels {

using kalemtri::Vec3d;

// Distances in IEEE totalOrder as an integer: the lesser key is the nearer, and every NaN has its
// place (a sign bit before every number, none after +inf).
inline std::int64_t order_key(double d) {
    const auto k = std::bit_cast<std::int64_t>(d);
    return k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k;
}

// A measured point; between two of one key the lower index wins.
struct Candidate {
    std::int64_t key;
    std::size_t index; // NONE: nothing measured
    double distance;
};
inline constexpr std::size_t NONE = std::size_t(-1);
inline constexpr Candidate NO_CANDIDATE{0, NONE, 0.0};

// a - b with x86's NaN rules on every architecture. An invalid operation (inf - inf) gives x86's
// default NaN, the negative quiet one, where AArch64 gives the positive one; where two NaNs meet,
// x86 keeps the left one (quieted) where AArch64 prefers a signalling one. On x86 a plain `-`.
inline double x86_sub(double a, double b) {
#if defined(__x86_64__) || defined(__i386__)
    return a - b;
#else
    constexpr std::uint64_t QUIET = std::uint64_t{1} << 51;
    const double r = a - b;
    const double qa = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | QUIET);
    const double qb = std::bit_cast<double>(std::bit_cast<std::uint64_t>(b) | QUIET);
    const double x86_default = std::bit_cast<double>(std::uint64_t{0xFFF8000000000000});
    const double nan = std::isnan(a) ? qa : std::isnan(b) ? qb : x86_default;
    return std::isnan(r) ? nan : r;
#endif
}

// distance_to, with the NaN of a sum fixed: where two NaNs meet, the left one as written is kept,
// which is what x86 returns for that operand order. The compiler may swap the operands of a plain
// +, and may do so differently at each level or in a loop's tail; the total order sees NaN signs
// and payloads, so the nearest element would then depend on the level. The sum of squares is NaN
// exactly when a square is, and then it is the first NaN square; numbers are unaffected. Written
// as independent quiet selects so that the loop still vectorises. The difference, the one place
// where an invalid operation can make a NaN here, follows x86's rules, so the nearest element is
// the same on every architecture.
inline double search_distance(const Vec3d& e, const Vec3d& o) {
    const Vec3d d{x86_sub(e.x, o.x), x86_sub(e.y, o.y), x86_sub(e.z, o.z)};
    const double xx = d.x * d.x, yy = d.y * d.y, zz = d.z * d.z;
    const double r = std::sqrt((xx + yy) + zz);
    const double yz = std::isnan(yy) ? yy : zz;
    const double first_nan = std::isnan(xx) ? xx : yz;
    return std::isnan(r) ? first_nan : r;
}

} // namespace kalemtri::kernels
