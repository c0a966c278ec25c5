// VecList: a growable array of Vec3d with batch operations on the worker pool. Workers see only
// plain arrays; every Python object is made on the calling thread after the parallel part, and
// per-element formulas are the core's own inline functions.
#include <algorithm>
#include <type_traits>
#include <vector>

#include "classes.hpp"
#include "engine.hpp"
#include "kalemtri/engine/batch/kernels.hpp"
#include "kalemtri/engine/batch/voxel.hpp"
#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/quat.hpp"
#include "kalemtri/src/vec3d.hpp"
#include "vec_list.hpp"

namespace kpy {

using kalemtri::Quat;
using kalemtri::Vec3d;
using storage::Array;

namespace {

// ---------------------------------------------------------------------------------------------
// Maps: the block kernel of kernels.hpp over fixed blocks on the pool.

template <class R, class F> Array<R> map(const Array<Vec3d>& in, F f) {
    Array<R> out(in.size());
    const Vec3d* src = in.data();
    R* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(in.size(), tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::map_block<R>(level, src + b, dst + b, e - b, f);
    });
    return out;
}

template <class F> VecList map_list(const VecList& v, F f) { return {map<Vec3d>(v.items, f)}; }

// Per-element numbers as a Python list of floats, made on the calling thread one fixed block at a
// time while the block's results are still in L1. A new float costs 7-18 ns and the kernel less
// than 1 ns, so the pool would save little, and its workers spinning on the other core slow the
// object-making thread down more than that; nor is an intermediate array allocated. (Truth values
// are shared objects: there the kernel's share is large enough for the pool to pay.)
template <class F> PyObject* float_list(const VecList& v, F f) {
    const std::size_t n = v.items.size();
    const kernels::Level level = kernels::chosen_level();
    double values[tuning::MAP_BLOCK];
    return make_list(n, [&](std::size_t i) {
        const std::size_t k = i % tuning::MAP_BLOCK;
        if (k == 0)
            kernels::map_block<double>(level, v.items.data() + i, values,
                                       std::min(tuning::MAP_BLOCK, n - i), f);
        return PyFloat_FromDouble(values[k]);
    });
}

// ---------------------------------------------------------------------------------------------
// Container

[[noreturn]] void list_argument_error(PyObject* obj, const char* target) {
    set_conversion_error(obj, target);
    argument_error("list");
}

void copy_item(Array<Vec3d>& out, PyObject* item) {
    if (!is_instance<Vec3d>(item)) list_argument_error(item, "Vec3d");
    Instance<Vec3d>* v = instance<Vec3d>(item);
    SharedBorrow b(v->flag);
    out.push_back(v->value);
}

// Elements reserved up front for a sequence of unknown honesty (1.5 MiB); beyond that the array
// grows geometrically.
constexpr std::size_t HINT_LIMIT = std::size_t{1} << 16;

VecList make(PyObject* list) {
    if (PyUnicode_Check(list))
        raise(PyExc_TypeError, "argument 'list': Can't extract `str` to `Vec`");
    if (!PySequence_Check(list)) list_argument_error(list, "Sequence");
    VecList v;
    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
        // No Python code runs while the items are copied, so direct access sees what iteration
        // would.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
        PyObject** items = PySequence_Fast_ITEMS(list);
        v.items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            copy_item(v.items, items[i]);
        return v;
    }
    // The length is only a hint: trust it no further than is cheap, and give back what the items
    // did not fill, so a sequence that claims far more than it yields holds no memory.
    const Py_ssize_t hint = PySequence_Size(list);
    std::size_t reserved = 0;
    if (hint < 0)
        clear_error();
    else
        reserved = std::min(static_cast<std::size_t>(hint), HINT_LIMIT);
    v.items.reserve(reserved);
    PyObject* it = PyObject_GetIter(list);
    if (!it) argument_error("list");
    consume_iterator(it, [&](PyObject* item) { copy_item(v.items, item); });
    if (PyErr_Occurred()) argument_error("list");
    if (v.items.size() < reserved) v.items = Array<Vec3d>(v.items); // an exact copy
    return v;
}

VecList empty() { return {}; }

std::size_t size(const VecList& v) { return v.items.size(); }

Vec3d item(const VecList& v, std::size_t index) {
    if (index >= v.items.size()) raise(PyExc_IndexError, "Index out of bounds");
    return v.items[index];
}

void refuse_change(const VecList& self, const char* method) {
    if (self.source) {
        PyErr_Format(PyExc_BufferError,
                     "VecList.%s() cannot change a read-only list: it reads the memory of another "
                     "object (VecList.borrow); copy.copy() it for a list of its own",
                     method);
        fail();
    }
    if (self.exports == 0) return;
    PyErr_Format(PyExc_BufferError,
                 "VecList.%s() cannot change the list while buffer views of it exist (memoryview, "
                 "numpy array, pickle buffer); release them first",
                 method);
    fail();
}

void append(VecList& self, const Vec3d& vec) {
    refuse_change(self, "append");
    self.items.push_back(vec);
}

// `other` cannot be `self`: the exclusive borrow of self is already held when it is converted.
void extend(VecList& self, const VecList& other) {
    refuse_change(self, "extend");
    self.items.append(other.items.data(), other.items.size());
}

const Array<Vec3d>& as_list(const VecList& v) { return v.items; }

// ---------------------------------------------------------------------------------------------
// Batch operations

// `batch<K>` binds operation K of kernels.hpp: its operand, if any, converted as K's member, and
// its results a new VecList, a list of floats or a list of truth values.
template <class K, class... Operand> auto apply(const VecList& v, const Operand&... o) {
    const K k{o...};
    using R = decltype(k(Vec3d{}));
    if constexpr (std::is_same_v<R, Vec3d>)
        return map_list(v, k);
    else if constexpr (std::is_same_v<R, double>)
        return float_list(v, k);
    else
        return map<R>(v.items, k);
}

template <class K>
constexpr auto batch = [] {
    if constexpr (std::is_void_v<kernels::operand_t<K>>)
        return &apply<K>;
    else
        return &apply<K, kernels::operand_t<K>>;
}();

// Any axis but 0, 1 and 2 panics in the core on the first element it meets.
VecList collapse(const VecList& v, std::size_t axis) {
    switch (axis) {
    case 0:
        return map_list(v, kernels::Collapse<0>{});
    case 1:
        return map_list(v, kernels::Collapse<1>{});
    case 2:
        return map_list(v, kernels::Collapse<2>{});
    default:
        return map_list(v, kernels::Collapse<3>{});
    }
}

// The new array replaces the old one only once every element is done; a failure changes nothing.
void rotate(VecList& self, const Quat& quat) {
    refuse_change(self, "rotate");
    const Quat q = quat;
    Array<Vec3d> rotated = map<Vec3d>(self.items, kernels::Rotate{q});
    self.items.swap(rotated);
}

VecList rotated(const VecList& v, const Quat& quat) { return map_list(v, kernels::Rotate{quat}); }

// ---------------------------------------------------------------------------------------------
// Nearest point: the block fold of kernels.hpp as a reduction on the pool.

kernels::Candidate nearest(const Vec3d* first, std::size_t stride, std::size_t count, Vec3d o) {
    const kernels::Level level = kernels::chosen_level();
    return pool::reduce_blocks(
        count, tuning::NEAREST_BLOCK, kernels::NO_CANDIDATE,
        [&](std::size_t kb, std::size_t ke) {
            return kernels::nearest_blocks(level, first, stride, count, o, kb, ke);
        },
        kernels::better);
}

std::pair<std::size_t, double> minimum_distance_to(const VecList& v, const Vec3d& other,
                                                   std::size_t stride) {
    if (stride == 0) kalemtri::panic("assertion failed: stride != 0");
    const std::size_t n = v.items.size();
    if (n == 0) kalemtri::panic("called `Option::unwrap()` on a `None` value");
    const Vec3d* items = v.items.data();
    const std::size_t w = nearest(items, stride, (n - 1) / stride + 1, other).index;
    const std::size_t lo = w >= stride ? w - stride : 0;
    const std::size_t hi = stride < n - w ? w + stride : n;
    const kernels::Candidate c = nearest(items + lo, 1, hi - lo, other);
    return {lo + c.index, c.distance};
}

VecList voxel_down_sample(const VecList& v, double size) {
    if (!(size > 0.0)) { // NaN too
        PyObject* s = PyFloat_FromDouble(size);
        if (!s) fail();
        PyErr_Format(PyExc_ValueError, "argument 'size': must be a number > 0, not %R", s);
        Py_DECREF(s);
        fail();
    }
    return {kalemtri::voxel::down_sample(v.items.data(), v.items.size(), size)};
}

// (VecList attribute, operand, in place) of operation K. The operand is its class name, "float",
// the fixed argument (collapse's axis) or None.
template <class K> PyObject* describe() {
    using O = kernels::operand_t<K>;
    PyObject* in_place = requires { K::in_place; }
    ? Py_True : Py_False;
    if constexpr (requires { K::argument; })
        return Py_BuildValue("(snO)", K::name, static_cast<Py_ssize_t>(K::argument), in_place);
    else if constexpr (std::is_void_v<O>)
        return Py_BuildValue("(sOO)", K::name, Py_None, in_place);
    else if constexpr (std::is_same_v<O, double>)
        return Py_BuildValue("(ssO)", K::name, "float", in_place);
    else
        return Py_BuildValue("(ssO)", K::name, Class<O>::name, in_place);
}

} // namespace

PyObject* batch_operations() {
    std::vector<PyObject* (*)()> describers;
    kernels::for_each_operation([&](auto k) { describers.push_back(describe<decltype(k)>); });
    PyObject* list = make_list(describers.size(), [&](std::size_t i) { return describers[i](); });
    if (!list) return nullptr;
    PyObject* tuple = PyList_AsTuple(list);
    Py_DECREF(list);
    return tuple;
}

PyTypeObject* vec_list_type() {
    static ClassDef def{
        .name = "VecList",
        .constructor = constructor<make, "list">(),
        .methods =
            {
                static_method<VecList, "empty", empty>(),
                static_method<VecList, "from_buffer", from_buffer, "buffer">(),
                method<"append", append, "vec">(),
                method<"extend", extend, "other">(),
                method<"to_array", to_array>(),
                method<"dot", batch<kernels::Dot>, "other">(),
                method<"cross", batch<kernels::Cross>, "other">(),
                method<"magnitude", batch<kernels::Magnitude>>(),
                method<"normalize", batch<kernels::Normalize>>(),
                method<"is_unit", batch<kernels::IsUnit>>(),
                method<"distance_to", batch<kernels::DistanceTo>, "other">(),
                method<"rotate", rotate, "quat">(),
                method<"collapse", collapse, "axis">(),
                method<"minimum_distance_to", minimum_distance_to, "other, stride">(),
                method<"__reduce__", reduce>(),
                {"__reduce_ex__", as_cfunction(reduce_ex), METH_O,
                 signature_doc("__reduce_ex__", "protocol", true)},
                method<"__copy__", copy>(),
                method<"__deepcopy__", deep_copy, "memo">(),
                static_method<VecList, "borrow", borrow, "buffer">(),
                method<"rotated", rotated, "quat">(),
                method<"voxel_down_sample", voxel_down_sample, "size">(),
            },
        .properties = {readonly<"list", as_list>()},
        .slots =
            {
                slot(Py_nb_add, binary<batch<kernels::Add>>),
                slot(Py_nb_subtract, binary<batch<kernels::Sub>>),
                slot(Py_nb_multiply, binary<batch<kernels::Mul>, batch<kernels::RMul>>),
                slot(Py_nb_true_divide, binary<batch<kernels::Div>>),
                slot(Py_mp_length, length<size>),
                slot(Py_mp_subscript, getitem<item>),
                slot(Py_tp_iter, unary<iterate>),
                slot(Py_tp_repr, repr<text>),
                slot(Py_bf_getbuffer, get_buffer<export_items, release_items>),
                slot(Py_bf_releasebuffer, release_buffer<release_items>),
            },
        .restore = restore,
    };
    return create_class<VecList>(def);
}

} // namespace kpy
