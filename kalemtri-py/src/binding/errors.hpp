#pragma once
// Errors: how a failure inside a binding becomes the Python error of the call. C++ code throws
// (PyErrSet once a Python error is set, a core panic, bad_alloc); `boundary` catches at the edge.
#include <string>

#include "binding/python.hpp"

namespace kpy {

// Thrown once a Python error is set; the call's boundary turns it into a null return.
struct PyErrSet {};

[[noreturn, gnu::cold]] inline void fail() { throw PyErrSet{}; }

[[noreturn, gnu::cold]] void raise(PyObject* type, const char* message);

// The exception type of internal assertion failures, created on first need.
PyObject* panic_type();

// Discards the current error if it is an ordinary failure; anything else (an interrupt, SystemExit,
// MemoryError, a PanicException from Python code) is kept and the call fails with it.
void clear_error();

// Runs the interpreter's pending signal handlers; throws when one raised (KeyboardInterrupt for
// Ctrl-C) or an error is already set, so that the call fails with it. Long work on the thread that
// holds the interpreter lock calls this every few milliseconds.
void check_signals();

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

} // namespace kpy
