// VecTree.icp and its result, IcpResult: an immutable record of the pose found, the RMS distance
// and number of inliers of the last matching, and the number of fits made.
#include <cstdint>
#include <new>
#include <optional>

#include "buffer.hpp"
#include "classes.hpp"
#include "engine.hpp"
#include "kalemtri/engine/spatial/icp.hpp"
#include "kalemtri/engine/storage.hpp"
#include "pickle.hpp"
#include "vec_tree.hpp"

namespace kpy {

using kalemtri::Pose;
using kalemtri::Vec3d;
using storage::Array;

// Counts are kept as 64 bits so that a pickle reads the same on 32-bit machines.
struct IcpResult {
    Pose pose;
    double rmse;
    std::uint64_t inliers;
    std::uint64_t iterations;
};
static_assert(sizeof(IcpResult) == 10 * sizeof(double));

namespace {

Pose pose(const IcpResult& r) { return r.pose; }
double rmse(const IcpResult& r) { return r.rmse; }
PyObject* inliers(const IcpResult& r) { return PyLong_FromUnsignedLongLong(r.inliers); }
PyObject* iterations(const IcpResult& r) { return PyLong_FromUnsignedLongLong(r.iterations); }

PyObject* icp_text(const IcpResult& r) {
    PyObject* p = result(r.pose);
    PyObject* e = PyFloat_FromDouble(r.rmse);
    PyObject* text =
        p && e ? PyUnicode_FromFormat("IcpResult(pose=%R, rmse=%R, inliers=%llu, iterations=%llu)",
                                      p, e, static_cast<unsigned long long>(r.inliers),
                                      static_cast<unsigned long long>(r.iterations))
               : nullptr;
    Py_XDECREF(p);
    Py_XDECREF(e);
    return text;
}

std::size_t read_iterations(PyObject* obj) {
    if (!obj) return 30;
    PyObject* index = PyNumber_Index(obj);
    if (!index) argument_error("iterations");
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        Py_DECREF(index);
        fail();
    }
    if (overflow < 0 || (overflow == 0 && n < 0)) {
        PyErr_Format(PyExc_ValueError, "argument 'iterations': must be >= 0, not %R", index);
        Py_DECREF(index);
        fail();
    }
    Py_DECREF(index);
    // More fits than a size_t counts cannot be run anyway.
    if (overflow > 0 || static_cast<unsigned long long>(n) > SIZE_MAX) return SIZE_MAX;
    return static_cast<std::size_t>(n);
}

Pose read_initial(PyObject* obj) {
    if (!obj || obj == Py_None) return Pose::identity();
    if (!is_instance<Pose>(obj)) {
        set_conversion_error(obj, "Pose");
        argument_error("initial");
    }
    return instance<Pose>(obj)->value;
}

IcpResult run_icp(const VecTree& self, PyObject* source, PyObject* initial, PyObject* iterations,
                  PyObject* max_distance, std::optional<double> tolerance) {
    if (self.tree->size() == 0) raise(PyExc_ValueError, "VecTree.icp(): the tree has no points");
    DoubleRows rows(source, 3, "argument 'source'");
    icp::Options o;
    const Pose start = read_initial(initial);
    o.iterations = read_iterations(iterations);
    const std::optional<double> bound = read_bound(max_distance, "max_distance");
    o.bounded = bound.has_value();
    o.max_distance = bound.value_or(0.0);
    o.tolerance = tolerance.value_or(0.0);
    if (!(o.tolerance >= 0.0)) {
        PyObject* t = PyFloat_FromDouble(o.tolerance);
        if (!t) fail();
        PyErr_Format(PyExc_ValueError, "argument 'tolerance': must be a number >= 0, not %R", t);
        Py_DECREF(t);
        fail();
    }
    const std::size_t n = rows.rows();
    try {
        Array<Vec3d> copy;
        const Vec3d* src = reinterpret_cast<const Vec3d*>(rows.packed());
        if (!src) {
            copy = Array<Vec3d>(n);
            rows.copy_to(reinterpret_cast<double*>(copy.data()));
            src = copy.data();
        }
        const icp::Result r = icp::run(*self.tree, src, n, start, o);
        return {r.pose, r.rmse, r.inliers, r.iterations};
    } catch (const std::bad_alloc&) {
        PyErr_Format(PyExc_MemoryError, "VecTree.icp(): %zu source points do not fit in memory", n);
        fail();
    }
}

} // namespace

PyMethodDef vec_tree_icp_method() {
    return method<"icp", run_icp,
                  "source, initial=None, *, iterations=30, max_distance=None, tolerance=0.0">();
}

PyTypeObject* icp_result_type() {
    static ClassDef def{
        .name = "IcpResult",
        .constructor = {}, // made by VecTree.icp only
        .methods =
            {
                method<"__reduce__", reduce_value<IcpResult>>(),
                method<"__copy__", copy_value<IcpResult>>(),
                method<"__deepcopy__", deep_copy_value<IcpResult>, "memo">(),
            },
        .properties =
            {
                readonly<"pose", pose>(),
                readonly<"rmse", rmse>(),
                readonly<"inliers", inliers>(),
                readonly<"iterations", iterations>(),
            },
        .slots = {slot(Py_tp_repr, repr<icp_text>)},
    };
    return create_class<IcpResult>(def);
}

} // namespace kpy
