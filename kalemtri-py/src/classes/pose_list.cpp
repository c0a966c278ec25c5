// PoseList: an immutable array of Pose, rows (w, i, j, k, x, y, z), with the element-wise
// operations of Pose on the worker pool. Like QuatList: workers see plain arrays only, blocks sit
// at fixed positions, and each element gives the bits of the single-pose method.
#include "classes.hpp"
#include "engine.hpp"
#include "item_list.hpp"
#include "kalemtri/engine/batch/pose_kernels.hpp"
#include "kalemtri/src/pose.hpp"

namespace kpy {

using kalemtri::Pose;
using PoseList = ItemList<Pose>;

// In a namespace of their own, as QuatList's: VecList's header declares functions of the same names
// and parameter lists in kpy.
namespace pose_list {

namespace {

static_assert(sizeof(Pose) == 7 * sizeof(double));

// ---------------------------------------------------------------------------------------------
// Batch operations: the kernels of pose_kernels.hpp over fixed blocks on the pool.

PoseList then(const PoseList& p, const Pose& q) { return item_list::map(p, kernels::PoseThen{q}); }
PoseList after(const PoseList& p, const Pose& q) {
    return item_list::map(p, kernels::PoseAfter{q});
}
PoseList inverse(const PoseList& p) { return item_list::map(p, kernels::PoseInverse{}); }

VecList apply(const PoseList& p, const VecList& vectors) {
    return item_list::pairs(p, vectors, "PoseList.apply()", "poses", kernels::apply_pairs_block);
}

} // namespace

PyTypeObject* create() {
    using namespace item_list;
    static ClassDef def{
        .name = "PoseList",
        .constructor = constructor<make<Pose>, "list">(),
        .methods =
            {
                static_method<PoseList, "from_buffer", from_buffer<Pose>, "buffer">(),
                method<"then", then, "p">(),
                method<"after", after, "p">(),
                method<"inverse", inverse>(),
                method<"apply", apply, "vectors">(),
                method<"__reduce__", reduce<Pose>>(),
                method<"__copy__", copy<Pose>>(),
                method<"__deepcopy__", deep_copy<Pose>, "memo">(),
            },
        .properties = {},
        .slots =
            {
                slot(Py_mp_length, length<size<Pose>>),
                slot(Py_mp_subscript, getitem<item<Pose>>),
                slot(Py_tp_repr, repr<text<Pose, kalemtri::MAX_POSE_TEXT>>),
                slot(Py_bf_getbuffer, get_buffer<export_items<Pose>, release_items<Pose>>),
                slot(Py_bf_releasebuffer, release_buffer<release_items<Pose>>),
            },
        .restore = restore<Pose>,
    };
    return create_class<PoseList>(def);
}

} // namespace pose_list

PyTypeObject* pose_list_type() { return pose_list::create(); }

} // namespace kpy
