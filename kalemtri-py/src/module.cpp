// The module entry: `kalemtri_py` and its `geometry` submodule, each created once per process.
#include "classes.hpp"
#include "kernels.hpp"
#include "pickle.hpp"

namespace kpy {

namespace {

bool kalemtri_body(PyObject* m) {
    // Private, outside __all__: which batch kernels this processor runs, for the benchmarks.
    const char* level = kernels::name(kernels::chosen_level());
    return add_class(m, angle_radians_type()) && add_class(m, angle_degrees_type()) &&
           add_class(m, quat_type()) && add_class(m, vec3d_type()) &&
           add_class(m, vec_list_type()) && add_to_module(m, "geometry", geometry_module()) &&
           add_reconstructor(m) && PyModule_AddStringConstant(m, "_kernel_level", level) == 0;
}

bool geometry_body(PyObject* m) {
    if (!add_class(m, circle_type())) return false;
    for (PyMethodDef* f = intersection_functions(); f->ml_name; ++f)
        if (!add_function(m, f)) return false;
    return add_class(m, plane_type());
}

ModuleDef kalemtri_module{module_def("kalemtri_py"), kalemtri_body};
ModuleDef geometry_def{module_def("geometry"), geometry_body};

} // namespace

PyObject* geometry_module() { return init_module(geometry_def); }

} // namespace kpy

// Nothing declares free-threaded support (no PyUnstable_Module_SetGIL): every binding relies on the
// interpreter lock, so a free-threaded interpreter turns its lock back on when it imports this.
PyMODINIT_FUNC PyInit_kalemtri_py() { return kpy::init_module(kpy::kalemtri_module); }
