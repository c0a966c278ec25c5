// PoseList: an immutable array of Pose, rows (w, i, j, k, x, y, z), with the element-wise
// operations of Pose on the worker pool. Like QuatList: workers see plain arrays only, blocks sit
// at fixed positions, and each element gives the bits of the single-pose method.
#include <string>

#include "buffer.hpp"
#include "classes.hpp"
#include "kalemtri/src/format.hpp"
#include "kalemtri/src/pose.hpp"
#include "pickle.hpp"
#include "pool.hpp"
#include "pose_kernels.hpp"
#include "storage.hpp"
#include "tuning.hpp"
#include "vec_list.hpp"

namespace kpy {

using kalemtri::Pose;
using kalemtri::Vec3d;
using storage::Array;

struct PoseList {
    Array<Pose> items;
    // Buffer views alive; nothing changes the array, the count only pairs exports with releases.
    std::size_t exports = 0;
};

// In a namespace of their own, as QuatList's: VecList's header declares functions of the same names
// and parameter lists in kpy.
namespace pose_list {

namespace {

static_assert(sizeof(Pose) == 7 * sizeof(double));

[[noreturn]] void list_argument_error(PyObject* obj, const char* target) {
    set_conversion_error(obj, target);
    argument_error("list");
}

void copy_item(Array<Pose>& out, PyObject* item) {
    if (!is_instance<Pose>(item)) list_argument_error(item, "Pose");
    Instance<Pose>* p = instance<Pose>(item);
    SharedBorrow b(p->flag);
    out.push_back(p->value);
}

// Any iterable of Pose but a str.
PoseList make(PyObject* list) {
    if (PyUnicode_Check(list)) list_argument_error(list, "Sequence");
    PoseList p;
    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
        // No Python code runs while the items are copied.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
        PyObject** items = PySequence_Fast_ITEMS(list);
        p.items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            copy_item(p.items, items[i]);
        return p;
    }
    PyObject* it = PyObject_GetIter(list);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            list_argument_error(list, "Sequence");
        }
        fail();
    }
    consume_iterator(it, [&](PyObject* item) { copy_item(p.items, item); });
    if (PyErr_Occurred()) argument_error("list");
    return p;
}

std::size_t size(const PoseList& p) { return p.items.size(); }

Pose item(const PoseList& p, std::size_t index) {
    if (index >= p.items.size()) raise(PyExc_IndexError, "Index out of bounds");
    return p.items[index];
}

// "PoseList([Pose(...), ...])", the middle of a long list left out as one "..." item.
PyObject* text(const PoseList& p) {
    constexpr std::size_t EDGE = 3;
    const std::size_t n = p.items.size();
    std::string out = "PoseList([";
    char buf[kalemtri::MAX_POSE_TEXT];
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ", ";
        if (n > 2 * EDGE && i == EDGE) {
            out += "..., ";
            i = n - EDGE;
        }
        out.append(buf, kalemtri::write_text(p.items[i], buf));
    }
    out += "])";
    return ascii_text(out.data(), out.data() + out.size());
}

// ---------------------------------------------------------------------------------------------
// Data in and out

DoubleMatrix export_items(PoseList& p) {
    ++p.exports;
    return {reinterpret_cast<const double*>(p.items.data()), p.items.size(), 7};
}
void release_items(PoseList& p) { --p.exports; }

PoseList from_buffer(PyObject* buffer) {
    DoubleRows rows(buffer, 7, "argument 'buffer'");
    Array<Pose> items(rows.rows());
    rows.copy_to(reinterpret_cast<double*>(items.data()));
    return {std::move(items), 0};
}

Array<Pose> copy_items(const Pose* data, std::size_t n) {
    Array<Pose> items(n);
    copy_bytes(items.data(), data, n * sizeof(Pose));
    return items;
}

PyObject* reduce(const PoseList& p) {
    return reduce_to("PoseList", state_bytes(p.items.data(), p.items.size() * sizeof(Pose)));
}
PoseList copy(const PoseList& p) { return {copy_items(p.items.data(), p.items.size()), 0}; }
PoseList deep_copy(const PoseList& p, PyObject* /*memo*/) { return copy(p); }

// ---------------------------------------------------------------------------------------------
// Batch operations: the kernels of pose_kernels.hpp over fixed blocks on the pool.

template <class F> PoseList map(const PoseList& in, F f) {
    Array<Pose> out(in.items.size());
    const Pose* src = in.items.data();
    Pose* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(in.items.size(), tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::pose_map_block(level, src + b, dst + b, e - b, f);
    });
    return {std::move(out), 0};
}

PoseList then(const PoseList& p, const Pose& q) { return map(p, kernels::PoseThen{q}); }
PoseList after(const PoseList& p, const Pose& q) { return map(p, kernels::PoseAfter{q}); }
PoseList inverse(const PoseList& p) { return map(p, kernels::PoseInverse{}); }

VecList apply(const PoseList& p, const VecList& vectors) {
    const std::size_t n = p.items.size();
    if (vectors.items.size() != n) {
        PyErr_Format(PyExc_ValueError,
                     "PoseList.apply(): %zu poses for %zu vectors; the lengths must be equal", n,
                     vectors.items.size());
        fail();
    }
    Array<Vec3d> out(n);
    const Pose* ps = p.items.data();
    const Vec3d* vs = vectors.items.data();
    Vec3d* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(n, tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::apply_pairs_block(level, ps + b, vs + b, dst + b, e - b);
    });
    return {std::move(out), 0};
}

// `_reconstruct`'s side: a new PoseList from the state's bytes.
PyObject* restore(const void* state, std::size_t size) {
    if (size % sizeof(Pose) != 0) {
        PyErr_Format(
            PyExc_ValueError,
            "_reconstruct(): the state of PoseList must be a multiple of %zu bytes, not %zu",
            sizeof(Pose), size);
        fail();
    }
    return result(PoseList{copy_items(static_cast<const Pose*>(state), size / sizeof(Pose)), 0});
}

} // namespace

PyTypeObject* create() {
    static ClassDef def{
        .name = "PoseList",
        .constructor = constructor<make, "list">(),
        .methods =
            {
                static_method<PoseList, "from_buffer", from_buffer, "buffer">(),
                method<"then", then, "p">(),
                method<"after", after, "p">(),
                method<"inverse", inverse>(),
                method<"apply", apply, "vectors">(),
                method<"__reduce__", reduce>(),
                method<"__copy__", copy>(),
                method<"__deepcopy__", deep_copy, "memo">(),
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
    return create_class<PoseList>(def);
}

} // namespace pose_list

PyTypeObject* pose_list_type() { return pose_list::create(); }

} // namespace kpy
