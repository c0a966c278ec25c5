#pragma once
// The value of a VecList, shared with the classes whose batch operations take or make one.
#include <cstddef>

#include "kalemtri/src/vec3d.hpp"
#include "storage.hpp"

namespace kpy {

struct VecList {
    storage::Array<kalemtri::Vec3d> items;
    // Buffer views alive: while there are any the array must stay where it is, unchanged.
    std::size_t exports = 0;
};

} // namespace kpy
