#include <limits>
#include <string>

#include "check.hpp"
#include "kalemtri/src/format.hpp"

using namespace kalemtri;

static std::string text(double v) {
    char buf[MAX_NUMBER_TEXT];
    return std::string(buf, write_number(v, buf));
}

static std::string fixed(double v, int precision) {
    char buf[MAX_NUMBER_TEXT + 64];
    return std::string(buf, write_number_fixed(v, precision, buf));
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
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& c : cases) {
        if (text(c.v) != c.text) check::fail(__FILE__, __LINE__, text(c.v) + " != " + c.text);
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
    CHECK(fixed(std::numeric_limits<double>::infinity(), 2) == "inf");
}

TEST(vector_text) {
    char buf[MAX_VEC3D_TEXT];
    const Vec3d v{-0.0, 1e21, -std::numeric_limits<double>::denorm_min()};
    const std::string s(buf, write_text(v, buf));
    CHECK(s == "Vec3d(-0, 1000000000000000000000, -0." + std::string(323, '0') + "5)");
    CHECK(s.size() < MAX_VEC3D_TEXT);
}
