#include "binding/module.hpp"

#include "binding/convert.hpp"
#include "kalemtri/src/panic.hpp"

namespace kpy {

bool add_to_module(PyObject* module, const char* name, PyObject* item) {
    if (!item) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(item);
            return false;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_DECREF(item);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        set_conversion_error(all, "PyList");
        Py_DECREF(all);
        Py_DECREF(item);
        return false;
    }
    PyObject* key = PyUnicode_FromString(name);
    const bool appended = key && PyList_Append(all, key) == 0;
    Py_DECREF(all);
    if (!appended) {
        Py_XDECREF(key);
        Py_DECREF(item);
        // Running out of memory is not a broken invariant: the MemoryError is the import's error.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        kalemtri::panic("could not append __name__ to __all__");
    }
    const int set = PyObject_SetAttr(module, key, item);
    Py_DECREF(key);
    Py_DECREF(item);
    return set == 0;
}

bool add_class(PyObject* module, PyTypeObject* type) {
    if (!type) return false;
    return add_to_module(module,
                         reinterpret_cast<PyHeapTypeObject*>(type)->ht_type.tp_name +
                             sizeof("builtins.") - 1,
                         new_ref(reinterpret_cast<PyObject*>(type)));
}

bool add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    PyObject* function = PyCFunction_NewEx(def, module, module_name);
    Py_DECREF(module_name);
    return add_to_module(module, def->ml_name, function);
}

} // namespace kpy
