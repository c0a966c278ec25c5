// The cap on the pool's threads, per calling thread: for a process that is one of many on a host,
// such as a Dask worker, whose jobs should use its own share of the cores, not all of them.
#include "classes.hpp"
#include "engine.hpp"
#include "kalemtri/engine/pool.hpp"

namespace kpy {

namespace {

PyObject* cap_or_none(std::size_t cap) { return cap == 0 ? new_ref(Py_None) : to_py(cap); }

PyObject* set_max_threads(PyObject* n) {
    std::size_t cap = 0;
    if (n != Py_None) {
        Converter<std::size_t> count;
        if (PyBool_Check(n) || !count.load(n)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "argument 'n': must be an int or None, not '%s'",
                             Py_TYPE(n)->tp_name);
            }
            fail();
        }
        cap = count.get();
        if (cap == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'n': must be at least 1, not 0");
            fail();
        }
    }
    PyObject* previous = cap_or_none(pool::thread_cap());
    if (!previous) fail();
    pool::set_thread_cap(cap);
    return previous;
}

std::size_t max_threads() { return pool::max_threads(); }

} // namespace

PyMethodDef* thread_functions() {
    static PyMethodDef functions[] = {
        function<"set_max_threads", set_max_threads, "n">(),
        function<"max_threads", max_threads, "">(),
        {nullptr, nullptr, 0, nullptr},
    };
    return functions;
}

} // namespace kpy
