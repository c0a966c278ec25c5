#include "binding/convert.hpp"

#include <limits>

namespace kpy {

bool Converter<std::size_t>::load(PyObject* o) {
    PyObject* index = PyLong_CheckExact(o) ? new_ref(o) : PyNumber_Index(o);
    if (!index) return false;
    const unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    // Where the word is narrower than 64 bits (i386), truncating would silently pick another index.
    if constexpr (sizeof(std::size_t) < sizeof(n)) {
        if (n > std::numeric_limits<std::size_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    v = static_cast<std::size_t>(n);
    return true;
}

static bool attribute_is(PyObject* obj, const char* attribute, const char* a, const char* b) {
    PyObject* value = PyObject_GetAttrString(obj, attribute);
    bool match = false;
    if (value && PyUnicode_Check(value))
        match = PyUnicode_CompareWithASCIIString(value, a) == 0 ||
                (b && PyUnicode_CompareWithASCIIString(value, b) == 0);
    Py_XDECREF(value);
    clear_error();
    return match;
}

bool Converter<bool>::load(PyObject* o) {
    if (o == Py_True || o == Py_False) {
        v = o == Py_True;
        return true;
    }
    // numpy's boolean scalar is accepted as well: its truth is its value.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (attribute_is(type, "__module__", "numpy", nullptr) &&
        attribute_is(type, "__name__", "bool_", "bool")) {
        PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
        if (!number || !number->nb_bool) {
            PyErr_Format(PyExc_TypeError,
                         "object of type '%s' does not define a '__bool__' conversion",
                         Py_TYPE(o)->tp_name);
            return false;
        }
        const int truth = number->nb_bool(o);
        if (truth < 0) return false;
        v = truth != 0;
        return true;
    }
    set_conversion_error(o, "PyBool");
    return false;
}

} // namespace kpy
