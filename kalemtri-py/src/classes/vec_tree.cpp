// VecTree: the exact spatial index of tree.hpp as a Python class. The tree is immutable and shared
// by its copies; batch results come back as read-only memoryviews over blocks of int64 or float64
// the module owns, so numpy.asarray sees them without a copy and no Python object is made per hit.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "buffer.hpp"
#include "classes.hpp"
#include "engine.hpp"
#include "kalemtri/engine/spatial/tree.hpp"
#include "kalemtri/engine/storage.hpp"
#include "pickle.hpp"
#include "vec_list.hpp"
#include "vec_tree.hpp"

namespace kpy {

using kalemtri::Vec3d;
using storage::Array;

namespace {

static_assert(sizeof(Vec3d) == 3 * sizeof(double));

// ---------------------------------------------------------------------------------------------
// Memory

// ---------------------------------------------------------------------------------------------
// Building and arguments

Array<Vec3d> read_points(PyObject* obj, const char* what) {
    DoubleRows rows(obj, 3, what);
    return sized(what, rows.rows(), "points", [&] {
        Array<Vec3d> points(rows.rows());
        rows.copy_to(reinterpret_cast<double*>(points.data()));
        return points;
    });
}

VecTree build(const Array<Vec3d>& points) {
    if (!tree::fits_index(points.size())) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'points': a VecTree holds at most %llu points, not %zu",
                     static_cast<unsigned long long>(tree::MAX_POINTS), points.size());
        fail();
    }
    return sized("VecTree()", points.size(), "points", [&] {
        return VecTree{std::make_shared<const tree::Tree>(points.data(), points.size())};
    });
}

VecTree make(PyObject* points) { return build(read_points(points, "argument 'points'")); }

void require_points(const VecTree& self, const char* method) {
    if (self.tree->size() > 0) return;
    PyErr_Format(PyExc_ValueError, "VecTree.%s(): the tree has no points", method);
    fail();
}

void check_k(const VecTree& self, std::size_t k) {
    if (k >= 1 && k <= self.tree->size()) return;
    PyErr_Format(PyExc_ValueError,
                 "argument 'k': must be from 1 to the number of points (%zu), not %zu",
                 self.tree->size(), k);
    fail();
}

void check_non_negative(double value, const char* name) {
    if (value >= 0.0) return; // false for NaN
    PyObject* r = PyFloat_FromDouble(value);
    if (!r) fail();
    PyErr_Format(PyExc_ValueError, "argument '%s': must be a number >= 0, not %R", name, r);
    Py_DECREF(r);
    fail();
}

void check_radius(double radius) { check_non_negative(radius, "radius"); }

} // namespace

std::optional<double> read_bound(PyObject* obj, const char* name) {
    if (!obj || obj == Py_None) return std::nullopt;
    Converter<double> value;
    if (!value.load(obj)) argument_error(name);
    check_non_negative(value.get(), name);
    return value.get();
}

namespace {

// ---------------------------------------------------------------------------------------------
// Queries

std::pair<std::size_t, double> nearest(const VecTree& self, const Vec3d& target) {
    require_points(self, "nearest");
    const kernels::Candidate c = self.tree->nearest(target);
    return {c.index, c.distance};
}

PyObject* k_nearest(const VecTree& self, const Vec3d& target, std::size_t k) {
    check_k(self, k);
    return sized("VecTree.k_nearest()", k, "results", [&] {
        std::vector<kernels::Candidate> best(k);
        self.tree->k_nearest(target, k, best.data());
        return make_list(k, [&](std::size_t i) {
            return to_py(std::pair<std::size_t, double>{best[i].index, best[i].distance});
        });
    });
}

PyObject* within(const VecTree& self, const Vec3d& target, double radius) {
    check_radius(radius);
    const std::size_t count = self.tree->count_within(target, radius);
    return sized("VecTree.within()", count, "results", [&] {
        Array<std::int64_t> hits(count);
        self.tree->within(target, radius, hits.data(), count);
        return make_list(count, [&](std::size_t i) { return PyLong_FromLongLong(hits[i]); });
    });
}

PyObject* nearest_many(const VecTree& self, PyObject* targets, PyObject* max_distance) {
    require_points(self, "nearest_many");
    const Array<Vec3d> t = read_points(targets, "argument 'targets'");
    const std::optional<double> bound = read_bound(max_distance, "max_distance");
    const std::size_t m = t.size();
    return sized("VecTree.nearest_many()", m, "results", [&] {
        Array<std::int64_t> index(m);
        Array<double> distance(m);
        tree::nearest_many(*self.tree, t.data(), m, index.data(), distance.data(),
                           bound ? &*bound : nullptr);
        return pair_of_views(int_block(std::move(index), m, 1, 1),
                             real_block(std::move(distance), m, 1, 1));
    });
}

PyObject* k_nearest_many(const VecTree& self, PyObject* targets, std::size_t k,
                         PyObject* max_distance) {
    check_k(self, k);
    const Array<Vec3d> t = read_points(targets, "argument 'targets'");
    const std::optional<double> bound = read_bound(max_distance, "max_distance");
    const std::size_t m = t.size();
    const std::uint64_t count = m > UINT64_MAX / k ? UINT64_MAX : std::uint64_t{m} * k;
    return sized("VecTree.k_nearest_many()", count, "results", [&] {
        if (m > std::size_t(PY_SSIZE_T_MAX) / 8 / k) throw std::bad_alloc();
        Array<std::int64_t> index(m * k);
        Array<double> distance(m * k);
        tree::k_nearest_many(*self.tree, t.data(), m, k, index.data(), distance.data(),
                             bound ? &*bound : nullptr);
        return pair_of_views(int_block(std::move(index), m, k, 2),
                             real_block(std::move(distance), m, k, 2));
    });
}

Array<Vec3d> original_points(const VecTree& self);

PyObject* within_many(const VecTree& self, PyObject* targets, double radius,
                      std::optional<bool> with_distances) {
    check_radius(radius);
    const Array<Vec3d> t = read_points(targets, "argument 'targets'");
    const std::size_t m = t.size();
    // The hits are counted before they are allocated; until then only the targets' rows are.
    tree::Csr csr = sized("VecTree.within_many()", m, "results",
                          [&] { return tree::within_many(*self.tree, t.data(), m, radius); });
    const std::size_t hits = csr.indexes.size();
    if (!with_distances.value_or(false)) {
        return sized("VecTree.within_many()", hits, "results", [&] {
            return pair_of_views(int_block(std::move(csr.offsets), m + 1, 1, 1),
                                 int_block(std::move(csr.indexes), hits, 1, 1));
        });
    }
    return sized("VecTree.within_many()", hits, "results", [&] {
        Array<double> distance(hits);
        if (hits) {
            const Array<Vec3d> points = original_points(self);
            tree::hit_distances(points.data(), t.data(), m, csr, distance.data());
        }
        PyObject* pair = pair_of_views(int_block(std::move(csr.offsets), m + 1, 1, 1),
                                       int_block(std::move(csr.indexes), hits, 1, 1));
        PyObject* third = nullptr;
        try {
            third = block_view(real_block(std::move(distance), hits, 1, 1));
        } catch (...) {
            Py_DECREF(pair);
            throw;
        }
        PyObject* out =
            PyTuple_Pack(3, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), third);
        Py_DECREF(pair);
        Py_DECREF(third);
        if (!out) fail();
        return out;
    });
}

PyObject* count_within_many(const VecTree& self, PyObject* targets, double radius) {
    check_radius(radius);
    const Array<Vec3d> t = read_points(targets, "argument 'targets'");
    const std::size_t m = t.size();
    return sized("VecTree.count_within_many()", m, "results", [&] {
        Array<std::int64_t> count(m);
        tree::count_within_many(*self.tree, t.data(), m, radius, count.data());
        return block_view(int_block(std::move(count), m, 1, 1));
    });
}

// ---------------------------------------------------------------------------------------------
// Point-cloud operations

VecList normals(const VecTree& self, std::size_t k, PyObject* viewpoint) {
    if (k < 1) raise(PyExc_ValueError, "argument 'k': must be at least 1, not 0");
    std::optional<Vec3d> v;
    if (viewpoint && viewpoint != Py_None) {
        if (!is_instance<Vec3d>(viewpoint)) {
            set_conversion_error(viewpoint, "Vec3d");
            argument_error("viewpoint");
        }
        v = instance<Vec3d>(viewpoint)->value;
    }
    const std::size_t n = self.tree->size();
    return sized("VecTree.normals()", n, "normals", [&] {
        Array<Vec3d> out(n);
        tree::normals(*self.tree, k, v ? &*v : nullptr, out.data());
        return VecList{std::move(out)};
    });
}

// ---------------------------------------------------------------------------------------------
// Value protocol

std::size_t tree_size(const VecTree& self) { return self.tree->size(); }

Array<Vec3d> original_points(const VecTree& self) {
    Array<Vec3d> points(self.tree->size());
    self.tree->points(points.data());
    return points;
}

VecList points(const VecTree& self) {
    return sized("VecTree.points()", self.tree->size(), "points",
                 [&] { return VecList{original_points(self)}; });
}

PyObject* tree_text(const VecTree& self) {
    return PyUnicode_FromFormat("VecTree(%zu points)", self.tree->size());
}

VecTree tree_copy(const VecTree& self) { return self; }
VecTree tree_deep_copy(const VecTree& self, PyObject* /*memo*/) { return self; }

// The state is the points in their original order; loading builds the very same tree again.
// Protocol 5 hands the pickler a block of them to keep out of band.
PyObject* tree_reduce(const VecTree& self) {
    return sized("VecTree.__reduce__()", self.tree->size(), "points", [&] {
        const Array<Vec3d> p = original_points(self);
        return reduce_to("VecTree", state_bytes(p.data(), p.size() * sizeof(Vec3d)));
    });
}

PyObject* tree_reduce_ex(PyObject* self, PyObject* protocol) {
    return boundary<PyObject*>(nullptr, [&] {
        return with_self<tree_reduce>(self, [&](const VecTree& v) {
            const long p = PyLong_AsLong(protocol);
            if (p == -1 && PyErr_Occurred()) argument_error("protocol");
            if (p < 5) return tree_reduce(v);
            return sized("VecTree.__reduce_ex__()", v.tree->size(), "points", [&] {
                Array<Vec3d> pts = original_points(v);
                const std::size_t n = pts.size();
                Array<double> words(3 * n);
                if (n) std::memcpy(words.data(), pts.data(), n * sizeof(Vec3d));
                PyObject* block = block_object(real_block(std::move(words), n, 3, 2));
                PyObject* state = PyPickleBuffer_FromObject(block);
                Py_DECREF(block);
                return reduce_to("VecTree", state);
            });
        });
    });
}

PyObject* tree_restore(const void* state, std::size_t size) {
    if (size % sizeof(Vec3d) != 0) {
        PyErr_Format(
            PyExc_ValueError,
            "_reconstruct(): the state of VecTree must be a multiple of %zu bytes, not %zu",
            sizeof(Vec3d), size);
        fail();
    }
    const Array<Vec3d> points = sized("_reconstruct()", size / sizeof(Vec3d), "points", [&] {
        Array<Vec3d> p(size / sizeof(Vec3d));
        if (size) std::memcpy(static_cast<void*>(p.data()), state, size);
        return p;
    });
    return result(build(points));
}

} // namespace

PyTypeObject* vec_tree_type() {
    static ClassDef def{
        .name = "VecTree",
        .constructor = constructor<make, "points">(),
        .methods =
            {
                method<"nearest", nearest, "target">(),
                method<"k_nearest", k_nearest, "target, k">(),
                method<"within", within, "target, radius">(),
                method<"nearest_many", nearest_many, "targets, max_distance=None">(),
                method<"k_nearest_many", k_nearest_many, "targets, k, max_distance=None">(),
                method<"within_many", within_many, "targets, radius, distances=False">(),
                method<"count_within_many", count_within_many, "targets, radius">(),
                vec_tree_icp_method(),
                method<"points", points>(),
                method<"__reduce__", tree_reduce>(),
                {"__reduce_ex__", as_cfunction(tree_reduce_ex), METH_O,
                 signature_doc("__reduce_ex__", "protocol", true)},
                method<"__copy__", tree_copy>(),
                method<"__deepcopy__", tree_deep_copy, "memo">(),
                method<"normals", normals, "k, viewpoint=None">(),
            },
        .properties = {},
        .slots =
            {
                slot(Py_mp_length, length<tree_size>),
                slot(Py_tp_repr, repr<tree_text>),
            },
        .restore = tree_restore,
    };
    return create_class<VecTree>(def);
}

} // namespace kpy
