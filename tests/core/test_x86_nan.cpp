// Which NaN an operation returns: x86's for the formula as written, on every processor and
// whatever operand order the compiler picked.
#include <bit>
#include <cstdint>
#include <limits>

#include "check.hpp"
#include "kalemtri/src/quat.hpp"

using namespace kalemtri;

namespace {

const double inf = std::numeric_limits<double>::infinity();
double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }
const double DEFAULT = from_bits(X86_DEFAULT_NAN);
const double P = from_bits(0x7FF8000000000123), N = from_bits(0xFFF8000000000456);
const double SIGNALLING = from_bits(0x7FF0000000000001);

bool bytes(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
bool bytes(const Vec3d& a, const Vec3d& b) {
    return bytes(a.x, b.x) && bytes(a.y, b.y) && bytes(a.z, b.z);
}
bool bytes(const Quat& a, const Quat& b) {
    return bytes(a.w, b.w) && bytes(a.i, b.i) && bytes(a.j, b.j) && bytes(a.k, b.k);
}

} // namespace

TEST(single_operations_follow_x86) {
    struct Row {
        double got, want;
    };
    const Row rows[] = {
        {(X86Nan(inf) - inf).v, DEFAULT},
        {(X86Nan(0.0) * -inf).v, DEFAULT},
        {sqrt(X86Nan(-1.0)).v, DEFAULT},
        {(X86Nan(N) + P).v, N},
        {(X86Nan(P) * N).v, P},
        {(X86Nan(1.0) / N).v, N},
        {(X86Nan(SIGNALLING) + P).v, quieted(SIGNALLING)},
        {(X86Nan(P) + SIGNALLING).v, P},
        {sqrt(X86Nan(N)).v, N},
        {(X86Nan(2.0) * 3.0).v, 6.0},
    };
    for (const Row& r : rows) {
        ROW(rows, r);
        CHECK(bytes(r.got, r.want));
    }
}

// The first NaN as written wins, also where GCC emits the operands of a sum the other way round.
TEST(formulas_keep_the_first_nan_as_written) {
    CHECK(bytes(magnitude(Vec3d{N, 1, P}), N));
    CHECK(bytes(magnitude(Vec3d{1, P, N}), P));
    CHECK(bytes(distance_to(Vec3d{P, 0, 0}, Vec3d{0, 0, N}), P));
    CHECK(bytes(dot(Vec3d{1, P, 0}, Vec3d{1, 2, N}), P));
    CHECK(bytes(Vec3d{P, inf, 1} + Vec3d{N, -inf, N}, Vec3d{P, DEFAULT, N}));
    CHECK(bytes(Vec3d{inf, 0, 0} - Vec3d{inf, 0, 0}, Vec3d{DEFAULT, 0, 0}));
    CHECK(bytes(N * Vec3d{P, 1, 0}, Vec3d{P, N, N}));
    // 0 * inf comes before the i * x that carries P.
    CHECK(bytes(Quat{inf, P, 0, 1}.rotate(Vec3d::i()), Vec3d{P, DEFAULT, DEFAULT}));
    CHECK(bytes(Quat{P, 0, 0, 0}.then(Quat{N, 0, 0, 0}), Quat{P, P, P, P}));
    CHECK(bytes(Quat{1, N, P, 0}.inverse(), Quat{N, -N, -P, N}));
    CHECK(bytes(Quat{0, 0, 0, 0}.normalize(), Quat{DEFAULT, DEFAULT, DEFAULT, DEFAULT}));
}
