#include <limits>

#include "check.hpp"

using namespace kalemtri;

static const double nan_ = std::numeric_limits<double>::quiet_NaN();
static const double inf = std::numeric_limits<double>::infinity();

TEST(normalize_and_unit) {
    CHECK_SAME(normalize(Vec3d::zero()), (Vec3d{nan_, nan_, nan_}));
    CHECK(!is_unit(Vec3d::zero()));
    CHECK(is_unit(Vec3d::i()));
    CHECK(is_unit(Vec3d{0.6, 0.8, 0}));
    CHECK(!is_unit(Vec3d{1.0000000000000002, 0, 0}));
    CHECK(!is_unit(Vec3d{nan_, 0, 0}));
    CHECK_SAME(normalize(Vec3d{inf, 0, 0}), (Vec3d{nan_, 0, 0}));
}

TEST(products) {
    CHECK_SAME(cross(Vec3d::i(), Vec3d::j()), Vec3d::k());
    CHECK_SAME(cross(Vec3d::j(), Vec3d::i()), (Vec3d{0, 0, -1}));
    CHECK_SAME(scalar_triple_product(Vec3d::i(), Vec3d::j(), Vec3d::k()), 1.0);
    // (x + y) + z: 1e16 + 1 is lost before -1e16 is added.
    CHECK_SAME(dot(Vec3d{1e16, 1, -1e16}, Vec3d{1, 1, 1}), 0.0);
    CHECK_SAME(dot(Vec3d{1e16, -1e16, 1}, Vec3d{1, 1, 1}), 1.0);
}

TEST(arithmetic_signs) {
    const Vec3d n = -Vec3d::zero();
    CHECK(std::signbit(n.x) && std::signbit(n.y) && std::signbit(n.z));
    CHECK_SAME(Vec3d(1, -1, 0) / 0.0, (Vec3d{inf, -inf, nan_}));
    CHECK_SAME(2.0 * Vec3d(1, 2, 3), (Vec3d{2, 4, 6}));
    // Division is three true divisions, not a multiplication by the reciprocal.
    CHECK_SAME((Vec3d{1, 1, 1} / 3.0).x, 1.0 / 3.0);
    CHECK_SAME((Vec3d{0.3, 0, 0} / 0.1).x, 0.3 / 0.1);
}

TEST(lines_and_planes) {
    CHECK_SAME(distance_to_line(Vec3d{0, 1, 0}, Vec3d::zero(), Vec3d::i()), 1.0);
    CHECK_SAME(distance_to_line(Vec3d{5, 1, 0}, Vec3d::zero(), Vec3d::i()), 1.0);
    CHECK_SAME(distance_to_line(Vec3d{5, 1, 0}, Vec3d::i(), Vec3d::i()), nan_);
    CHECK_SAME(project_onto_line(Vec3d{2, 3, 4}, Vec3d::i(), Vec3d::zero()), (Vec3d{2, 0, 0}));
    CHECK_SAME(project_onto_line(Vec3d{2, 3, 4}, Vec3d::i(), Vec3d::i()),
               (Vec3d{nan_, nan_, nan_}));
    CHECK_SAME(project_onto_plane(Vec3d{1, 2, 3}, Vec3d::k()), (Vec3d{1, 2, 0}));
    CHECK_SAME(project_onto_plane(Vec3d{1, 1, 1}, Vec3d{0, 0, 2}), (Vec3d{1, 1, -3}));
    CHECK_SAME(new_from_to(Vec3d{1, 1, 1}, Vec3d{2, 3, 4}), (Vec3d{1, 2, 3}));
    CHECK_SAME(distance_to(Vec3d{1, 2, 3}, Vec3d{4, 6, 3}), 5.0);
}

TEST(collapse_and_index) {
    CHECK_SAME(collapse(Vec3d{1, 2, 3}, 1), (Vec3d{1, 0, 3}));
    CHECK(!std::signbit(collapse(Vec3d{-1, 2, 3}, 0).x));
    CHECK_PANICS(collapse(Vec3d{1, 2, 3}, 3), "explicit panic");
    CHECK_SAME(component(Vec3d{1, 2, 3}, 2), 3.0);
    CHECK_PANICS(component(Vec3d{1, 2, 3}, 3), "Index out of bounds");
}
