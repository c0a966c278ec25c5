#include "kalemtri/src/format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kalemtri {

namespace {

char* write_special(double v, char* out) {
    if (std::isnan(v)) {
        std::memcpy(out, "NaN", 3);
        return out + 3;
    }
    if (v < 0) *out++ = '-';
    std::memcpy(out, "inf", 3);
    return out + 3;
}

char* fill(char* out, char c, int count) {
    for (int i = 0; i < count; ++i)
        *out++ = c;
    return out;
}

} // namespace

char* write_number(double v, char* out) noexcept {
    if (!std::isfinite(v)) return write_special(v, out);
    if (std::signbit(v)) {
        *out++ = '-';
        v = -v;
    }
    if (v == 0.0) {
        *out++ = '0';
        return out;
    }
    // Scientific shortest form "d[.ddd]e±XX" gives the digits and the decimal exponent.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    char digits[20];
    int ndigits = 0;
    const char* p = sci;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[ndigits++] = *p;
    int exp10 = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), res.ptr, exp10);
    // The value is 0.digits × 10^(exp10 + 1); `point` is where the decimal point falls in `digits`.
    const int point = exp10 + 1;
    if (point <= 0) {
        out = fill(out, '0', 1);
        *out++ = '.';
        out = fill(out, '0', -point);
        std::memcpy(out, digits, ndigits);
        return out + ndigits;
    }
    if (point >= ndigits) {
        std::memcpy(out, digits, ndigits);
        return fill(out + ndigits, '0', point - ndigits);
    }
    std::memcpy(out, digits, point);
    out += point;
    *out++ = '.';
    std::memcpy(out, digits + point, ndigits - point);
    return out + (ndigits - point);
}

char* write_number_fixed(double v, int precision, char* out) noexcept {
    if (!std::isfinite(v)) return write_special(v, out);
    if (precision < 0) precision = 0;
    if (precision > 340) precision = 340;
    // Large enough for 309 integral digits, the point and the fractional digits.
    char buf[MAX_NUMBER_TEXT + 340];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
    std::memcpy(out, buf, res.ptr - buf);
    return out + (res.ptr - buf);
}

namespace {

template <std::size_t N> char* append(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

// "<name>(a, b, ...)".
template <std::size_t N, std::size_t M>
char* write_fields(const char (&name)[N], const double (&fields)[M], char* out) {
    out = append(out, name);
    *out++ = '(';
    for (std::size_t n = 0; n < M; ++n) {
        if (n > 0) out = append(out, ", ");
        out = write_number(fields[n], out);
    }
    *out++ = ')';
    return out;
}

} // namespace

char* write_text(const Vec3d& v, char* out) noexcept {
    return write_fields("Vec3d", {v.x, v.y, v.z}, out);
}

char* write_text(const Quat& q, char* out) noexcept {
    return write_fields("Quat", {q.w, q.i, q.j, q.k}, out);
}

char* write_text(const Pose& p, char* out) noexcept {
    out = append(out, "Pose(");
    out = write_text(p.rotation, out);
    out = append(out, ", ");
    out = append(write_text(p.translation, out), ")");
    return out;
}

char* write_text(const AngleRadians& a, char* out) noexcept {
    return append(write_number(a.angle, out), RADIANS_UNIT);
}
char* write_text(const AngleDegrees& a, char* out) noexcept {
    return append(write_number(a.angle, out), DEGREES_UNIT);
}
char* write_text(const AngleRadians& a, int precision, char* out) noexcept {
    return append(write_number_fixed(a.angle, precision, out), RADIANS_UNIT);
}
char* write_text(const AngleDegrees& a, int precision, char* out) noexcept {
    return append(write_number_fixed(a.angle, precision, out), DEGREES_UNIT);
}

} // namespace kalemtri
