#include "kalemtri/src/geometry/plane.hpp"

#include "classes.hpp"
#include "pickle.hpp"

namespace kpy {

using kalemtri::geometry::Plane;

PyTypeObject* plane_type() {
    static ClassDef def{
        .name = "Plane",
        .constructor = constructor<Plane::make, "normal, distance">(),
        .methods =
            {
                static_method<Plane, "from_point", Plane::from_point, "normal, point">(),
                static_method<Plane, "from_points", Plane::from_points, "point1, point2, point3">(),
                static_method<Plane, "xy", Plane::xy>(),
                static_method<Plane, "xz", Plane::xz>(),
                static_method<Plane, "yz", Plane::yz>(),
                method<"contains_point", &Plane::contains_point, "point">(),
                method<"distance_to_point", &Plane::distance_to_point, "point">(),
                method<"__reduce__", reduce_value<Plane>>(),
                method<"__copy__", copy_value<Plane>>(),
                method<"__deepcopy__", deep_copy_value<Plane>, "memo">(),
            },
        .properties = {field<"normal", &Plane::normal>(), field<"distance", &Plane::distance>()},
    };
    return create_class<Plane>(def);
}

} // namespace kpy
