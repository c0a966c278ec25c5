#pragma once
// The shared call path. Every binding collects its arguments, borrows `self` if it has one,
// converts the arguments left to right, calls the C++ function and converts its result. Method
// table entries and constructors are built on it here; slots.hpp builds the other slots.
#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/convert.hpp"
#include "binding/results.hpp"
#include "binding/signature.hpp"

namespace kpy {

// ---------------------------------------------------------------------------------------------
// Function traits

template <class F> struct FunctionTraits;
template <class R, class... A> struct FunctionTraits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};
template <class R, class... A>
struct FunctionTraits<R (*)(A...) noexcept> : FunctionTraits<R (*)(A...)> {};
// A const member function reads its object as the self parameter.
template <class R, class T, class... A> struct FunctionTraits<R (T::*)(A...) const> {
    using result = R;
    using args = std::tuple<const T&, A...>;
    static constexpr std::size_t arity = sizeof...(A) + 1;
};
template <class R, class T, class... A>
struct FunctionTraits<R (T::*)(A...) const noexcept> : FunctionTraits<R (T::*)(A...) const> {};

template <auto F> using function_traits = FunctionTraits<std::decay_t<decltype(F)>>;

// The parameter types of F after its first `Skip`, as the converters that load them.
template <auto F, std::size_t Skip, std::size_t... I>
using converters_t = std::tuple<Converter<
    std::remove_cvref_t<std::tuple_element_t<Skip + I, typename function_traits<F>::args>>>...>;

// ---------------------------------------------------------------------------------------------
// The shared call path. Every binding collects its arguments, borrows `self` if it has one,
// converts the arguments left to right, calls the C++ function and converts its result.

// Where a class's name goes in messages ("Vec3d.__new__()"); nothing for a module function.
template <class Owner> const char* owner_name() {
    if constexpr (std::is_void_v<Owner>)
        return nullptr;
    else
        return Class<Owner>::name;
}

// The arguments of a FASTCALL call, one per parameter P names, in order. A call that passes exactly
// those by position, the common case, is read in place; any other goes through the parser into
// `buffer`, which raises the interpreter-style TypeError for a call that does not fit.
template <class P>
PyObject* const* collect_arguments(const char* owner, const char* function, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, PyObject** buffer) {
    if (P::positional == P::count && !kwnames && nargs == Py_ssize_t(P::count)) [[likely]]
        return args;
    parse_arguments(owner, function, P::names.data(), P::count, args, nargs, kwnames, buffer,
                    P::required, P::positional);
    return buffer;
}

// F's first parameter as the receiver: its class, and the borrow it asks for. A non-const
// reference changes the instance and takes it exclusively; anything else reads it shared.
template <auto F> using self_param = std::tuple_element_t<0, typename function_traits<F>::args>;
template <auto F> using self_t = std::remove_cvref_t<self_param<F>>;
template <auto F>
using self_borrow_t =
    std::conditional_t<std::is_lvalue_reference_v<self_param<F>> &&
                           !std::is_const_v<std::remove_reference_t<self_param<F>>>,
                       ExclusiveBorrow, SharedBorrow>;

// Runs body(value of `self`) under the borrow F asks for; `self` is an instance of its class.
template <auto F, class Body> decltype(auto) with_self(PyObject* self, Body&& body) {
    auto* obj = instance<self_t<F>>(self);
    self_borrow_t<F> borrow(obj->flag);
    return body(obj->value);
}

// Converts slots[0 .. P::count) for F's parameters after the first `Skip` and calls F with
// `lead...` before them; the first failure ends the call. A void F returns None.
template <auto F, std::size_t Skip, class P, std::size_t... I, class... Lead>
PyObject* convert_and_call(std::index_sequence<I...>, PyObject* const* slots, Lead&... lead) {
    static_assert(Skip + P::count == function_traits<F>::arity,
                  "parameter names do not match the function");
    converters_t<F, Skip, I...> converters;
    (void)((std::get<I>(converters).load(slots[I]) || (argument_error(P::names[I]), false)) && ...);
    if constexpr (std::is_void_v<typename function_traits<F>::result>) {
        std::invoke(F, lead..., std::get<I>(converters).get()...);
        return new_ref(Py_None);
    } else {
        return result(std::invoke(F, lead..., std::get<I>(converters).get()...));
    }
}
template <auto F, std::size_t Skip, class P, class... Lead>
PyObject* convert_and_call(PyObject* const* slots, Lead&... lead) {
    return convert_and_call<F, Skip, P>(std::make_index_sequence<P::count>{}, slots, lead...);
}

// ---------------------------------------------------------------------------------------------
// Methods

// Arity errors come first, then `self` is borrowed, then the arguments are converted.
template <StringLiteral Name, auto F, StringLiteral ParamNames>
PyObject* method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = ParameterNames<ParamNames>;
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* buffer[P::count ? P::count : 1];
        PyObject* const* slots =
            collect_arguments<P>(Class<self_t<F>>::name, Name.s, args, nargs, kwnames, buffer);
        return with_self<F>(self,
                            [&](auto& value) { return convert_and_call<F, 1, P>(slots, value); });
    });
}

// Methods without parameters, getters and unary operators: F(self) alone.
template <auto F> PyObject* call_on_self(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&] {
        return with_self<F>(self, [&](auto& value) {
            return convert_and_call<F, 1, ParameterNames<"">>(nullptr, value);
        });
    });
}

template <auto F> PyObject* method_noargs(PyObject* self, PyObject*) {
    return call_on_self<F>(self);
}

// Static methods, constructors and module functions convert every parameter; `Owner` names the
// class in messages, or is void for a module function ("plane_line()").
template <class Owner, StringLiteral Name, auto F, StringLiteral ParamNames>
PyObject* call_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = ParameterNames<ParamNames>;
    PyObject* buffer[P::count ? P::count : 1];
    PyObject* const* slots =
        collect_arguments<P>(owner_name<Owner>(), Name.s, args, nargs, kwnames, buffer);
    return convert_and_call<F, 0, P>(slots);
}

// The entry of a static method or module function with parameters, and of one without.
template <class Owner, StringLiteral Name, auto F, StringLiteral ParamNames>
PyObject* function_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary<PyObject*>(
        nullptr, [&] { return call_function<Owner, Name, F, ParamNames>(args, nargs, kwnames); });
}

template <auto F> PyObject* function_noargs(PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr,
                               [&] { return convert_and_call<F, 0, ParameterNames<"">>(nullptr); });
}

// ---------------------------------------------------------------------------------------------
// Method table entries

// Method tables store every calling convention as a PyCFunction.
template <class F> PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// An instance method: `method<"dot", dot, "other">()`.
template <StringLiteral Name, auto F, StringLiteral ParamNames = ""> PyMethodDef method() {
    if constexpr (ParameterNames<ParamNames>::count == 0)
        return {Name.s, as_cfunction(method_noargs<F>), METH_NOARGS,
                signature_doc(Name.s, "", true)};
    else
        return {Name.s, as_cfunction(method_fast<Name, F, ParamNames>),
                METH_FASTCALL | METH_KEYWORDS, signature_doc(Name.s, ParamNames.s, true)};
}

// A static method of the class of T: `static_method<Vec3d, "zero", Vec3d::zero>()`.
template <class T, StringLiteral Name, auto F, StringLiteral ParamNames = "">
PyMethodDef static_method() {
    if constexpr (ParameterNames<ParamNames>::count == 0)
        return {Name.s, as_cfunction(function_noargs<F>), METH_NOARGS | METH_STATIC,
                signature_doc(Name.s, "", false)};
    else
        return {Name.s, as_cfunction(function_fast<T, Name, F, ParamNames>),
                METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                signature_doc(Name.s, ParamNames.s, false)};
}

// A module function: `function<"plane_line", plane_line, "plane, a, b">()`.
template <StringLiteral Name, auto F, StringLiteral ParamNames> PyMethodDef function() {
    return {Name.s, as_cfunction(function_fast<void, Name, F, ParamNames>),
            METH_FASTCALL | METH_KEYWORDS, signature_doc(Name.s, ParamNames.s, false)};
}

// ---------------------------------------------------------------------------------------------
// Constructors: F builds the core value from the converted parameters.

template <auto F, StringLiteral ParamNames> struct ConstructorCall {
    using T = std::remove_cvref_t<typename function_traits<F>::result>;
    using P = ParameterNames<ParamNames>;

    static PyObject* vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) {
        return boundary<PyObject*>(nullptr, [&] {
            return call_function<T, "__new__", F, ParamNames>(args, PyVectorcall_NARGS(nargsf),
                                                              kwnames);
        });
    }
    static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return boundary<PyObject*>(nullptr, [&] {
            PyObject* slots[P::count ? P::count : 1];
            parse_tuple_arguments(Class<T>::name, "__new__", P::names.data(), P::count, args,
                                  kwargs, slots, P::required, P::positional);
            return convert_and_call<F, 0, P>(slots);
        });
    }
};

} // namespace kpy
