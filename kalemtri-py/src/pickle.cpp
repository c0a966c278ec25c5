#include "pickle.hpp"

#include <cstring>

#include "buffer.hpp"
#include "kalemtri/src/angle.hpp"
#include "kalemtri/src/geometry/circle.hpp"
#include "kalemtri/src/geometry/plane.hpp"
#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kpy {

namespace {

PyObject* reconstructor = nullptr;

// A value restored from exactly its own bytes, bypassing the constructors, which would normalise
// a Plane's or Circle's normal.
template <class T> bool restore(const char* name, const Bytes& state, PyObject*& out) {
    if (!Class<T>::name || std::strcmp(name, Class<T>::name) != 0) return false;
    if (state.size() != sizeof(T)) {
        PyErr_Format(PyExc_ValueError, "_reconstruct(): the state of %s must be %zu bytes, not %zu",
                     name, sizeof(T), state.size());
        fail();
    }
    T value;
    std::memcpy(static_cast<void*>(&value), state.data(), sizeof(T));
    out = new_instance<T>(value);
    if (!out) fail();
    return true;
}

PyObject* reconstruct(PyObject* name, PyObject* state) {
    const char* n = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!n) {
        if (!PyErr_Occurred()) set_conversion_error(name, "PyString");
        argument_error("name");
    }
    if (std::strcmp(n, "VecList") == 0) return restore_vec_list(state);
    if (std::strcmp(n, "VecTree") == 0) return restore_vec_tree(state);
    const Bytes bytes(state);
    namespace k = kalemtri;
    PyObject* out = nullptr;
    if (restore<k::Vec3d>(n, bytes, out) || restore<k::AngleRadians>(n, bytes, out) ||
        restore<k::AngleDegrees>(n, bytes, out) || restore<k::Quat>(n, bytes, out) ||
        restore<k::geometry::Plane>(n, bytes, out) || restore<k::geometry::Circle>(n, bytes, out))
        return out;
    PyErr_Format(PyExc_ValueError, "_reconstruct(): no class named '%s'", n);
    fail();
}

PyMethodDef reconstruct_def[] = {function<"_reconstruct", reconstruct, "name, state">()};

} // namespace

PyObject* reduce_to(const char* name, PyObject* state) {
    if (!state) fail();
    PyObject* r = Py_BuildValue("O(sN)", reconstructor, name, state);
    if (!r) fail();
    return r;
}

PyObject* state_bytes(const void* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes) copy_bytes(PyBytes_AS_STRING(bytes), data, size);
    return bytes;
}

bool add_reconstructor(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    PyObject* function = PyCFunction_NewEx(reconstruct_def, module, module_name);
    Py_DECREF(module_name);
    if (!function || PyObject_SetAttrString(module, "_reconstruct", function) < 0) {
        Py_XDECREF(function);
        return false;
    }
    reconstructor = function; // kept for the life of the process, as the module is
    return true;
}

} // namespace kpy
