#include "kalemtri/src/quat.hpp"

#include <tuple>

#include "classes.hpp"
#include "kalemtri/src/format.hpp"
#include "kalemtri/src/matrix.hpp"
#include "pickle.hpp"

namespace kpy {

using kalemtri::Quat;

namespace {

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

// A tuple of floats, not a list.
std::tuple<double, double, double> to_vec(const Quat& q) {
    const auto v = q.to_vec();
    return {v[0], v[1], v[2]};
}

PyObject* text(const Quat& q) {
    char buf[kalemtri::MAX_QUAT_TEXT];
    return ascii_text(buf, kalemtri::write_text(q, buf));
}

} // namespace

PyTypeObject* quat_type() {
    static ClassDef def{
        .name = "Quat",
        .constructor = constructor<make, "w, i, j, k">(),
        .methods =
            {
                static_method<Quat, "identity", Quat::identity>(),
                static_method<Quat, "from_axis_angle", Quat::from_axis_angle, "axis, angle">(),
                method<"conjugate", &Quat::conjugate>(),
                method<"magnitude", &Quat::magnitude>(),
                method<"normalize", &Quat::normalize>(),
                method<"is_unit", &Quat::is_unit>(),
                method<"rotate", &Quat::rotate, "v">(),
                method<"to_axis_angle", &Quat::to_axis_angle>(),
                method<"to_rotation_matrix", kalemtri::to_rotation_matrix>(),
                method<"to_vec", to_vec>(),
                method<"__reduce__", reduce_value<Quat>>(),
                method<"__copy__", copy_value<Quat>>(),
                method<"__deepcopy__", deep_copy_value<Quat>, "memo">(),
            },
        .properties =
            {
                field<"w", &Quat::w>(),
                field<"i", &Quat::i>(),
                field<"j", &Quat::j>(),
                field<"k", &Quat::k>(),
            },
        .slots = {slot(Py_tp_repr, repr<text>)},
    };
    return create_class<Quat>(def);
}

} // namespace kpy
