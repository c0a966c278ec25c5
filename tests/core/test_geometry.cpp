#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "check.hpp"
#include "geometry/circle.hpp"
#include "geometry/intersection.hpp"
#include "geometry/plane.hpp"

using namespace kalemtri;
using namespace kalemtri::geometry;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();
static const Vec3d nan3{nan_, nan_, nan_};
static const double s3 = 0.8660254037844386;

TEST(plane_constructors) {
    const Plane p = Plane::make({0, 0, 2}, 5);
    CHECK_SAME(p.normal, Vec3d::k());
    CHECK_SAME(p.distance, 5.0);

    const Plane flat = Plane::make(Vec3d::zero(), 1);
    CHECK_SAME(flat.normal, nan3);
    CHECK_SAME(flat.distance_to_point(Vec3d::zero()), nan_);
    CHECK(!flat.contains_point(Vec3d::zero()));

    // The distance comes from the normalised normal, so the plane meets the point exactly.
    CHECK_SAME(Plane::from_point({0, 0, 2}, {1, 2, 3}).distance, -3.0);
    const Plane tilted = Plane::from_point({1, 2, 2}, {3, -1, 4});
    CHECK_SAME(tilted.distance, -3.0);
    CHECK_SAME(tilted.distance_to_point({3, -1, 4}), 0.0);

    const Plane ccw = Plane::from_points({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    CHECK_SAME(ccw.normal, Vec3d::k());
    CHECK(ccw.distance == 0.0);
    CHECK_SAME(Plane::from_points({0, 0, 0}, {0, 1, 0}, {1, 0, 0}).normal, (Vec3d{0, 0, -1}));
    // The cross product here has length 8: the distance must still be -5.
    CHECK_SAME(Plane::from_points({1, 0, 5}, {3, 0, 5}, {1, 4, 5}).distance, -5.0);
    CHECK_SAME(Plane::from_points({0, 0, 0}, {1, 1, 1}, {2, 2, 2}).normal, nan3);

    CHECK_SAME(Plane::xy().normal, Vec3d::k());
    CHECK_SAME(Plane::xz().normal, Vec3d::j());
    CHECK_SAME(Plane::yz().normal, Vec3d::i());
    CHECK_SAME(Plane::xy().distance, 0.0);
    CHECK_SAME(Plane::xz().distance, 0.0);
    CHECK_SAME(Plane::yz().distance, 0.0);
}

TEST(plane_contains_point) {
    const Plane p = Plane::from_point({0, 0, 1}, {1, 2, 3});
    CHECK_SAME(p.distance_to_point({0, 0, 4}), 1.0);
    CHECK(p.contains_point({5, 5, 3}));
    CHECK(!p.contains_point({0, 0, 3.5}));
    CHECK(!p.contains_point({0, 0, -100})); // far behind is not on the plane
    CHECK(!p.contains_point({nan_, 0, 3}));
}

TEST(circle_values) {
    const Circle c = Circle::make({1, 2, 3}, -2, {3, 0, 0});
    CHECK_SAME(c.center, (Vec3d{1, 2, 3}));
    CHECK_SAME(c.radius, 2.0);
    CHECK_SAME(c.normal, Vec3d::i());
    CHECK_SAME(c.area(), 12.566370614359172);
    CHECK_SAME(c.get_plane().distance, -1.0);

    const Circle none = Circle::none();
    CHECK(std::bit_cast<std::uint64_t>(none.normal.y) == 0x7FF8000000000000);
    CHECK_SAME(none.center, Vec3d::zero());
    CHECK(none.is_degenerate());
    CHECK_SAME(none.area(), 0.0);
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
        {Circle::make({0, 0, 0}, 1, k), Circle::make({0, 0, 0}, 1, Vec3d::j()), false, false},
        {Circle::make({0, 0, 0}, 1, k), Circle::make({-0.0, 0, 0}, 1, down), true, true},
        {Circle{{1, 2, 3}, 1, {0, 0, 2}}, Circle{{1, 2, 3}, 1, {0, 0, -2}}, true, true},
        {Circle::make({0, 0, 0}, 1, k), Circle::make({0, 0, 0}, 2, k), true, false},
        {Circle::make({0, 0, 0}, nan_, k), Circle::make({0, 0, 0}, nan_, k), true, false},
        {Circle::none(), Circle::none(), false, false},
    };
    for (const auto& r : rows) {
        CHECK(r.a.in_same_plane(r.b) == r.same_plane);
        CHECK(r.b.in_same_plane(r.a) == r.same_plane);
        CHECK((r.a == r.b) == r.equal);
        CHECK((r.a != r.b) == !r.equal);
    }
}

TEST(plane_line_cases) {
    const Plane z3 = Plane::from_point(Vec3d::k(), {0, 0, 3});
    const struct {
        Plane plane;
        Vec3d a, b, expected;
    } rows[] = {
        {Plane::xy(), {0, 0, 0}, {1, 1, 1}, {0, 0, 0}},
        {z3, {1, 1, 1}, {2, 3, 5}, {1.5, 2, 3}},
        {z3, {1, 1, 1}, {1, 1, 2}, {1, 1, 3}}, // beyond b
        {z3, {0, 0, 5}, {0, 0, 6}, {0, 0, 3}}, // behind a
        {{Vec3d::i(), -2}, {1, 5, 5}, {0, 5, 5}, {2, 5, 5}},
        {Plane::xy(), {1, 2, 3}, {1, 2, 3}, nan3},
        // Parallel: t is -inf, and -inf times a zero component of b - a is NaN.
        {Plane::xy(), {0, 0, 1}, {1, 0, 1}, {-inf, nan_, nan_}},
    };
    for (const auto& r : rows)
        CHECK_SAME(plane_line(r.plane, r.a, r.b), r.expected);
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
        {unit, {0, 0, 0}, true, true, true},
        {unit, {2, 0, 0}, true, false, false},
        {unit, {0, 0, 1}, false, false, true},
        {unit, {0, 0, -1}, false, false, true},
        {unit, {0, 0, -0.5}, true, false, true},
        {unit, {std::nextafter(1.0, 2.0), 0, 0}, false, false, false},
        {unit, {std::nextafter(1.0, 0.0), 0, 0}, false, true, true},
        {off, {3, 2, 3}, false, true, true},
        {off, {3, 2, 3 + 1e-15}, false, false, true},
        {Circle::none(), {0, 0, 0}, false, false, true},
        {Circle::none(), {0, 0, 0}, true, false, true},
    };
    for (const auto& r : rows) {
        CHECK(circle_point(r.circle, r.point, r.inner) == r.checked);
        CHECK(circle_point_unchecked(r.circle, r.point, r.inner) == r.unchecked);
    }
}

TEST(circle_circle_points) {
    const auto flat = [](Vec3d c, double r, double nz = 1) {
        return Circle::make(c, r, {0, 0, nz});
    };
    const Circle a = flat({0, 0, 0}, 1);
    const Circle b = flat({1, 0, 0}, 1);
    const Circle big = flat({0, 0, 0}, 2);
    const struct {
        Circle c1, c2;
        Vec3d first, second;
    } rows[] = {
        {a, b, {0.5, -s3, 0}, {0.5, s3, 0}},
        {a, flat({1, 0, 0}, 1, -1), {0.5, s3, 0}, {0.5, -s3, 0}},
        {b, flat({0, 0, 0}, 1, -1), {0.5, -s3, 0}, {0.5, s3, 0}},
        {flat({0, 0, 1}, 1), flat({1, 0, 1}, 1, -1), {0.5, s3, 1}, {0.5, -s3, 1}},
        {big, flat({3, 0, 0}, 2), {1.5, -1.3228756555322954, 0}, {1.5, 1.3228756555322954, 0}},
        {a, flat({2, 0, 0}, 1), {1, 0, 0}, {1, 0, 0}},
        {big, b, {2, 0, 0}, {2, 0, 0}},
        // Rounding leaves h^2 near -3.5e-18 here; the touching point must not turn into NaN.
        {flat({0, 0, 0}, 0.1),
         flat({0.1 + 0.2, 0, 0}, 0.2),
         {0.10000000000000002, 0, 0},
         {0.10000000000000002, 0, 0}},
        // A NaN radius slips through the strict distance tests and poisons the points.
        {a, Circle{{1, 0, 0}, nan_, Vec3d::k()}, nan3, nan3},
    };
    for (const auto& r : rows) {
        const auto got = circle_circle(r.c1, r.c2);
        CHECK(got.has_value());
        if (!got) continue;
        CHECK_SAME(got->first, r.first);
        CHECK_SAME(got->second, r.second);
    }
}

TEST(circle_circle_empty) {
    const Vec3d k = Vec3d::k();
    const Circle a = Circle::make({0, 0, 0}, 1, k);
    const std::pair<Circle, Circle> rows[] = {
        {a, a},
        {a, Circle::make({0, 0, 0}, 1, {0, 0, -1})},
        {a, Circle::make({0, 0, 0}, 2, k)},
        {a, Circle::make({3, 0, 0}, 1, k)},
        {a, Circle::make({0.5, 0, 1}, 1, k)},
        {a, Circle::make({0, 0, 0}, 1, Vec3d::j())},
        {Circle::make({0, 0, 1}, 1, k), Circle::make({1, 0, -1}, 1, {0, 0, -1})},
        {a, Circle::none()},
    };
    for (const auto& [c1, c2] : rows)
        CHECK(!circle_circle(c1, c2).has_value());
}
