#include "angle.hpp"

#include "classes.hpp"

namespace kpy {

using kalemtri::AngleDegrees;
using kalemtri::AngleRadians;

PyTypeObject* angle_radians_type() {
    static ClassDef def{.name = "AngleRadians"};
    return create_class<AngleRadians>(def);
}

PyTypeObject* angle_degrees_type() {
    static ClassDef def{.name = "AngleDegrees"};
    return create_class<AngleDegrees>(def);
}

} // namespace kpy
