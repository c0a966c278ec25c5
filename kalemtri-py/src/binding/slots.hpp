#pragma once
// The type slots other than calls: properties, operators, item access, iteration, comparison. A
// forward operator form takes the class instance on the left, a reflected form on the right; an
// operand that does not fit makes the form yield NotImplemented, the error discarded.
#include <functional>
#include <type_traits>

#include "binding/call.hpp"
#include "kalemtri/src/panic.hpp"

namespace kpy {

// ---------------------------------------------------------------------------------------------
// Properties

template <auto F> PyObject* getter(PyObject* self, void*) { return call_on_self<F>(self); }

template <auto F> int setter(PyObject* self, PyObject* value, void*) {
    return boundary<int>(-1, [&] {
        if (!value) raise(PyExc_AttributeError, "can't delete attribute");
        // `value` is converted before `self` is borrowed: its `__float__` or `__index__` may read
        // this very instance, which an exclusive borrow held meanwhile would refuse.
        converters_t<F, 1, 0> converters;
        if (!std::get<0>(converters).load(value)) argument_error("value");
        with_self<F>(self, [&](auto& v) { std::invoke(F, v, std::get<0>(converters).get()); });
        return 0;
    });
}

template <auto Member> struct Field;
template <class T, class V, V T::*M> struct Field<M> {
    static V get(const T& t) { return t.*M; }
    static void set(T& t, V v) { t.*M = v; }
};

// A read-write property backed by a field of the core value: `field<"x", &Vec3d::x>()`.
template <StringLiteral Name, auto Member> PyGetSetDef field() {
    return {Name.s, getter<&Field<Member>::get>, setter<&Field<Member>::set>, nullptr, nullptr};
}

// A read-only property computed by F(const T&).
template <StringLiteral Name, auto F> PyGetSetDef readonly() {
    return {Name.s, getter<F>, nullptr, nullptr, nullptr};
}

// ---------------------------------------------------------------------------------------------
// Operators, items and iteration

template <auto F> bool try_binary(PyObject* self, PyObject* other, PyObject*& out) {
    if (!is_instance<self_t<F>>(self)) return false;
    auto* obj = instance<self_t<F>>(self);
    SharedBorrow b;
    if (!b.try_acquire(obj->flag)) {
        clear_error();
        return false;
    }
    converters_t<F, 1, 0> converters;
    if (!std::get<0>(converters).load(other)) {
        clear_error();
        return false;
    }
    out = result(std::invoke(F, obj->value, std::get<0>(converters).get()));
    return true;
}

template <auto Fwd, auto Rev = nullptr> PyObject* binary(PyObject* a, PyObject* b) {
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* out = nullptr;
        if (try_binary<Fwd>(a, b, out)) return out;
        if constexpr (!std::is_null_pointer_v<decltype(Rev)>)
            if (try_binary<Rev>(b, a, out)) return out;
        return new_ref(Py_NotImplemented);
    });
}

template <auto F> PyObject* unary(PyObject* self) { return call_on_self<F>(self); }

template <auto F> PyObject* repr(PyObject* self) { return call_on_self<F>(self); }

// `__getitem__` with its index parameter named `index`.
template <auto F> PyObject* getitem(PyObject* self, PyObject* key) {
    return boundary<PyObject*>(nullptr, [&] {
        return with_self<F>(self, [&](auto& value) {
            return convert_and_call<F, 1, ParameterNames<"index">>(&key, value);
        });
    });
}

// The sequence protocol's item access forwards to the class's `__getitem__` with an int.
PyObject* sequence_item(PyObject* self, Py_ssize_t i);

template <auto F> Py_ssize_t length(PyObject* self) {
    return boundary<Py_ssize_t>(-1, [&] {
        return with_self<F>(
            self, [&](auto& value) { return static_cast<Py_ssize_t>(std::invoke(F, value)); });
    });
}

// `iter(self)` for an iterator: itself.
PyObject* iterator_self(PyObject* self);

// `__next__`: Peek(self) points at the next value, or is null at the end (a null return with no
// error set); Advance(self) steps past it only once it has been converted, so a failed conversion
// loses nothing.
template <auto Peek, auto Advance> PyObject* iterator_next(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&] {
        return with_self<Advance>(self, [&](auto& it) -> PyObject* {
            const auto* next = std::invoke(Peek, it);
            if (!next) return nullptr;
            PyObject* o = result(*next);
            std::invoke(Advance, it);
            return o;
        });
    });
}

template <auto F> bool try_compare(PyObject* a, PyObject* b, PyObject*& out) {
    if constexpr (std::is_null_pointer_v<decltype(F)>)
        return false;
    else
        return try_binary<F>(a, b, out);
}

// One comparison slot for the operators a class defines (nullptr where it defines none).
template <auto Eq, auto Lt = nullptr, auto Le = nullptr, auto Gt = nullptr, auto Ge = nullptr>
PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* out = nullptr;
        bool done = false;
        switch (op) {
        case Py_EQ:
            done = try_compare<Eq>(a, b, out);
            break;
        case Py_LT:
            done = try_compare<Lt>(a, b, out);
            break;
        case Py_LE:
            done = try_compare<Le>(a, b, out);
            break;
        case Py_GT:
            done = try_compare<Gt>(a, b, out);
            break;
        case Py_GE:
            done = try_compare<Ge>(a, b, out);
            break;
        case Py_NE:
            if constexpr (!std::is_null_pointer_v<decltype(Eq)>) {
                // `!=` is the negation of the interpreter's complete `==`, reflection included.
                PyObject* eq = PyObject_RichCompare(a, b, Py_EQ);
                if (!eq) fail();
                const int truth = PyObject_IsTrue(eq);
                Py_DECREF(eq);
                if (truth < 0) fail();
                return to_py(truth == 0);
            }
            break;
        default:
            kalemtri::panic("invalid compareop");
        }
        return done ? out : new_ref(Py_NotImplemented);
    });
}

} // namespace kpy
