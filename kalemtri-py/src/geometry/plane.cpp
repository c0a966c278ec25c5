#include "geometry/plane.hpp"

#include "classes.hpp"

namespace kpy {

using kalemtri::geometry::Plane;

PyTypeObject* plane_type() {
    static ClassDef def{.name = "Plane"};
    return create_class<Plane>(def);
}

} // namespace kpy
