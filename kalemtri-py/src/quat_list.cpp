// QuatList: an immutable array of Quat for trajectories and batches of poses, with the element-wise
// operations of Quat on the worker pool. Like VecList: workers see plain arrays only, blocks sit at
// fixed positions, and each element gives the bits of the single-quaternion method.
#include <string>

#include "buffer.hpp"
#include "classes.hpp"
#include "kalemtri/src/format.hpp"
#include "kalemtri/src/quat.hpp"
#include "pickle.hpp"
#include "pool.hpp"
#include "quat_kernels.hpp"
#include "storage.hpp"
#include "tuning.hpp"
#include "vec_list.hpp"

namespace kpy {

using kalemtri::Quat;
using kalemtri::Vec3d;
using storage::Array;

struct QuatList {
    Array<Quat> items;
    // Buffer views alive; nothing changes the array, the count only pairs exports with releases.
    std::size_t exports = 0;
};

// The class's own functions, in a namespace of their own: VecList's header declares functions of
// the same names and parameter lists in kpy.
namespace quat_list {

namespace {

static_assert(sizeof(Quat) == 4 * sizeof(double));

// ---------------------------------------------------------------------------------------------
// Container

[[noreturn]] void list_argument_error(PyObject* obj, const char* target) {
    set_conversion_error(obj, target);
    argument_error("list");
}

void copy_item(Array<Quat>& out, PyObject* item) {
    if (!is_instance<Quat>(item)) list_argument_error(item, "Quat");
    Instance<Quat>* q = instance<Quat>(item);
    SharedBorrow b(q->flag);
    out.push_back(q->value);
}

// Any iterable of Quat but a str. No Python code runs while a list's or tuple's items are copied;
// other iterables are walked with the iteration protocol.
QuatList make(PyObject* list) {
    if (PyUnicode_Check(list)) list_argument_error(list, "Sequence");
    QuatList q;
    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
        PyObject** items = PySequence_Fast_ITEMS(list);
        q.items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            copy_item(q.items, items[i]);
        return q;
    }
    PyObject* it = PyObject_GetIter(list);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            list_argument_error(list, "Sequence");
        }
        fail();
    }
    consume_iterator(it, [&](PyObject* item) { copy_item(q.items, item); });
    if (PyErr_Occurred()) argument_error("list");
    return q;
}

std::size_t size(const QuatList& q) { return q.items.size(); }

Quat item(const QuatList& q, std::size_t index) {
    if (index >= q.items.size()) raise(PyExc_IndexError, "Index out of bounds");
    return q.items[index];
}

// "QuatList([Quat(...), ...])", the middle of a long list left out as one "..." item.
PyObject* text(const QuatList& q) {
    constexpr std::size_t EDGE = 3;
    const std::size_t n = q.items.size();
    std::string out = "QuatList([";
    char buf[kalemtri::MAX_QUAT_TEXT];
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ", ";
        if (n > 2 * EDGE && i == EDGE) {
            out += "..., ";
            i = n - EDGE;
        }
        out.append(buf, kalemtri::write_text(q.items[i], buf));
    }
    out += "])";
    return ascii_text(out.data(), out.data() + out.size());
}

// ---------------------------------------------------------------------------------------------
// Data in and out

DoubleMatrix export_items(QuatList& q) {
    ++q.exports;
    return {reinterpret_cast<const double*>(q.items.data()), q.items.size(), 4};
}
void release_items(QuatList& q) { --q.exports; }

QuatList from_buffer(PyObject* buffer) {
    DoubleRows rows(buffer, 4, "argument 'buffer'");
    Array<Quat> items(rows.rows());
    rows.copy_to(reinterpret_cast<double*>(items.data()));
    return {std::move(items), 0};
}

// Rows (x, y, z, w), scipy's and PyGLM's order, to Quat::from_xyzw's (w, -x, -y, -z): sign flips
// and moves only, exact.
QuatList from_xyzw(PyObject* buffer) {
    DoubleRows rows(buffer, 4, "argument 'buffer'");
    Array<Quat> items(rows.rows());
    Quat* q = items.data();
    rows.copy_to(reinterpret_cast<double*>(q));
    pool::for_range(items.size(), [=](std::size_t b, std::size_t e) {
        for (std::size_t n = b; n < e; ++n) {
            const Quat r = q[n]; // read as (x, y, z, w)
            q[n] = {r.k, -r.w, -r.i, -r.j};
        }
    });
    return {std::move(items), 0};
}

// An (N, 4) read-only view of the rows (x, y, z, w) = (-i, -j, -k, w).
PyObject* to_xyzw(const QuatList& q) {
    const std::size_t n = q.items.size();
    Array<double> out(4 * n);
    const Quat* src = q.items.data();
    double* dst = out.data();
    pool::for_range(n, [=](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            dst[4 * i] = -src[i].i;
            dst[4 * i + 1] = -src[i].j;
            dst[4 * i + 2] = -src[i].k;
            dst[4 * i + 3] = src[i].w;
        }
    });
    return matrix_view(std::move(out), n, 4);
}

Array<Quat> copy_items(const Quat* data, std::size_t n) {
    Array<Quat> items(n);
    copy_bytes(items.data(), data, n * sizeof(Quat));
    return items;
}

PyObject* reduce(const QuatList& q) {
    return reduce_to("QuatList", state_bytes(q.items.data(), q.items.size() * sizeof(Quat)));
}
QuatList copy(const QuatList& q) { return {copy_items(q.items.data(), q.items.size()), 0}; }
QuatList deep_copy(const QuatList& q, PyObject* /*memo*/) { return copy(q); }

// ---------------------------------------------------------------------------------------------
// Batch operations: the kernels of quat_kernels.hpp over fixed blocks on the pool.

template <class F> QuatList map(const QuatList& in, F f) {
    Array<Quat> out(in.items.size());
    const Quat* src = in.items.data();
    Quat* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(in.items.size(), tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::quat_map_block(level, src + b, dst + b, e - b, f);
    });
    return {std::move(out), 0};
}

QuatList then(const QuatList& q, const Quat& p) { return map(q, kernels::Then{p}); }
QuatList after(const QuatList& q, const Quat& p) { return map(q, kernels::After{p}); }
QuatList inverse(const QuatList& q) { return map(q, kernels::Inverse{}); }
QuatList normalize(const QuatList& q) { return map(q, kernels::NormalizeQuat{}); }

VecList rotate(const QuatList& q, const VecList& vectors) {
    const std::size_t n = q.items.size();
    if (vectors.items.size() != n) {
        PyErr_Format(PyExc_ValueError,
                     "QuatList.rotate(): %zu quaternions for %zu vectors; the lengths must be "
                     "equal",
                     n, vectors.items.size());
        fail();
    }
    Array<Vec3d> out(n);
    const Quat* qs = q.items.data();
    const Vec3d* vs = vectors.items.data();
    Vec3d* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(n, tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::rotate_pairs_block(level, qs + b, vs + b, dst + b, e - b);
    });
    return {std::move(out), 0};
}

// `_reconstruct`'s side: a new QuatList from the state's bytes.
PyObject* restore(const void* state, std::size_t size) {
    if (size % sizeof(Quat) != 0) {
        PyErr_Format(
            PyExc_ValueError,
            "_reconstruct(): the state of QuatList must be a multiple of %zu bytes, not %zu",
            sizeof(Quat), size);
        fail();
    }
    return result(QuatList{copy_items(static_cast<const Quat*>(state), size / sizeof(Quat)), 0});
}

} // namespace

PyTypeObject* create() {
    static ClassDef def{
        .name = "QuatList",
        .constructor = constructor<make, "list">(),
        .methods =
            {
                static_method<QuatList, "from_buffer", from_buffer, "buffer">(),
                method<"then", then, "p">(),
                method<"after", after, "p">(),
                method<"inverse", inverse>(),
                method<"normalize", normalize>(),
                method<"rotate", rotate, "vectors">(),
                method<"__reduce__", reduce>(),
                method<"__copy__", copy>(),
                method<"__deepcopy__", deep_copy, "memo">(),
                static_method<QuatList, "from_xyzw", from_xyzw, "buffer">(),
                method<"to_xyzw", to_xyzw>(),
            },
        .properties = {},
        .slots =
            {
                slot(Py_mp_length, length<size>),
                slot(Py_mp_subscript, getitem<item>),
                slot(Py_tp_repr, repr<text>),
                slot(Py_bf_getbuffer, get_buffer<export_items, release_items>),
                slot(Py_bf_releasebuffer, release_buffer<release_items>),
            },
        .restore = restore,
    };
    return create_class<QuatList>(def);
}

} // namespace quat_list

PyTypeObject* quat_list_type() { return quat_list::create(); }

} // namespace kpy
