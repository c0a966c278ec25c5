#include "quat.hpp"

#include "classes.hpp"

namespace kpy {

using kalemtri::Quat;

PyTypeObject* quat_type() {
    static ClassDef def{.name = "Quat"};
    return create_class<Quat>(def);
}

} // namespace kpy
