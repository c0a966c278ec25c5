#pragma once
// Which NaN a formula returns. IEEE 754 leaves open which of two NaN operands an operation
// returns, and compilers use that freedom: GCC swaps the operands of + and * to save a register
// move, differently in scalar and vectorised code and at each instruction-set level, so the bits
// of a NaN result would depend on the build and on the size of a batch. AArch64 moreover makes a
// positive NaN for an invalid operation and prefers a signalling operand. The library's NaN
// results are therefore those x86 gives for the formula as written, on every processor: each
// operation returns its first NaN operand, quieted, and an invalid operation (inf - inf, 0 * inf,
// 0 / 0, inf / inf, the square root of a negative number) the negative quiet NaN.
//
// A formula is written once, generic in its number type, and evaluated with plain doubles; only a
// result that holds a NaN is evaluated again on X86Nan numbers, whose operations spell the rule
// out. Numbers are unaffected: without a NaN the two evaluations give the same bits.
#include <bit>
#include <cmath>
#include <cstdint>

namespace kalemtri {

// x86's default NaN: sign set, quiet, no payload.
inline constexpr std::uint64_t X86_DEFAULT_NAN = 0xFFF8000000000000;

inline double quieted(double a) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | std::uint64_t{1} << 51);
}

// r = a op b as x86 returns it.
inline double x86_result(double r, double a, double b) {
    if (!std::isnan(r)) return r;
    if (std::isnan(a)) return quieted(a);
    if (std::isnan(b)) return quieted(b);
    return std::bit_cast<double>(X86_DEFAULT_NAN);
}

struct X86Nan {
    double v;
    // Implicit, so that a formula's constants (0.0 * w) read the same for both number types.
    constexpr X86Nan(double value) : v(value) {}
};

inline X86Nan operator+(X86Nan a, X86Nan b) { return x86_result(a.v + b.v, a.v, b.v); }
inline X86Nan operator-(X86Nan a, X86Nan b) { return x86_result(a.v - b.v, a.v, b.v); }
inline X86Nan operator*(X86Nan a, X86Nan b) { return x86_result(a.v * b.v, a.v, b.v); }
inline X86Nan operator/(X86Nan a, X86Nan b) { return x86_result(a.v / b.v, a.v, b.v); }
// A sign flip, as for a double, NaN or not.
inline X86Nan operator-(X86Nan a) { return -a.v; }
// Found by argument-dependent lookup where a formula says `using std::sqrt; sqrt(x)`.
inline X86Nan sqrt(X86Nan a) { return x86_result(std::sqrt(a.v), a.v, a.v); }

inline bool has_nan(double a) { return std::isnan(a); }
inline X86Nan x86(double a) { return a; }
inline double plain(X86Nan a) { return a.v; }

// f(a...), with a NaN result replaced by the one x86 gives for f as written. The arguments are
// doubles, vectors or quaternions, each with its x86() and plain() counterparts.
template <class F, class... A> auto x86_nans(const F& f, const A&... a) {
    const auto r = f(a...);
    if (!has_nan(r)) [[likely]]
        return r;
    return plain(f(x86(a)...));
}

} // namespace kalemtri
