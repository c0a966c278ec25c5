#pragma once
// Argument conversion. Converter<P>::load converts one Python object for a C++ parameter of type P
// and returns false with a Python error set; get() hands the value to the call.
#include <cstddef>
#include <optional>

#include "binding/borrow.hpp"

namespace kpy {

// The primary template takes an instance of exactly the class of T, borrowed shared while the call
// reads it; scalar parameters have their own specialisations.
template <class T> struct Converter {
    Instance<T>* obj = nullptr;
    SharedBorrow borrow;
    bool load(PyObject* o) {
        if (!is_instance<T>(o)) {
            set_conversion_error(o, Class<T>::name);
            return false;
        }
        obj = instance<T>(o);
        return borrow.try_acquire(obj->flag);
    }
    const T& get() const { return obj->value; }
};

template <> struct Converter<double> {
    double v = 0.0;
    bool load(PyObject* o) {
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
            return true;
        }
        v = PyFloat_AsDouble(o);
        return !(v == -1.0 && PyErr_Occurred());
    }
    double get() const { return v; }
};

template <> struct Converter<std::size_t> {
    std::size_t v = 0;
    bool load(PyObject* o);
    std::size_t get() const { return v; }
};

template <> struct Converter<bool> {
    bool v = false;
    bool load(PyObject* o);
    bool get() const { return v; }
};

// A parameter with a default: nothing when the call left it out, else T's conversion.
template <class T> struct Converter<std::optional<T>> {
    Converter<T> inner;
    bool given = false;
    bool load(PyObject* o) {
        given = o != nullptr;
        return !given || inner.load(o);
    }
    std::optional<T> get() const { return given ? std::optional<T>(inner.get()) : std::nullopt; }
};

// Any object, borrowed for the call; null for a left-out parameter with a default.
template <> struct Converter<PyObject*> {
    PyObject* v = nullptr;
    bool load(PyObject* o) {
        v = o;
        return true;
    }
    PyObject* get() const { return v; }
};

} // namespace kpy
