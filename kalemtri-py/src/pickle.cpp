#include "pickle.hpp"

#include "buffer.hpp"

namespace kpy {

namespace {

PyObject* reconstructor = nullptr;

// The class is found by its whole name: a name with more after a NUL is another name.
PyObject* reconstruct(PyObject* name, PyObject* state) {
    Py_ssize_t length = 0;
    const char* n = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (!n) {
        if (!PyErr_Occurred()) set_conversion_error(name, "PyString");
        argument_error("name");
    }
    const Bytes bytes(state);
    const ClassRecord* record = find_class({n, static_cast<std::size_t>(length)});
    if (!record || !record->restore) {
        PyErr_Format(PyExc_ValueError, "_reconstruct(): no class named '%U'", name);
        fail();
    }
    return record->restore(bytes.data(), bytes.size());
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
    if (!bytes) return nullptr;
    try {
        copy_bytes(PyBytes_AS_STRING(bytes), data, size);
    } catch (...) { // an interrupt
        Py_DECREF(bytes);
        throw;
    }
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
