#pragma once
// A minimal test harness for the core: TEST(name) registers a case, CHECK* record failures with
// their source line and the table row being checked (ROW), and main() runs every case and reports
// counts.
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "kalemtri/src/pose.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}
inline int failures = 0;

struct Register {
    Register(const char* name, std::function<void()> body) {
        cases().push_back({name, std::move(body)});
    }
};

// The table rows being checked, outermost first.
inline std::vector<std::string>& rows() {
    static std::vector<std::string> open;
    return open;
}

class Row {
  public:
    template <class T, std::size_t N>
    Row(const char* table, const T (&rows)[N], const T& row)
        : Row(std::string(table) + "[" + std::to_string(&row - rows) + "]") {}
    explicit Row(std::string label) { check::rows().push_back(std::move(label)); }
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;
    ~Row() { check::rows().pop_back(); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures;
    std::string where;
    for (const std::string& row : rows())
        where += (where.empty() ? " [" : ", ") + row;
    if (!where.empty()) where += "]";
    std::printf("%s:%d: FAILED: %s%s\n", file, line, what.c_str(), where.c_str());
}

// Same double to the bit; every NaN counts as the same NaN unless the caller compares bits itself.
inline bool same(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
inline bool same(const kalemtri::Vec3d& a, const kalemtri::Vec3d& b) {
    return same(a.x, b.x) && same(a.y, b.y) && same(a.z, b.z);
}
// Same bits, NaN sign and payload included.
inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
inline bool same_bits(const kalemtri::Vec3d& a, const kalemtri::Vec3d& b) {
    return same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.z, b.z);
}
inline bool same_bits(const kalemtri::Quat& a, const kalemtri::Quat& b) {
    return same_bits(a.w, b.w) && same_bits(a.i, b.i) && same_bits(a.j, b.j) && same_bits(a.k, b.k);
}
inline bool same_bits(const kalemtri::Pose& a, const kalemtri::Pose& b) {
    return same_bits(a.rotation, b.rotation) && same_bits(a.translation, b.translation);
}
// The NaN this processor's invalid operations make: x86 sets its sign, AArch64 does not.
inline double invalid_operation_nan() {
    volatile double i = INFINITY;
    return i - i;
}

// A NaN with a payload; its negation has the sign bit.
inline const double PAYLOAD_NAN = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});

// Batch-kernel inputs: edge values (zeros of both signs, subnormals, extremes, infinities, the
// default NaN) mixed with ordinary numbers and, with `nans`, NaNs of a payload and of both signs,
// so that every level must keep the single call's NaN to the byte.
struct Mix {
    std::uint64_t s;
    bool nans;
    double next() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        static const double edges[] = {0.0,      -0.0,
                                       1.0,      -1.0,
                                       0.5,      0.1,
                                       1e-300,   1e154,
                                       4.9e-324, DBL_MAX,
                                       -DBL_MAX, inf,
                                       -inf,     invalid_operation_nan(),
                                       0.6,      0.8,
                                       1e-15,    -2e-310,
                                       DBL_MIN,  0.9999999999999999};
        s = s * 6364136223846793005u + 1442695040888963407u;
        const std::uint64_t r = s >> 33;
        if (nans && r % 7 == 0) return r % 3 ? -PAYLOAD_NAN : PAYLOAD_NAN;
        return r % 2 ? edges[(r >> 1) % std::size(edges)]
                     : double(std::int64_t(r % 2001) - 1000) / 9.0;
    }
    kalemtri::Vec3d vec() { return {next(), next(), next()}; }
    kalemtri::Quat quat() { return {next(), next(), next(), next()}; }
    kalemtri::Pose pose() { return {quat(), vec()}; }
};

inline std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}
inline std::string show(const kalemtri::Vec3d& v) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%.17g, %.17g, %.17g)", v.x, v.y, v.z);
    return buf;
}

} // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                                                 \
    static void name();                                                                            \
    static check::Register CHECK_CAT(reg_, name){#name, name};                                     \
    static void name()

// Names the element `row` of the array `table` in every failure until the end of the scope:
// `for (const auto& r : rows) { ROW(rows, r); ... }` reports "[rows[3]]".
#define ROW(table, row) const check::Row CHECK_CAT(row_, __LINE__)(#table, table, row)

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) check::fail(__FILE__, __LINE__, #cond);                                       \
    } while (0)

// Bitwise equality of doubles or vectors (any NaN matches any NaN).
#define CHECK_SAME(actual, expected)                                                               \
    do {                                                                                           \
        const auto a_ = (actual);                                                                  \
        const auto e_ = (expected);                                                                \
        if (!check::same(a_, e_))                                                                  \
            check::fail(__FILE__, __LINE__,                                                        \
                        std::string(#actual) + " = " + check::show(a_) + ", expected " +           \
                            check::show(e_));                                                      \
    } while (0)

#define CHECK_PANICS(expr, msg)                                                                    \
    do {                                                                                           \
        try {                                                                                      \
            (void)(expr);                                                                          \
            check::fail(__FILE__, __LINE__, std::string(#expr) + " did not panic");                \
        } catch (const kalemtri::Panic& p_) {                                                      \
            if (std::string(p_.message) != (msg))                                                  \
                check::fail(__FILE__, __LINE__, std::string("panic message: ") + p_.message);      \
        }                                                                                          \
    } while (0)

int main() {
    for (const auto& c : check::cases())
        c.body();
    std::printf("%zu cases, %d failed checks\n", check::cases().size(), check::failures);
    return check::failures == 0 ? 0 : 1;
}
