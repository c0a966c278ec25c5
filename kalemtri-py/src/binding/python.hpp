#pragma once
// The interpreter's API as every part of the binding layer includes it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Named interpreter versions for the places that differ.
#define PY310_PLUS (PY_VERSION_HEX >= 0x030A0000)
#define PY314_PLUS (PY_VERSION_HEX >= 0x030E0000)

namespace kpy {

// Py_NewRef arrived in 3.10.
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

} // namespace kpy
