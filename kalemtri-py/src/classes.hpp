#pragma once
// The type objects of the module's classes, each created once on first call, and the module
// functions of `geometry`, in the order they are registered.
#include "binding.hpp"

namespace kpy {

PyTypeObject* angle_radians_type();
PyTypeObject* angle_degrees_type();
PyTypeObject* quat_type();
PyTypeObject* vec3d_type();
PyTypeObject* vec_list_type();
// Registered after the others, outside __all__.
PyTypeObject* quat_list_type();

PyTypeObject* circle_type();
PyTypeObject* plane_type();
// circle_circle, circle_point, circle_point_unchecked, plane_line, then a null entry.
PyMethodDef* intersection_functions();

// The `geometry` submodule.
PyObject* geometry_module();

// The spatial index, a module attribute outside `__all__`.
PyTypeObject* vec_tree_type();

// Rigid poses, module attributes outside `__all__`, registered last.
PyTypeObject* pose_type();
PyTypeObject* pose_list_type();

// The result of VecTree.icp, a module attribute outside `__all__`, registered after them.
PyTypeObject* icp_result_type();

// set_max_threads and max_threads, then a null entry: module attributes outside `__all__`.
PyMethodDef* thread_functions();

} // namespace kpy
