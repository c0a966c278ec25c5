#pragma once
// Number text shared by every text form: the shortest decimal that reads back as the same double,
// always positional (never an exponent), integral values without a fractional part, "-0" for
// negative zero, and "NaN", "inf", "-inf".
#include <cstddef>

#include "kalemtri/src/vec3d.hpp"

namespace kalemtri {

// Longest text write_number can produce: 309 integral digits of the largest double, or "-0." and
// 323 zeros before the digits of the smallest subnormal.
inline constexpr std::size_t MAX_NUMBER_TEXT = 352;

// Writes the text of `v` at `out` (no terminator) and returns the end of what was written.
char* write_number(double v, char* out) noexcept;

// The nearest decimal with exactly `precision` fractional digits, same special values.
char* write_number_fixed(double v, int precision, char* out) noexcept;

// "Vec3d(x, y, z)", the text form of a vector alone and in a list.
inline constexpr std::size_t MAX_VEC3D_TEXT = 3 * MAX_NUMBER_TEXT + 12;
char* write_text(const Vec3d& v, char* out) noexcept;

} // namespace kalemtri
