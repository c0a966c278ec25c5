#include <vector>

#include "classes.hpp"
#include "vec3d.hpp"

namespace kpy {

struct VecList {
    std::vector<kalemtri::Vec3d> items;
};

PyTypeObject* vec_list_type() {
    static ClassDef def{.name = "VecList"};
    return create_class<VecList>(def);
}

} // namespace kpy
