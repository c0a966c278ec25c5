// Pose: an immutable rigid pose, a Quat rotation followed by a Vec3d translation. Applying it to a
// VecList and fitting it to matched points run on the worker pool; every element and every sum
// gives the bits of the single calls, whatever the number of threads.
#include "kalemtri/src/pose.hpp"

#include <optional>
#include <vector>

#include "buffer.hpp"
#include "classes.hpp"
#include "engine.hpp"
#include "kalemtri/engine/batch/pose_fit_pool.hpp"
#include "kalemtri/engine/batch/pose_kernels.hpp"
#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/format.hpp"
#include "kalemtri/src/pose_fit.hpp"
#include "pickle.hpp"
#include "vec_list.hpp"

namespace kpy {

using kalemtri::Pose;
using kalemtri::Quat;
using kalemtri::Vec3d;
using storage::Array;

namespace {

Pose make(const Quat& rotation, const Vec3d& translation) { return {rotation, translation}; }

Quat rotation(const Pose& p) { return p.rotation; }
Vec3d translation(const Pose& p) { return p.translation; }

PyObject* pose_text(const Pose& p) {
    char buf[kalemtri::MAX_POSE_TEXT];
    return ascii_text(buf, kalemtri::write_text(p, buf));
}

// ---------------------------------------------------------------------------------------------
// Applying: a vector, or every element of a VecList in one pass

// The map kernel of VecList's batch operations with Pose::apply as the formula, so each element
// is rotate(v) + translation as the single call computes it, at every level, in one pass.
VecList apply_list(const Pose& p, const VecList& v) {
    const std::size_t n = v.items.size();
    Array<Vec3d> out(n);
    const Vec3d* src = v.items.data();
    Vec3d* dst = out.data();
    const kernels::PoseApply apply{p};
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(n, tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::map_block<Vec3d>(level, src + b, dst + b, e - b, apply);
    });
    return {std::move(out)};
}

PyObject* apply(const Pose& p, PyObject* x) {
    if (is_instance<Vec3d>(x)) {
        SharedBorrow b(instance<Vec3d>(x)->flag);
        return result(p.apply(instance<Vec3d>(x)->value));
    }
    if (is_instance<VecList>(x)) {
        SharedBorrow b(instance<VecList>(x)->flag);
        return result(apply_list(p, instance<VecList>(x)->value));
    }
    set_conversion_error(x, "Vec3d or VecList");
    argument_error("x");
}

// ---------------------------------------------------------------------------------------------
// Matrices

using Rows4 = std::array<std::array<double, 4>, 4>;
static_assert(sizeof(Rows4) == 16 * sizeof(double));

constexpr const char* MATRIX_FORM =
    "4 rows (or the top 3) of 4 floats, or a (4, 4) or (3, 4) buffer of float64 or float32";

Pose from_matrix(PyObject* m) {
    Rows4 rows;
    const std::size_t n = read_matrix_rows(m, "m", 4, 3, 4, MATRIX_FORM, rows[0].data());
    const auto& last = rows[3];
    if (n == 4 && !(last[0] == 0.0 && last[1] == 0.0 && last[2] == 0.0 && last[3] == 1.0)) {
        PyObject* row = Py_BuildValue("(dddd)", last[0], last[1], last[2], last[3]);
        if (!row) fail();
        PyErr_Format(PyExc_ValueError,
                     "argument 'm': the fourth row is %R; a rigid pose's is exactly (0, 0, 0, 1)",
                     row);
        Py_DECREF(row);
        fail();
    }
    return Pose::from_matrix({rows[0], rows[1], rows[2]});
}

// ---------------------------------------------------------------------------------------------
// Fitting

// N points (x, y, z) from a VecList or any (N, 3) buffer: in place when packed doubles, else
// copied (and widened from float32).
class Points {
  public:
    Points(PyObject* obj, const char* what) : rows_(obj, 3, what) {
        if (const double* p = rows_.packed()) {
            data_ = reinterpret_cast<const Vec3d*>(p);
            return;
        }
        copy_ = Array<Vec3d>(rows_.rows());
        rows_.copy_to(reinterpret_cast<double*>(copy_.data()));
        data_ = copy_.data();
    }
    std::size_t size() const { return rows_.rows(); }
    const Vec3d* data() const { return data_; }

  private:
    DoubleRows rows_;
    Array<Vec3d> copy_;
    const Vec3d* data_ = nullptr;
};

// The weights of an (N,) buffer, each checked: 0 <= w < inf.
class Weights {
  public:
    explicit Weights(PyObject* obj) : rows_(obj, 1, "argument 'weights'") {
        copy_ = Array<double>(rows_.rows());
        rows_.copy_to(copy_.data());
        for (std::size_t i = 0; i < copy_.size(); ++i) {
            const double w = copy_[i];
            if (w >= 0.0 && w - w == 0.0) continue;
            PyObject* value = PyFloat_FromDouble(w);
            if (!value) fail();
            PyErr_Format(PyExc_ValueError,
                         "argument 'weights': weights[%zu] is %R; every weight must be finite and "
                         ">= 0",
                         i, value);
            Py_DECREF(value);
            fail();
        }
    }
    std::size_t size() const { return copy_.size(); }
    const double* data() const { return copy_.data(); }

  private:
    DoubleRows rows_;
    Array<double> copy_;
};

Pose fit(PyObject* source, PyObject* target, PyObject* weights) {
    const Points s(source, "argument 'source'");
    const Points t(target, "argument 'target'");
    const std::size_t n = s.size();
    if (t.size() != n) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'target': %zu points for %zu source points; the lengths must be "
                     "equal",
                     t.size(), n);
        fail();
    }
    std::optional<Weights> w;
    if (weights && weights != Py_None) {
        w.emplace(weights);
        if (w->size() != n) {
            PyErr_Format(PyExc_ValueError,
                         "argument 'weights': %zu weights for %zu points; the lengths must be "
                         "equal",
                         w->size(), n);
            fail();
        }
    }
    if (n == 0) raise(PyExc_ValueError, "Pose.fit(): no points to fit");
    const Vec3d* sp = s.data();
    const Vec3d* tp = t.data();
    const double* wp = w ? w->data() : nullptr;
    const auto sums = fitting::centroid_totals(sp, tp, wp, n);
    if (!(sums.w > 0.0))
        raise(PyExc_ValueError, "argument 'weights': every weight is 0; nothing to fit");
    return fitting::fit_from(sums, sp, tp, wp, n);
}

} // namespace

PyTypeObject* pose_type() {
    static ClassDef def{
        .name = "Pose",
        .constructor = constructor<make, "rotation, translation">(),
        .methods =
            {
                static_method<Pose, "identity", Pose::identity>(),
                method<"then", &Pose::then, "p">(),
                method<"inverse", &Pose::inverse>(),
                method<"apply", apply, "x">(),
                method<"to_matrix", &Pose::to_matrix>(),
                static_method<Pose, "from_matrix", from_matrix, "m">(),
                static_method<Pose, "interpolate", Pose::interpolate, "a, b, t">(),
                static_method<Pose, "fit", fit, "source, target, weights=None">(),
                method<"__reduce__", reduce_value<Pose>>(),
                method<"__copy__", copy_value<Pose>>(),
                method<"__deepcopy__", deep_copy_value<Pose>, "memo">(),
            },
        .properties =
            {
                readonly<"rotation", rotation>(),
                readonly<"translation", translation>(),
            },
        .slots = {slot(Py_tp_repr, repr<pose_text>)},
    };
    return create_class<Pose>(def);
}

} // namespace kpy
