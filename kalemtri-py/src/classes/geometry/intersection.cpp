#include "kalemtri/src/geometry/intersection.hpp"

#include "classes.hpp"

namespace kpy {

namespace g = kalemtri::geometry;

PyMethodDef* intersection_functions() {
    static PyMethodDef functions[] = {
        function<"circle_circle", g::circle_circle, "circle1, circle2">(),
        function<"circle_point", g::circle_point, "circle, point, inner">(),
        function<"circle_point_unchecked", g::circle_point_unchecked, "circle, point, inner">(),
        function<"plane_line", g::plane_line, "plane, a, b">(),
        {nullptr, nullptr, 0, nullptr},
    };
    return functions;
}

} // namespace kpy
