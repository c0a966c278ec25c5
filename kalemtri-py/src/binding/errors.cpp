#include "binding/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string_view>

#include "kalemtri/src/panic.hpp"

namespace kpy {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    fail();
}

static PyObject* panic_type_object = nullptr;

PyObject* panic_type() {
    PyObject*& type = panic_type_object;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when the native code of kalemtri_py fails an internal "
            "assertion.\n\nLike SystemExit, this exception is derived from BaseException so that "
            "it will typically propagate all the way through the stack and cause the Python "
            "interpreter to exit.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

// Until the type exists no PanicException can be pending.
static bool panic_pending() {
    return panic_type_object && PyErr_ExceptionMatches(panic_type_object);
}

// An interrupt, an exit request or exhausted memory is never an unsuitable value: only ordinary
// failures (Exception subclasses other than MemoryError) are discarded.
static bool error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

void clear_error() {
    if (!PyErr_Occurred()) return;
    if (panic_pending() || !error_is_ordinary()) fail();
    PyErr_Clear();
}

void check_signals() {
    if (PyErr_Occurred() || PyErr_CheckSignals() < 0) fail();
}

std::string type_qualname(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    std::string name = type->tp_name;
    if (PyObject* q = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__")) {
        if (const char* s = PyUnicode_Check(q) ? PyUnicode_AsUTF8(q) : nullptr) name = s;
        Py_DECREF(q);
    }
    clear_error();
    return name;
}

void set_conversion_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 type_qualname(obj).c_str(), target);
}

void argument_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        fail();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* replacement = nullptr;
    if (PyObject* text = PyObject_Str(value)) {
        replacement = PyUnicode_FromFormat("argument '%s': %U", name, text);
        Py_DECREF(text);
    }
    PyObject* cause = replacement ? PyException_GetCause(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (!replacement) fail();
    PyObject* error = PyObject_CallOneArg(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
    if (!error) {
        Py_XDECREF(cause);
        fail();
    }
    if (cause) PyException_SetCause(error, cause);
    PyErr_SetObject(PyExc_TypeError, error);
    Py_DECREF(error);
    fail();
}

static void set_panic(PyObject* message) {
    if (PyObject* type = panic_type()) PyErr_SetObject(type, message);
}

static void report_panic(const kalemtri::Panic& p) {
    char thread[32];
    if (p.thread == 0)
        std::snprintf(thread, sizeof thread, "main");
    else
        std::snprintf(thread, sizeof thread, "worker %lu", p.thread);
    const std::string_view operation = p.operation();
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u in %.*s:\n%s\n", thread,
                 p.where.file_name(), static_cast<unsigned>(p.where.line()),
                 static_cast<unsigned>(p.where.column()), static_cast<int>(operation.size()),
                 operation.data(), p.message);
    std::fflush(stderr);
    if (PyObject* message = PyUnicode_FromString(p.message)) {
        set_panic(message);
        Py_DECREF(message);
    }
}

static void resume_panic_if_any() {
    if (!panic_pending()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* message = PyObject_Str(value);
    if (!message) {
        PyErr_Clear();
        message = PyUnicode_FromString("");
    }
    std::fputs("--- kalemtri_py is resuming a panic after fetching a PanicException from Python. "
               "---\nPython stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    if (message) {
        set_panic(message);
        Py_DECREF(message);
    }
}

static void report_unexpected(const char* what) {
    kalemtri::Panic p{what, std::source_location::current(), kalemtri::current_thread_tag()};
    report_panic(p);
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        resume_panic_if_any();
    } catch (const kalemtri::Panic& p) {
        report_panic(p);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        report_unexpected(e.what());
    } catch (...) {
        report_unexpected("unknown C++ exception");
    }
}

} // namespace kpy
