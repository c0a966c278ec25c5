#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "check.hpp"
#include "kalemtri/src/geometry/circle.hpp"
#include "kalemtri/src/geometry/intersection.hpp"
#include "kalemtri/src/geometry/plane.hpp"

using namespace kalemtri;
using namespace kalemtri::geometry;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();
static const Vec3d nan3{nan_, nan_, nan_};
static const double s3 = 0.8660254037844386, h7 = 1.3228756555322954;
using Points = std::optional<std::pair<Vec3d, Vec3d>>;

TEST(planes_and_plane_line) {
    // make keeps the distance as given; from_point takes it from the normalised normal, so the
    // plane meets the point exactly.
    const Plane p = Plane::make({0, 0, 2}, -3);
    CHECK_SAME(p.normal, Vec3d::k());
    CHECK_SAME(p.distance, -3.0);
    CHECK_SAME(Plane::make(Vec3d::zero(), 1).normal, nan3);
    const Plane tilted = Plane::from_point({1, 2, 2}, {3, -1, 4});
    CHECK_SAME(tilted.distance, -3.0);
    CHECK_SAME(tilted.distance_to_point({3, -1, 4}), 0.0);

    CHECK_SAME(Plane::from_points({0, 0, 0}, {1, 0, 0}, {0, 1, 0}).normal, Vec3d::k());
    CHECK_SAME(Plane::from_points({0, 0, 0}, {0, 1, 0}, {1, 0, 0}).normal, (Vec3d{0, 0, -1}));
    // The cross product here has length 8: the distance must still be -5.
    CHECK_SAME(Plane::from_points({1, 0, 5}, {3, 0, 5}, {1, 4, 5}).distance, -5.0);
    CHECK_SAME(Plane::from_points({0, 0, 0}, {1, 1, 1}, {2, 2, 2}).normal, nan3);
    CHECK_SAME(Plane::xz().normal, Vec3d::j());
    CHECK_SAME(Plane::yz().normal, Vec3d::i());

    // Signed distance; contains_point is two-sided, and false with NaN anywhere.
    CHECK_SAME(p.distance_to_point({0, 0, 4}), 1.0);
    CHECK(p.contains_point({5, 5, 3}));
    CHECK(!p.contains_point({0, 0, 3.5}));
    CHECK(!p.contains_point({0, 0, -100}));
    CHECK(!p.contains_point({nan_, 0, 3}));

    // plane_line: the infinite line, so t is not clamped to [0, 1].
    const Plane z3 = Plane::from_point(Vec3d::k(), {0, 0, 3});
    CHECK_SAME(plane_line(z3, {1, 1, 1}, {2, 3, 5}), (Vec3d{1.5, 2, 3}));
    CHECK_SAME(plane_line(z3, {1, 1, 1}, {1, 1, 2}), (Vec3d{1, 1, 3})); // beyond b
    CHECK_SAME(plane_line(z3, {0, 0, 5}, {0, 0, 6}), (Vec3d{0, 0, 3})); // behind a
    CHECK_SAME(plane_line(Plane::xy(), {1, 2, 3}, {1, 2, 3}), nan3);
    // Parallel: t is -inf, and -inf times a zero component of b - a is NaN.
    CHECK_SAME(plane_line(Plane::xy(), {0, 0, 1}, {1, 0, 1}), (Vec3d{-inf, nan_, nan_}));
}

TEST(circle_values) {
    const Circle c = Circle::make({1, 2, 3}, -2, {3, 0, 0});
    CHECK_SAME(c.radius, 2.0);
    CHECK_SAME(c.normal, Vec3d::i());
    CHECK_SAME(c.area(), 12.566370614359172);

    const Circle none = Circle::none();
    CHECK(std::bit_cast<std::uint64_t>(none.normal.y) == 0x7FF8000000000000);
    CHECK(none.is_degenerate());
    CHECK(!(none == none));

    CHECK((Circle{{0, 0, 0}, -0.0, Vec3d::k()}.is_degenerate()));
    CHECK(!Circle::make({0, 0, 0}, 1e-300, Vec3d::k()).is_degenerate());
    CHECK(!Circle::make({0, 0, 0}, nan_, Vec3d::k()).is_degenerate());
}

TEST(circle_same_plane_and_equality) {
    const Vec3d k = Vec3d::k();
    const Vec3d down{0, 0, -1};
    const struct {
        Circle a, b;
        bool same_plane, equal;
    } rows[] = {
        {Circle::make({0, 0, 1}, 1, k), Circle::make({5, 5, 1}, 1, k), true, false},
        {Circle::make({0, 0, 1}, 1, k), Circle::make({5, 5, 1}, 1, {0, 1e-9, 1}), false, false},
        {Circle::make({0, 0, 0}, 1, k), Circle::make({0, 0, 1}, 1, k), false, false},
        // Opposite normals: one plane counts, off the origin too; mirror planes do not.
        {Circle::make({0, 0, 1}, 1, k), Circle::make({5, 5, 1}, 1, down), true, false},
        {Circle::make({0, 0, 1}, 1, k), Circle::make({5, 5, -1}, 1, down), false, false},
        {Circle::make({0, 0, 0}, 1, k), Circle::make({-0.0, 0, 0}, 1, down), true, true},
        {Circle{{1, 2, 3}, 1, {0, 0, 2}}, Circle{{1, 2, 3}, 1, {0, 0, -2}}, true, true},
        {Circle::make({0, 0, 0}, 1, k), Circle::make({0, 0, 0}, 2, k), true, false},
        {Circle::make({0, 0, 0}, nan_, k), Circle::make({0, 0, 0}, nan_, k), true, false},
        {Circle::none(), Circle::none(), false, false},
    };
    for (const auto& r : rows) {
        ROW(rows, r);
        CHECK(r.a.in_same_plane(r.b) == r.same_plane);
        CHECK(r.b.in_same_plane(r.a) == r.same_plane);
        CHECK((r.a == r.b) == r.equal);
    }
}

TEST(circle_point_cases) {
    const Circle unit = Circle::make({0, 0, 0}, 1, Vec3d::k());
    const Circle off = Circle::make({1, 2, 3}, 2, Vec3d::k());
    const struct {
        Circle circle;
        Vec3d point;
        bool inner, checked, unchecked;
    } rows[] = {
        {unit, {1, 0, 0}, false, true, true},
        {unit, {1, 0, 0}, true, true, true},
        {unit, {0.5, 0, 0}, false, false, false},
        {unit, {0.5, 0, 0}, true, true, true},
        {unit, {2, 0, 0}, true, false, false},
        {unit, {0, 0, -0.5}, true, false, true},
        {unit, {std::nextafter(1.0, 2.0), 0, 0}, false, false, false},
        {unit, {std::nextafter(1.0, 0.0), 0, 0}, false, true, true},
        {off, {3, 2, 3}, false, true, true},
        {off, {3, 2, 3 + 1e-15}, false, false, true},
        {Circle::none(), {0, 0, 0}, true, false, true},
    };
    for (const auto& r : rows) {
        ROW(rows, r);
        CHECK(circle_point(r.circle, r.point, r.inner) == r.checked);
        CHECK(circle_point_unchecked(r.circle, r.point, r.inner) == r.unchecked);
    }
}

static Points two(Vec3d p, Vec3d q) { return std::pair{p, q}; }

TEST(circle_circle_cases) {
    const auto flat = [](Vec3d c, double r, double nz = 1) {
        return Circle::make(c, r, {0, 0, nz});
    };
    const Circle a = flat({0, 0, 0}, 1), b = flat({1, 0, 0}, 1), big = flat({0, 0, 0}, 2);
    const struct {
        Circle c1, c2;
        Points expected;
    } rows[] = {
        {a, b, two({0.5, -s3, 0}, {0.5, s3, 0})},
        {a, flat({1, 0, 0}, 1, -1), two({0.5, s3, 0}, {0.5, -s3, 0})}, // reversed: swapped
        {big, flat({3, 0, 0}, 2), two({1.5, -h7, 0}, {1.5, h7, 0})},   // h7 = sqrt(7)/2
        {a, flat({2, 0, 0}, 1), two({1, 0, 0}, {1, 0, 0})},
        {big, b, two({2, 0, 0}, {2, 0, 0})},
        // Rounding leaves h^2 near -3.5e-18 here; the touching point must not turn into NaN.
        {flat({0, 0, 0}, 0.1), flat({0.1 + 0.2, 0, 0}, 0.2),
         two({0.10000000000000002, 0, 0}, {0.10000000000000002, 0, 0})},
        // A NaN radius slips through the strict distance tests and poisons the points.
        {a, Circle{{1, 0, 0}, nan_, Vec3d::k()}, two(nan3, nan3)},
        {a, a, std::nullopt},
        {a, big, std::nullopt},
        {a, flat({3, 0, 0}, 1), std::nullopt},
        {a, flat({0.5, 0, 1}, 1), std::nullopt},
    };
    for (const auto& r : rows) {
        ROW(rows, r);
        const Points got = circle_circle(r.c1, r.c2);
        CHECK(got.has_value() == r.expected.has_value());
        if (!got || !r.expected) continue;
        CHECK_SAME(got->first, r.expected->first);
        CHECK_SAME(got->second, r.expected->second);
    }
}
