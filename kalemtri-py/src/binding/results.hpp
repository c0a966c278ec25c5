#pragma once
// Results. to_py returns a new reference, or nullptr with a Python error set.
#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/borrow.hpp"

namespace kpy {

inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(bool v) { return new_ref(v ? Py_True : Py_False); }
inline PyObject* to_py(std::size_t v) { return PyLong_FromSize_t(v); }
// Already converted, or nullptr with the error set.
inline PyObject* to_py(PyObject* v) { return v; }
PyObject* to_py(const std::string& text);
// A str from ASCII text.
PyObject* ascii_text(const char* begin, const char* end);

// Results that convert by their shape: a pair or tuple to a tuple, an optional to None or its
// value, a contiguous sequence (std::array, pool arrays) to a list.
template <class T> inline constexpr bool by_shape = false;
template <class A, class B> inline constexpr bool by_shape<std::pair<A, B>> = true;
template <class... E> inline constexpr bool by_shape<std::tuple<E...>> = true;
template <class V> inline constexpr bool by_shape<std::optional<V>> = true;
template <class T>
concept Sequence = !std::is_same_v<T, std::string> && requires(const T& s) {
    s.data();
    s.size();
    s[0];
};

// Every other class is a core value, which goes out as a new instance of its class.
template <class T>
concept CoreValue =
    std::is_class_v<T> && !by_shape<T> && !Sequence<T> && !std::is_same_v<T, std::string>;

template <class T>
requires CoreValue<std::remove_cvref_t<T>> PyObject* to_py(T&& v);
template <class S>
requires Sequence<S> PyObject* to_py(const S& s);
template <class A, class B> PyObject* to_py(const std::pair<A, B>& p);
template <class... E> PyObject* to_py(const std::tuple<E...>& t);
template <class V> PyObject* to_py(const std::optional<V>& v);

// A new list of make(0) ... make(n - 1), each a new reference; nullptr (error set) if one fails
// or a signal handler raises: a list of millions takes long enough for Ctrl-C to be expected.
template <class Make> PyObject* make_list(std::size_t n, Make&& make) {
    constexpr std::size_t CHECK_EVERY = std::size_t{1} << 16;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const bool interrupted = i % CHECK_EVERY == CHECK_EVERY - 1 && PyErr_CheckSignals() < 0;
        PyObject* item = interrupted ? nullptr : make(i);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// A value moved out of the call (a result array, a new VecList) is moved into the instance.
template <class T>
requires CoreValue<std::remove_cvref_t<T>> PyObject* to_py(T&& v) {
    return new_instance<std::remove_cvref_t<T>>(std::forward<T>(v));
}

template <class S>
requires Sequence<S> PyObject* to_py(const S& s) {
    return make_list(s.size(), [&](std::size_t i) { return to_py(s[i]); });
}

template <class Tuple, std::size_t... I>
PyObject* tuple_to_py(const Tuple& t, std::index_sequence<I...>) {
    PyObject* items[] = {to_py(std::get<I>(t))...};
    for (PyObject* item : items)
        if (!item) {
            for (PyObject* other : items)
                Py_XDECREF(other);
            return nullptr;
        }
    PyObject* tuple = PyTuple_New(sizeof...(I));
    if (!tuple) {
        for (PyObject* item : items)
            Py_DECREF(item);
        return nullptr;
    }
    std::size_t i = 0;
    for (PyObject* item : items)
        PyTuple_SET_ITEM(tuple, i++, item);
    return tuple;
}

template <class A, class B> PyObject* to_py(const std::pair<A, B>& p) {
    return tuple_to_py(p, std::index_sequence<0, 1>{});
}

template <class... E> PyObject* to_py(const std::tuple<E...>& t) {
    return tuple_to_py(t, std::index_sequence_for<E...>{});
}

template <class V> PyObject* to_py(const std::optional<V>& v) {
    return v ? to_py(*v) : new_ref(Py_None);
}

// Throws if the conversion failed.
template <class R> PyObject* result(R&& r) {
    PyObject* o = to_py(std::forward<R>(r));
    if (!o) fail();
    return o;
}

} // namespace kpy
