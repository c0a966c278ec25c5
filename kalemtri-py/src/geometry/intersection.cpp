#include "geometry/intersection.hpp"

#include "classes.hpp"

namespace kpy {

PyMethodDef* intersection_functions() {
    static PyMethodDef functions[] = {{nullptr, nullptr, 0, nullptr}};
    return functions;
}

} // namespace kpy
