#include "kalemtri/src/geometry/circle.hpp"

#include "classes.hpp"
#include "pickle.hpp"

namespace kpy {

using kalemtri::geometry::Circle;

namespace {

bool eq(const Circle& a, const Circle& b) { return a == b; }

} // namespace

PyTypeObject* circle_type() {
    static ClassDef def{
        .name = "Circle",
        .constructor = constructor<Circle::make, "center, radius, normal">(),
        .methods =
            {
                static_method<Circle, "none", Circle::none>(),
                method<"get_plane", &Circle::get_plane>(),
                method<"is_degenerate", &Circle::is_degenerate>(),
                method<"in_same_plane", &Circle::in_same_plane, "other">(),
                method<"__reduce__", reduce_value<Circle>>(),
                method<"__copy__", copy_value<Circle>>(),
                method<"__deepcopy__", deep_copy_value<Circle>, "memo">(),
            },
        .properties =
            {
                field<"center", &Circle::center>(),
                field<"radius", &Circle::radius>(),
                field<"normal", &Circle::normal>(),
                readonly<"area", &Circle::area>(),
            },
        .slots = {slot(Py_tp_richcompare, richcompare<eq>)},
        // Equality without a hash: circles are unhashable.
        .hashable = false,
    };
    return create_class<Circle>(def);
}

} // namespace kpy
