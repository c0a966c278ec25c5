// The module entry: `kalemtri_py` and its `geometry` submodule, each created once per process
// and bound to the interpreter that first imports it.
#include <atomic>
#include <cstdint>

#include "classes.hpp"
#include "classes/vec_list.hpp"
#include "engine.hpp"
#include "kalemtri/engine/batch/kernels.hpp"
#include "kalemtri/engine/pool.hpp"
#include "pickle.hpp"

namespace kpy {

namespace {

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

// An embedding program may finalise the interpreter and initialise a new one, which can get the
// same id; the module and types made for the old one are dead then. Each interpreter has a fresh
// dict of its own, so a mark left there tells the first interpreter from its successors.
constexpr const char* OWNER_MARK = "kalemtri_py.owner";

bool mark_owner(PyInterpreterState* state) {
    PyObject* dict = PyInterpreterState_GetDict(state);
    if (!dict) {
        PyErr_SetString(PyExc_ImportError, "kalemtri_py found no interpreter state to record");
        return false;
    }
    return PyDict_SetItemString(dict, OWNER_MARK, Py_True) == 0;
}

bool is_owner(PyInterpreterState* state) {
    PyObject* dict = PyInterpreterState_GetDict(state);
    return dict && PyDict_GetItemString(dict, OWNER_MARK);
}

PyObject* init_module(ModuleDef& d) {
    PyInterpreterState* state = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(state);
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    const bool first = d.interpreter.compare_exchange_strong(expected, id);
    if (!first && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kalemtri_py does not yet support sub-interpreters; it can only be "
                        "imported once per process, in its main interpreter");
        return nullptr;
    }
    if (first && !mark_owner(state)) {
        d.interpreter.store(-1); // a later attempt starts afresh
        return nullptr;
    }
    if (!first && !is_owner(state)) {
        PyErr_SetString(PyExc_ImportError,
                        "kalemtri_py cannot be imported again after the interpreter was finalized "
                        "and initialized anew; it can only be used by the first interpreter of a "
                        "process");
        return nullptr;
    }
    if (d.module) return new_ref(d.module);
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* module = PyModule_Create(&d.def);
        if (!module) return nullptr;
        bool ok = false;
        try {
            ok = d.body(module);
        } catch (...) {
            Py_DECREF(module);
            throw;
        }
        if (!ok) {
            Py_DECREF(module);
            return nullptr;
        }
        d.module = new_ref(module);
        return module;
    });
}

// Sets an attribute outside `__all__`; steals `value`.
bool add_private(PyObject* m, const char* name, PyObject* value) {
    if (!value) return false;
    const int set = PyObject_SetAttrString(m, name, value);
    Py_DECREF(value);
    return set == 0;
}

// A class reached as a module attribute only: __all__ keeps its six names.
bool add_unlisted_class(PyObject* m, const char* name, PyTypeObject* type) {
    return type && add_private(m, name, new_ref(reinterpret_cast<PyObject*>(type)));
}

bool add_unlisted_functions(PyObject* m, PyMethodDef* functions) {
    for (PyMethodDef* f = functions; f->ml_name; ++f) {
        PyObject* name = PyModule_GetNameObject(m);
        if (!name) return false;
        PyObject* function = PyCFunction_NewEx(f, m, name);
        Py_DECREF(name);
        if (!add_private(m, f->ml_name, function)) return false;
    }
    return true;
}

bool kalemtri_body(PyObject* m) {
    // Private, outside __all__: which batch kernels this processor runs, for the benchmarks, and
    // the list of the element-wise batch operations, for the tests.
    const char* level = kernels::name(kernels::chosen_level());
    pool::set_interrupt_check(check_signals);
    return add_class(m, angle_radians_type()) && add_class(m, angle_degrees_type()) &&
           add_class(m, quat_type()) && add_class(m, vec3d_type()) &&
           add_class(m, vec_list_type()) && add_to_module(m, "geometry", geometry_module()) &&
           add_reconstructor(m) && PyModule_AddStringConstant(m, "_kernel_level", level) == 0 &&
           add_private(m, "_batch_operations", batch_operations()) &&
           add_unlisted_class(m, "QuatList", quat_list_type()) &&
           add_unlisted_class(m, "VecTree", vec_tree_type()) &&
           add_unlisted_class(m, "Pose", pose_type()) &&
           add_unlisted_class(m, "PoseList", pose_list_type()) &&
           add_unlisted_class(m, "IcpResult", icp_result_type()) &&
           PyModule_AddStringConstant(m, "__version__", KALEMTRI_VERSION) == 0 &&
           add_unlisted_functions(m, thread_functions());
}

bool geometry_body(PyObject* m) {
    if (!add_class(m, circle_type())) return false;
    for (PyMethodDef* f = intersection_functions(); f->ml_name; ++f)
        if (!add_function(m, f)) return false;
    return add_class(m, plane_type());
}

ModuleDef kalemtri_module{module_def("kalemtri_py"), kalemtri_body};
ModuleDef geometry_def{module_def("geometry"), geometry_body};

} // namespace

PyObject* geometry_module() { return init_module(geometry_def); }

} // namespace kpy

// Nothing declares free-threaded support (no PyUnstable_Module_SetGIL): every binding relies on the
// interpreter lock, so a free-threaded interpreter turns its lock back on when it imports this.
PyMODINIT_FUNC PyInit_kalemtri_py() { return kpy::init_module(kpy::kalemtri_module); }
