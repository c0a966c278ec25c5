#pragma once
// Every text form of the library, built on one number text: the shortest decimal that reads back as
// the same double, always positional (never an exponent), integral values without a fractional
// part, "-0" for negative zero, and "NaN", "inf", "-inf". Each writer writes at `out` without a
// terminator and returns the end of what it wrote; the MAX_* sizes always suffice.
#include <cstddef>

#include "kalemtri/src/angle.hpp"
#include "kalemtri/src/pose.hpp"
#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri {

// 309 integral digits of the largest double, or "-0." and 323 zeros before the digits of the
// smallest subnormal.
inline constexpr std::size_t MAX_NUMBER_TEXT = 352;

char* write_number(double v, char* out) noexcept;

// The nearest decimal with exactly `precision` fractional digits (clamped to [0, 340]), same
// special values; an exactly halfway value rounds to the even last digit (std::to_chars's rule).
char* write_number_fixed(double v, int precision, char* out) noexcept;

// "Vec3d(x, y, z)", the text form of a vector alone and in a list.
inline constexpr std::size_t MAX_VEC3D_TEXT = 3 * MAX_NUMBER_TEXT + 12;
char* write_text(const Vec3d& v, char* out) noexcept;

// "Quat(w, i, j, k)".
inline constexpr std::size_t MAX_QUAT_TEXT = 4 * MAX_NUMBER_TEXT + 12;
char* write_text(const Quat& q, char* out) noexcept;

// "Pose(Quat(w, i, j, k), Vec3d(x, y, z))".
inline constexpr std::size_t MAX_POSE_TEXT = MAX_QUAT_TEXT + MAX_VEC3D_TEXT + 8;
char* write_text(const Pose& p, char* out) noexcept;

// Angles: the number, then the unit (" radians", or the degree sign U+00B0 in UTF-8, no space).
inline constexpr char RADIANS_UNIT[] = " radians";
inline constexpr char DEGREES_UNIT[] = "\xC2\xB0";
inline constexpr std::size_t MAX_RADIANS_TEXT = MAX_NUMBER_TEXT + sizeof RADIANS_UNIT - 1;
inline constexpr std::size_t MAX_DEGREES_TEXT = MAX_NUMBER_TEXT + sizeof DEGREES_UNIT - 1;

char* write_text(const AngleRadians& a, char* out) noexcept;
char* write_text(const AngleDegrees& a, char* out) noexcept;

// With a precision the number is write_number_fixed's, so the buffer grows by the precision.
constexpr std::size_t max_radians_text(int precision) {
    return MAX_RADIANS_TEXT + static_cast<std::size_t>(precision < 0     ? 0
                                                       : precision > 340 ? 340
                                                                         : precision);
}
constexpr std::size_t max_degrees_text(int precision) {
    return max_radians_text(precision) - MAX_RADIANS_TEXT + MAX_DEGREES_TEXT;
}
char* write_text(const AngleRadians& a, int precision, char* out) noexcept;
char* write_text(const AngleDegrees& a, int precision, char* out) noexcept;

} // namespace kalemtri
