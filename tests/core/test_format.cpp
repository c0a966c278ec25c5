#include <cfloat>
#include <limits>
#include <string>

#include "check.hpp"
#include "kalemtri/src/format.hpp"

using namespace kalemtri;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();

static std::string text(double v) {
    char buf[MAX_NUMBER_TEXT];
    return std::string(buf, write_number(v, buf));
}

static std::string fixed(double v, int precision) {
    char buf[MAX_NUMBER_TEXT + 64];
    return std::string(buf, write_number_fixed(v, precision, buf));
}

template <class T> static std::string text_of(const T& value) {
    char buf[MAX_QUAT_TEXT]; // the longest of the shortest forms
    return std::string(buf, write_text(value, buf));
}

template <class A> static std::string text_of(A angle, int precision) {
    char buf[max_radians_text(340)];
    return std::string(buf, write_text(angle, precision, buf));
}

TEST(shortest_positional) {
    const struct {
        double v;
        std::string text;
    } cases[] = {
        {1.0, "1"},
        {2.5, "2.5"},
        {-3.0, "-3"},
        {0.0, "0"},
        {-0.0, "-0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e-7, "0.0000001"},
        {1e21, "1000000000000000000000"},
        {123456.789, "123456.789"},
        {3.141592653589793, "3.141592653589793"},
        {59.99999999999999, "59.99999999999999"},
        {1.5e300, "15" + std::string(299, '0')},
        {inf, "inf"},
        {-inf, "-inf"},
        {nan_, "NaN"},
        {-nan_, "NaN"},
    };
    for (const auto& c : cases) {
        ROW(cases, c);
        CHECK(text(c.v) == c.text);
    }
}

TEST(extremes_fit_the_buffer) {
    const std::string tiny = text(-std::numeric_limits<double>::denorm_min());
    CHECK(tiny == "-0." + std::string(323, '0') + "5");
    CHECK(text(std::numeric_limits<double>::max()).size() == 309);
    CHECK(tiny.size() <= MAX_NUMBER_TEXT);
}

TEST(fixed_precision) {
    CHECK(fixed(3.141592653589793, 2) == "3.14");
    CHECK(fixed(90.0, 0) == "90");
    CHECK(fixed(-0.5, 3) == "-0.500");
    CHECK(fixed(inf, 2) == "inf");
}

TEST(vector_and_quaternion_text) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    CHECK(text_of(Vec3d{-0.0, 1e21, -tiny}) ==
          "Vec3d(-0, 1000000000000000000000, -0." + std::string(323, '0') + "5)");
    // Scalar first, as stored.
    CHECK(text_of(Quat{1, -0.0, 0.5, nan_}) == "Quat(1, -0, 0.5, NaN)");
    CHECK(text_of(Quat{-inf, inf, 0.1 + 0.2, -2}) == "Quat(-inf, inf, 0.30000000000000004, -2)");
    // The documented sizes hold the longest number in every field.
    CHECK(text_of(Vec3d{-tiny, -tiny, -tiny}).size() <= MAX_VEC3D_TEXT);
    CHECK(text_of(Quat{-tiny, -tiny, -tiny, -tiny}).size() <= MAX_QUAT_TEXT);
}

TEST(angle_text) {
    CHECK(text_of(-AngleRadians::zero()) == "-0 radians");
    CHECK(text_of(AngleDegrees{90}) == "90\xC2\xB0");
    CHECK(text_of(AngleDegrees{-12.5}, 0) == "-12\xC2\xB0"); // ties go to even
    CHECK(text_of(AngleDegrees{0.375}, 2) == "0.38\xC2\xB0");
    CHECK(text_of(AngleRadians{nan_}, 4) == "NaN radians");
    // The documented sizes cover the longest numbers in either form.
    for (const double v : {-DBL_MAX, -DBL_TRUE_MIN, -0.1234567890123456}) {
        CHECK(text_of(AngleRadians{v}).size() <= MAX_RADIANS_TEXT);
        CHECK(text_of(AngleDegrees{v}).size() <= MAX_DEGREES_TEXT);
        for (const int p : {-5, 0, 17, 340, 100000}) {
            CHECK(text_of(AngleRadians{v}, p).size() <= max_radians_text(p));
            CHECK(text_of(AngleDegrees{v}, p).size() <= max_degrees_text(p));
        }
    }
}
