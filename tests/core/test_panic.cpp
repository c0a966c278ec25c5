#include <string>
#include <utility>

#include "check.hpp"
#include "kalemtri/src/panic.hpp"

using namespace kalemtri;

namespace ops {
template <class T> std::pair<T, std::pair<int, int>> templated(T) { panic("t"); }
struct Shape {
    double area() const { panic("m"); }
};
} // namespace ops

template <class F> static std::string operation_of(F&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return std::string(p.operation());
    }
    return "no panic";
}

TEST(operation_names_the_failing_function) {
    CHECK(operation_of([] { (void)collapse(Vec3d{1, 2, 3}, 3); }) == "kalemtri::collapse");
    CHECK(operation_of([] { (void)component(Vec3d{}, 7); }) == "kalemtri::component");
    // Spaces inside a templated return type do not cut the name short.
    CHECK(operation_of([] { (void)ops::templated(1); }) == "ops::templated");
    CHECK(operation_of([] { (void)ops::Shape{}.area(); }) == "ops::Shape::area");
}
