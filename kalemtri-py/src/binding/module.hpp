#pragma once
// Filling a module: its classes and functions, each named in `__all__` in the order added.
#include "binding/python.hpp"

namespace kpy {

// Adds `item` to `module` under `name` and appends the name to `__all__`; steals `item`.
bool add_to_module(PyObject* module, const char* name, PyObject* item);
bool add_class(PyObject* module, PyTypeObject* type);
bool add_function(PyObject* module, PyMethodDef* def);

} // namespace kpy
