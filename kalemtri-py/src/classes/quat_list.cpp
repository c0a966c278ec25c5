// QuatList: an immutable array of Quat for trajectories and batches of poses, with the element-wise
// operations of Quat on the worker pool. Like VecList: workers see plain arrays only, blocks sit at
// fixed positions, and each element gives the bits of the single-quaternion method.
#include "classes.hpp"
#include "engine.hpp"
#include "item_list.hpp"
#include "kalemtri/engine/batch/quat_kernels.hpp"
#include "kalemtri/src/quat.hpp"

namespace kpy {

using kalemtri::Quat;
using kalemtri::Vec3d;
using storage::Array;
using QuatList = ItemList<Quat>;

// The class's own functions, in a namespace of their own: VecList's header declares functions of
// the same names and parameter lists in kpy.
namespace quat_list {

namespace {

static_assert(sizeof(Quat) == 4 * sizeof(double));

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

// ---------------------------------------------------------------------------------------------
// Batch operations: the kernels of quat_kernels.hpp over fixed blocks on the pool.

QuatList then(const QuatList& q, const Quat& p) { return item_list::map(q, kernels::Then{p}); }
QuatList after(const QuatList& q, const Quat& p) { return item_list::map(q, kernels::After{p}); }
QuatList inverse(const QuatList& q) { return item_list::map(q, kernels::Inverse{}); }
QuatList normalize(const QuatList& q) { return item_list::map(q, kernels::NormalizeQuat{}); }

VecList rotate(const QuatList& q, const VecList& vectors) {
    return item_list::pairs(q, vectors, "QuatList.rotate()", "quaternions",
                            kernels::rotate_pairs_block);
}

} // namespace

PyTypeObject* create() {
    using namespace item_list;
    static ClassDef def{
        .name = "QuatList",
        .constructor = constructor<make<Quat>, "list">(),
        .methods =
            {
                static_method<QuatList, "from_buffer", from_buffer<Quat>, "buffer">(),
                method<"then", then, "p">(),
                method<"after", after, "p">(),
                method<"inverse", inverse>(),
                method<"normalize", normalize>(),
                method<"rotate", rotate, "vectors">(),
                method<"__reduce__", reduce<Quat>>(),
                method<"__copy__", copy<Quat>>(),
                method<"__deepcopy__", deep_copy<Quat>, "memo">(),
                static_method<QuatList, "from_xyzw", from_xyzw, "buffer">(),
                method<"to_xyzw", to_xyzw>(),
            },
        .properties = {},
        .slots =
            {
                slot(Py_mp_length, length<size<Quat>>),
                slot(Py_mp_subscript, getitem<item<Quat>>),
                slot(Py_tp_repr, repr<text<Quat, kalemtri::MAX_QUAT_TEXT>>),
                slot(Py_bf_getbuffer, get_buffer<export_items<Quat>, release_items<Quat>>),
                slot(Py_bf_releasebuffer, release_buffer<release_items<Quat>>),
            },
        .restore = restore<Quat>,
    };
    return create_class<QuatList>(def);
}

} // namespace quat_list

PyTypeObject* quat_list_type() { return quat_list::create(); }

} // namespace kpy
