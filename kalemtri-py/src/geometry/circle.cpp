#include "geometry/circle.hpp"

#include "classes.hpp"

namespace kpy {

using kalemtri::geometry::Circle;

PyTypeObject* circle_type() {
    static ClassDef def{.name = "Circle"};
    return create_class<Circle>(def);
}

} // namespace kpy
