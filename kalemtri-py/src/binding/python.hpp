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

// Calls f on each item `iterator` yields, then releases the iterator, whose reference it takes;
// both references are released whatever f throws. An error of the iterator itself ends the loop
// as its end does: the caller checks PyErr_Occurred.
template <class F> void consume_iterator(PyObject* iterator, F&& f) {
    try {
        while (PyObject* item = PyIter_Next(iterator)) {
            try {
                f(item);
            } catch (...) {
                Py_DECREF(item);
                throw;
            }
            Py_DECREF(item);
        }
    } catch (...) {
        Py_DECREF(iterator);
        throw;
    }
    Py_DECREF(iterator);
}

} // namespace kpy
