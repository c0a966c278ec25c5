#include "kalemtri/src/vec3d.hpp"

#include "classes.hpp"
#include "kalemtri/src/format.hpp"
#include "kalemtri/src/quat.hpp"
#include "pickle.hpp"

namespace kpy {

using kalemtri::Vec3d;

namespace {

Vec3d make(double x, double y, double z) { return {x, y, z}; }

double item(const Vec3d& v, std::size_t index) {
    if (index > 2) raise(PyExc_IndexError, "Index out of bounds");
    return kalemtri::component(v, index);
}

PyObject* text(const Vec3d& v) {
    char buf[kalemtri::MAX_VEC3D_TEXT];
    return ascii_text(buf, kalemtri::write_text(v, buf));
}

Vec3d add(const Vec3d& a, const Vec3d& b) { return a + b; }
Vec3d sub(const Vec3d& a, const Vec3d& b) { return a - b; }
Vec3d mul(const Vec3d& a, double s) { return a * s; }
Vec3d div(const Vec3d& a, double s) { return a / s; }
Vec3d neg(const Vec3d& a) { return -a; }

} // namespace

PyTypeObject* vec3d_type() {
    using namespace kalemtri;
    static ClassDef def{
        .name = "Vec3d",
        .constructor = constructor<make, "x, y, z">(),
        .methods =
            {
                static_method<Vec3d, "zero", Vec3d::zero>(),
                static_method<Vec3d, "i", Vec3d::i>(),
                static_method<Vec3d, "j", Vec3d::j>(),
                static_method<Vec3d, "k", Vec3d::k>(),
                static_method<Vec3d, "new_from_to", new_from_to, "from, to">(),
                method<"magnitude", magnitude>(),
                method<"is_unit", is_unit>(),
                method<"normalize", normalize>(),
                method<"dot", dot, "other">(),
                method<"cross", cross, "other">(),
                method<"distance_to", distance_to, "other">(),
                method<"scalar_triple_product", scalar_triple_product, "b, c">(),
                method<"distance_to_line", distance_to_line, "a, b">(),
                method<"project_onto_line", project_onto_line, "line_r, line_q">(),
                method<"project_onto_plane", project_onto_plane, "normal">(),
                method<"to_array", to_array>(),
                method<"angle_to", angle_to, "other">(),
                method<"to_quat", to_quat>(),
                method<"__reduce__", reduce_value<Vec3d>>(),
                method<"__copy__", copy_value<Vec3d>>(),
                method<"__deepcopy__", deep_copy_value<Vec3d>, "memo">(),
            },
        .properties = {field<"x", &Vec3d::x>(), field<"y", &Vec3d::y>(), field<"z", &Vec3d::z>()},
        .slots =
            {
                slot(Py_nb_add, binary<add>),
                slot(Py_nb_subtract, binary<sub>),
                slot(Py_nb_multiply, binary<mul, mul>),
                slot(Py_nb_true_divide, binary<div>),
                slot(Py_nb_negative, unary<neg>),
                slot(Py_mp_subscript, getitem<item>),
                slot(Py_tp_repr, repr<text>),
            },
    };
    return create_class<Vec3d>(def);
}

} // namespace kpy
