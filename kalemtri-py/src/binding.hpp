#pragma once
// The binding layer between CPython and the geometry core. Every class, method, property, operator
// and module function is declared in one line that names a C++ function and its Python parameter
// names; the templates here turn that into the interpreter's slots and method tables, with the
// argument conversion, error messages, borrow checks and panic handling every binding shares.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kalemtri/src/panic.hpp"

// Named interpreter versions for the places that differ.
#define PY310_PLUS (PY_VERSION_HEX >= 0x030A0000)
#define PY314_PLUS (PY_VERSION_HEX >= 0x030E0000)

namespace kpy {

// ---------------------------------------------------------------------------------------------
// Errors

// Thrown once a Python error is set; the call's boundary turns it into a null return.
struct PyErrSet {};

[[noreturn, gnu::cold]] inline void fail() { throw PyErrSet{}; }

// Py_NewRef arrived in 3.10.
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}
[[noreturn, gnu::cold]] void raise(PyObject* type, const char* message);

// The exception type of internal assertion failures, created on first need.
PyObject* panic_type();

// Discards the current error if it is an ordinary failure; anything else (an interrupt, SystemExit,
// MemoryError, a PanicException from Python code) is kept and the call fails with it.
void clear_error();

// Gives a conversion failure of parameter `name` its "argument '<name>': " prefix (TypeError only).
[[noreturn, gnu::cold]] void argument_error(const char* name);

// The `__qualname__` of an object's type, for messages.
std::string type_qualname(PyObject* obj);

// Sets TypeError "'<qualname of obj's type>' object cannot be converted to '<target>'".
[[gnu::cold]] void set_conversion_error(PyObject* obj, const char* target);

// Makes the exception in flight the Python error of the call: a set Python error stays (a
// PanicException fetched from Python is resumed), a core panic becomes PanicException, bad_alloc
// MemoryError. Out of line and cold, so each binding carries only a catch-all.
[[gnu::cold]] void set_error_from_exception() noexcept;

// Runs a binding body; C++ failures become the Python error of the call and `error_value`.
template <class R, class F> R boundary(R error_value, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
    }
    return error_value;
}

// ---------------------------------------------------------------------------------------------
// Instances and borrows

// Counts shared borrows, or holds -1 for the one exclusive borrow. Every access happens under the
// interpreter lock, so plain atomic loads and stores are enough.
using BorrowFlag = std::atomic<std::intptr_t>;

template <class T> struct Instance {
    PyObject_HEAD BorrowFlag flag;
    T value;
};

// The Python class wrapping core type T: its type object once created, and its name for messages.
template <class T> struct Class {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = nullptr;
};

template <class T> Instance<T>* instance(PyObject* o) { return reinterpret_cast<Instance<T>*>(o); }
template <class T> bool is_instance(PyObject* o) {
    return Py_TYPE(o) == Class<T>::type && Class<T>::type != nullptr;
}

// Sets RuntimeError `message`.
[[gnu::cold]] void set_borrow_error(const char* message);

class SharedBorrow {
  public:
    SharedBorrow() = default;
    explicit SharedBorrow(BorrowFlag& f) { acquire(f); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (flag_)
            flag_->store(flag_->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    // False (with RuntimeError set) while an exclusive borrow is held.
    bool try_acquire(BorrowFlag& f) {
        const auto v = f.load(std::memory_order_relaxed);
        if (v < 0) [[unlikely]] {
            set_borrow_error("Already mutably borrowed");
            return false;
        }
        f.store(v + 1, std::memory_order_relaxed);
        flag_ = &f;
        return true;
    }
    void acquire(BorrowFlag& f) {
        if (!try_acquire(f)) fail();
    }

  private:
    BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& f) : flag_(f) {
        if (f.load(std::memory_order_relaxed) != 0) [[unlikely]]
            raise(PyExc_RuntimeError, "Already borrowed");
        f.store(-1, std::memory_order_relaxed);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_relaxed); }

  private:
    BorrowFlag& flag_;
};

// A new instance of T's class holding `value`.
template <class T, class... A> PyObject* new_instance(A&&... args) {
    PyTypeObject* type = Class<T>::type;
    auto* obj = static_cast<Instance<T>*>(PyObject_Malloc(sizeof(Instance<T>)));
    if (!obj) return PyErr_NoMemory();
    PyObject_Init(reinterpret_cast<PyObject*>(obj), type);
    new (&obj->flag) BorrowFlag(0);
    try {
        new (&obj->value) T(std::forward<A>(args)...);
    } catch (...) {
        PyObject_Free(obj);
        Py_DECREF(type);
        throw;
    }
    return reinterpret_cast<PyObject*>(obj);
}

template <class T> void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    instance<T>(self)->value.~T();
    PyObject_Free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Argument conversion. Conv<P>::load converts one Python object for a C++ parameter of type P and
// returns false with a Python error set; get() hands the value to the call.

// The primary template takes an instance of exactly the class of T, borrowed shared while the call
// reads it; scalar parameters have their own specialisations.
template <class T> struct Conv {
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

template <> struct Conv<double> {
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

template <> struct Conv<std::size_t> {
    std::size_t v = 0;
    bool load(PyObject* o);
    std::size_t get() const { return v; }
};

template <> struct Conv<bool> {
    bool v = false;
    bool load(PyObject* o);
    bool get() const { return v; }
};

// Any object, borrowed for the call.
template <> struct Conv<PyObject*> {
    PyObject* v = nullptr;
    bool load(PyObject* o) {
        v = o;
        return true;
    }
    PyObject* get() const { return v; }
};

// ---------------------------------------------------------------------------------------------
// Results. to_py returns a new reference, or nullptr with a Python error set.

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

// A new list of make(0) ... make(n - 1), each a new reference; nullptr (error set) if one fails.
template <class Make> PyObject* make_list(std::size_t n, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
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

// ---------------------------------------------------------------------------------------------
// Names and signatures, given as string literals in template arguments.

template <std::size_t N> struct Lit {
    char s[N];
    constexpr Lit(const char (&a)[N]) {
        for (std::size_t i = 0; i < N; ++i)
            s[i] = a[i];
    }
    static constexpr std::size_t size = N - 1;
};

// "a, b, c" as separate, null-terminated names.
template <Lit P> struct Params {
    static constexpr std::size_t count = [] {
        if (P.size == 0) return std::size_t{0};
        std::size_t n = 1;
        for (std::size_t i = 0; i < P.size; ++i)
            n += P.s[i] == ',';
        return n;
    }();
    static constexpr auto buffer = [] {
        std::array<char, P.size + 1> b{};
        for (std::size_t i = 0; i <= P.size; ++i)
            b[i] = P.s[i] == ',' ? '\0' : P.s[i];
        return b;
    }();
    static constexpr auto offsets = [] {
        std::array<std::size_t, count + 1> o{};
        std::size_t k = 0;
        for (std::size_t i = 0; i < P.size && k < count; ++i)
            if (P.s[i] == ',') o[++k] = i + 2;
        return o;
    }();
    static inline const std::array<const char*, count + 1> names = [] {
        std::array<const char*, count + 1> n{};
        for (std::size_t i = 0; i < count; ++i)
            n[i] = buffer.data() + offsets[i];
        return n;
    }();
};

// The interpreter reads a callable's signature from "<name>(<params>)\n--\n\n".
const char* signature_doc(const char* name, const char* params, bool self);

// Fills `out` with the arguments of a FASTCALL call, by position or keyword, or raises the
// interpreter-style TypeError for missing, surplus, unknown or repeated arguments.
void parse_arguments(const char* owner, const char* function, const char* const* names,
                     std::size_t count, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);

// The same for a classic (tuple, dict) call.
void parse_tuple_arguments(const char* owner, const char* function, const char* const* names,
                           std::size_t count, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------------------------------------------
// Function traits

template <class F> struct Fn;
template <class R, class... A> struct Fn<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};
template <class R, class... A> struct Fn<R (*)(A...) noexcept> : Fn<R (*)(A...)> {};
// A const member function reads its object as the self parameter.
template <class R, class T, class... A> struct Fn<R (T::*)(A...) const> {
    using result = R;
    using args = std::tuple<const T&, A...>;
    static constexpr std::size_t arity = sizeof...(A) + 1;
};
template <class R, class T, class... A>
struct Fn<R (T::*)(A...) const noexcept> : Fn<R (T::*)(A...) const> {};

template <auto F> using fn = Fn<std::decay_t<decltype(F)>>;

// The parameter types of F after its first `Skip`, as the converters that load them.
template <auto F, std::size_t Skip, std::size_t... I>
using converters_t =
    std::tuple<Conv<std::remove_cvref_t<std::tuple_element_t<Skip + I, typename fn<F>::args>>>...>;

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
    if (!kwnames && nargs == Py_ssize_t(P::count)) [[likely]]
        return args;
    parse_arguments(owner, function, P::names.data(), P::count, args, nargs, kwnames, buffer);
    return buffer;
}

// F's first parameter as the receiver: its class, and the borrow it asks for. A non-const
// reference changes the instance and takes it exclusively; anything else reads it shared.
template <auto F> using self_param = std::tuple_element_t<0, typename fn<F>::args>;
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
    static_assert(Skip + P::count == fn<F>::arity, "parameter names do not match the function");
    converters_t<F, Skip, I...> conv;
    (void)((std::get<I>(conv).load(slots[I]) || (argument_error(P::names[I]), false)) && ...);
    if constexpr (std::is_void_v<typename fn<F>::result>) {
        std::invoke(F, lead..., std::get<I>(conv).get()...);
        return new_ref(Py_None);
    } else {
        return result(std::invoke(F, lead..., std::get<I>(conv).get()...));
    }
}
template <auto F, std::size_t Skip, class P, class... Lead>
PyObject* convert_and_call(PyObject* const* slots, Lead&... lead) {
    return convert_and_call<F, Skip, P>(std::make_index_sequence<P::count>{}, slots, lead...);
}

// ---------------------------------------------------------------------------------------------
// Methods

// Arity errors come first, then `self` is borrowed, then the arguments are converted.
template <Lit Name, auto F, Lit ParamNames>
PyObject* method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = Params<ParamNames>;
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
        return with_self<F>(
            self, [&](auto& value) { return convert_and_call<F, 1, Params<"">>(nullptr, value); });
    });
}

template <auto F> PyObject* method_noargs(PyObject* self, PyObject*) {
    return call_on_self<F>(self);
}

// Static methods, constructors and module functions convert every parameter; `Owner` names the
// class in messages, or is void for a module function ("plane_line()").
template <class Owner, Lit Name, auto F, Lit ParamNames>
PyObject* call_free(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = Params<ParamNames>;
    PyObject* buffer[P::count ? P::count : 1];
    PyObject* const* slots =
        collect_arguments<P>(owner_name<Owner>(), Name.s, args, nargs, kwnames, buffer);
    return convert_and_call<F, 0, P>(slots);
}

template <class Owner, Lit Name, auto F, Lit ParamNames>
PyObject* free_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary<PyObject*>(
        nullptr, [&] { return call_free<Owner, Name, F, ParamNames>(args, nargs, kwnames); });
}

template <auto F> PyObject* free_noargs(PyObject*, PyObject*) {
    return boundary<PyObject*>(nullptr,
                               [&] { return convert_and_call<F, 0, Params<"">>(nullptr); });
}

// Method tables store every calling convention as a PyCFunction.
template <class F> PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// An instance method: `method<"dot", dot, "other">()`.
template <Lit Name, auto F, Lit ParamNames = ""> PyMethodDef method() {
    if constexpr (Params<ParamNames>::count == 0)
        return {Name.s, as_cfunction(method_noargs<F>), METH_NOARGS,
                signature_doc(Name.s, "", true)};
    else
        return {Name.s, as_cfunction(method_fast<Name, F, ParamNames>),
                METH_FASTCALL | METH_KEYWORDS, signature_doc(Name.s, ParamNames.s, true)};
}

// A static method of the class of T: `static_method<Vec3d, "zero", Vec3d::zero>()`.
template <class T, Lit Name, auto F, Lit ParamNames = ""> PyMethodDef static_method() {
    if constexpr (Params<ParamNames>::count == 0)
        return {Name.s, as_cfunction(free_noargs<F>), METH_NOARGS | METH_STATIC,
                signature_doc(Name.s, "", false)};
    else
        return {Name.s, as_cfunction(free_fast<T, Name, F, ParamNames>),
                METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                signature_doc(Name.s, ParamNames.s, false)};
}

// A module function: `function<"plane_line", plane_line, "plane, a, b">()`.
template <Lit Name, auto F, Lit ParamNames> PyMethodDef function() {
    return {Name.s, as_cfunction(free_fast<void, Name, F, ParamNames>),
            METH_FASTCALL | METH_KEYWORDS, signature_doc(Name.s, ParamNames.s, false)};
}

// ---------------------------------------------------------------------------------------------
// Constructors: F builds the core value from the converted parameters.

template <auto F, Lit ParamNames> struct Ctor {
    using T = std::remove_cvref_t<typename fn<F>::result>;
    using P = Params<ParamNames>;

    static PyObject* vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) {
        return boundary<PyObject*>(nullptr, [&] {
            return call_free<T, "__new__", F, ParamNames>(args, PyVectorcall_NARGS(nargsf),
                                                          kwnames);
        });
    }
    static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return boundary<PyObject*>(nullptr, [&] {
            PyObject* slots[P::count ? P::count : 1];
            parse_tuple_arguments(Class<T>::name, "__new__", P::names.data(), P::count, args,
                                  kwargs, slots);
            return convert_and_call<F, 0, P>(slots);
        });
    }
};

// ---------------------------------------------------------------------------------------------
// Properties

template <auto F> PyObject* getter(PyObject* self, void*) { return call_on_self<F>(self); }

template <auto F> int setter(PyObject* self, PyObject* value, void*) {
    return boundary<int>(-1, [&] {
        if (!value) raise(PyExc_AttributeError, "can't delete attribute");
        // `value` is converted before `self` is borrowed: its `__float__` or `__index__` may read
        // this very instance, which an exclusive borrow held meanwhile would refuse.
        converters_t<F, 1, 0> conv;
        if (!std::get<0>(conv).load(value)) argument_error("value");
        with_self<F>(self, [&](auto& v) { std::invoke(F, v, std::get<0>(conv).get()); });
        return 0;
    });
}

template <auto Member> struct Field;
template <class T, class V, V T::*M> struct Field<M> {
    static V get(const T& t) { return t.*M; }
    static void set(T& t, V v) { t.*M = v; }
};

// A read-write property backed by a field of the core value: `field<"x", &Vec3d::x>()`.
template <Lit Name, auto Member> PyGetSetDef field() {
    return {Name.s, getter<&Field<Member>::get>, setter<&Field<Member>::set>, nullptr, nullptr};
}

// A read-only property computed by F(const T&).
template <Lit Name, auto F> PyGetSetDef readonly() {
    return {Name.s, getter<F>, nullptr, nullptr, nullptr};
}

// ---------------------------------------------------------------------------------------------
// Operator slots. A forward form takes the class instance on the left, a reflected form on the
// right; an operand that does not fit makes the form yield NotImplemented, the error discarded.

template <auto F> bool try_binary(PyObject* self, PyObject* other, PyObject*& out) {
    if (!is_instance<self_t<F>>(self)) return false;
    auto* obj = instance<self_t<F>>(self);
    SharedBorrow b;
    if (!b.try_acquire(obj->flag)) {
        clear_error();
        return false;
    }
    converters_t<F, 1, 0> conv;
    if (!std::get<0>(conv).load(other)) {
        clear_error();
        return false;
    }
    out = result(std::invoke(F, obj->value, std::get<0>(conv).get()));
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
            return convert_and_call<F, 1, Params<"index">>(&key, value);
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

// ---------------------------------------------------------------------------------------------
// Classes and modules

struct Slot {
    int id;
    void* fn;
};
template <class F> Slot slot(int id, F* fn) { return {id, reinterpret_cast<void*>(fn)}; }

struct Constructor {
    newfunc tp_new = nullptr; // none: the class cannot be instantiated from Python
    vectorcallfunc vectorcall = nullptr;
    const char* params = nullptr;
};

// `constructor<make_vec3d, "x, y, z">()`: F builds the core value from the converted parameters.
template <auto F, Lit ParamNames> Constructor constructor() {
    return {Ctor<F, ParamNames>::tp_new, Ctor<F, ParamNames>::vectorcall, ParamNames.s};
}

struct ClassDef {
    const char* name;
    Constructor constructor;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> properties;
    std::vector<Slot> slots;
    bool hashable = true;
    // Filled in by create_class.
    std::size_t basicsize = 0;
    destructor dealloc = nullptr;
};

// Creates the type once (later calls return it) and records it as the class of T.
PyTypeObject* create_type(ClassDef& def, PyTypeObject*& type_slot, const char*& name_slot);

template <class T> PyTypeObject* create_class(ClassDef& def) {
    def.basicsize = sizeof(Instance<T>);
    def.dealloc = dealloc<T>;
    return create_type(def, Class<T>::type, Class<T>::name);
}

// Adds `item` to `module` under `name` and appends the name to `__all__`; steals `item`.
bool add_to_module(PyObject* module, const char* name, PyObject* item);
bool add_class(PyObject* module, PyTypeObject* type);
bool add_function(PyObject* module, PyMethodDef* def);

// A single-phase module created once per process and bound to one interpreter.
struct ModuleDef {
    PyModuleDef def;
    bool (*body)(PyObject* module);
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* module = nullptr;
};
constexpr PyModuleDef module_def(const char* name) {
    return {PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}
PyObject* init_module(ModuleDef& def);

} // namespace kpy
