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
#include "kalemtri/engine/storage.hpp"
#include "kalemtri/engine/tree.hpp"
#include "pickle.hpp"
#include "vec_list.hpp"
#include "vec_tree.hpp"

namespace kpy {

using kalemtri::Vec3d;
using storage::Array;

// A block of results lent through the buffer protocol: int64 (format 'q') or float64 ('d'),
// shaped (rows,) or (rows, cols). Never changed once made, so views need no bookkeeping.
struct TreeBlock {
    Array<std::int64_t> ints;
    Array<double> reals;
    bool is_int = false;
    int ndim = 1;
    Py_ssize_t shape[2] = {0, 1};
    Py_ssize_t strides[2] = {8, 8};
};

namespace {

static_assert(sizeof(Vec3d) == 3 * sizeof(double));

TreeBlock block_shape(std::size_t rows, std::size_t cols, int ndim) {
    TreeBlock b;
    b.ndim = ndim;
    b.shape[0] = static_cast<Py_ssize_t>(rows);
    b.shape[1] = static_cast<Py_ssize_t>(cols);
    b.strides[0] = static_cast<Py_ssize_t>(ndim == 2 ? 8 * cols : 8);
    return b;
}

TreeBlock int_block(Array<std::int64_t> data, std::size_t rows, std::size_t cols, int ndim) {
    TreeBlock b = block_shape(rows, cols, ndim);
    b.ints = std::move(data);
    b.is_int = true;
    return b;
}

TreeBlock real_block(Array<double> data, std::size_t rows, std::size_t cols, int ndim) {
    TreeBlock b = block_shape(rows, cols, ndim);
    b.reals = std::move(data);
    return b;
}

const std::int64_t NO_DATA[1] = {0};

int block_get_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    return boundary<int>(-1, [&] {
        TreeBlock& b = instance<TreeBlock>(self)->value;
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE)
            raise(PyExc_BufferError, "the buffer is read-only");
        const void* data = b.is_int ? static_cast<const void*>(b.ints.data()) : b.reals.data();
        const std::size_t count = b.is_int ? b.ints.size() : b.reals.size();
        view->buf = const_cast<void*>(data ? data : NO_DATA);
        view->len = static_cast<Py_ssize_t>(count * 8);
        view->readonly = 1;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        if ((flags & PyBUF_ND) == PyBUF_ND) {
            view->itemsize = 8;
            view->format =
                (flags & PyBUF_FORMAT) ? const_cast<char*>(b.is_int ? "q" : "d") : nullptr;
            view->ndim = b.ndim;
            view->shape = b.shape;
            view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b.strides : nullptr;
        } else {
            view->itemsize = 1; // a request without shape sees plain bytes
            view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
            view->ndim = 1;
            view->shape = nullptr;
            view->strides = nullptr;
        }
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(view, 'F'))
            raise(PyExc_BufferError, "the buffer is C-contiguous, not Fortran-contiguous");
        view->obj = new_ref(self);
        return 0;
    });
}

PyTypeObject* block_type() {
    static ClassDef def{
        .name = "VecTreeArray",
        .constructor = {}, // made by VecTree only
        .methods = {},
        .properties = {},
        .slots = {slot(Py_bf_getbuffer, block_get_buffer)},
    };
    return create_class<TreeBlock>(def);
}

PyObject* block_object(TreeBlock&& b) {
    if (!block_type()) fail();
    PyObject* obj = new_instance<TreeBlock>(std::move(b));
    if (!obj) fail();
    return obj;
}

// A read-only memoryview of the block.
PyObject* block_view(TreeBlock&& b) {
    PyObject* obj = block_object(std::move(b));
    PyObject* view = PyMemoryView_FromObject(obj);
    Py_DECREF(obj);
    if (!view) fail();
    return view;
}

PyObject* pair_of_views(TreeBlock&& a, TreeBlock&& b) {
    PyObject* first = block_view(std::move(a));
    PyObject* second = nullptr;
    try {
        second = block_view(std::move(b));
    } catch (...) {
        Py_DECREF(first);
        throw;
    }
    PyObject* t = PyTuple_Pack(2, first, second);
    Py_DECREF(first);
    Py_DECREF(second);
    if (!t) fail();
    return t;
}

// ---------------------------------------------------------------------------------------------
// Memory

[[noreturn]] void no_room(const char* where, std::uint64_t count, const char* what) {
    PyErr_Clear();
    PyErr_Format(PyExc_MemoryError, "%s: %llu %s do not fit in memory", where,
                 static_cast<unsigned long long>(count), what);
    fail();
}

// Runs make(), which builds `count` of `what`: running out of memory on the way raises a
// MemoryError that says so, with the count a within query found before it allocated.
template <class Make>
auto sized(const char* where, std::uint64_t count, const char* what, Make&& make) {
    try {
        auto made = make();
        if constexpr (std::is_pointer_v<decltype(made)>)
            if (!made) fail();
        return made;
    } catch (const tree::TooManyResults& e) {
        no_room(where, e.count, what);
    } catch (const std::bad_alloc&) {
        no_room(where, count, what);
    } catch (const PyErrSet&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) no_room(where, count, what);
        throw;
    }
}

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
