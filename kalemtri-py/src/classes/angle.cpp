#include "kalemtri/src/angle.hpp"

#include "classes.hpp"
#include "kalemtri/src/format.hpp"
#include "pickle.hpp"

namespace kpy {

using kalemtri::AngleDegrees;
using kalemtri::AngleRadians;

namespace {

AngleRadians make_radians(double angle) { return {angle}; }
AngleDegrees make_degrees(double angle) { return {angle}; }

AngleRadians add(const AngleRadians& a, const AngleRadians& b) { return a + b; }
AngleRadians sub(const AngleRadians& a, const AngleRadians& b) { return a - b; }
AngleRadians mul(const AngleRadians& a, double s) { return a * s; }
AngleRadians div(const AngleRadians& a, double s) { return a / s; }
AngleRadians neg(const AngleRadians& a) { return -a; }

bool eq(const AngleRadians& a, const AngleRadians& b) { return a == b; }
bool lt(const AngleRadians& a, const AngleRadians& b) { return a < b; }
bool le(const AngleRadians& a, const AngleRadians& b) { return a <= b; }
bool gt(const AngleRadians& a, const AngleRadians& b) { return a > b; }
bool ge(const AngleRadians& a, const AngleRadians& b) { return a >= b; }

PyObject* radians_text(const AngleRadians& a) {
    char buf[kalemtri::MAX_RADIANS_TEXT];
    return ascii_text(buf, kalemtri::write_text(a, buf));
}

// The degree sign is not ASCII: the text is decoded as UTF-8.
PyObject* degrees_text(const AngleDegrees& d) {
    char buf[kalemtri::MAX_DEGREES_TEXT];
    const char* end = kalemtri::write_text(d, buf);
    return PyUnicode_FromStringAndSize(buf, end - buf);
}

} // namespace

PyTypeObject* angle_radians_type() {
    static ClassDef def{
        .name = "AngleRadians",
        .constructor = constructor<make_radians, "angle">(),
        .methods =
            {
                static_method<AngleRadians, "zero", AngleRadians::zero>(),
                static_method<AngleRadians, "pi", AngleRadians::pi>(),
                static_method<AngleRadians, "two_pi", AngleRadians::two_pi>(),
                static_method<AngleRadians, "half_pi", AngleRadians::half_pi>(),
                static_method<AngleRadians, "quarter_pi", AngleRadians::quarter_pi>(),
                static_method<AngleRadians, "third_pi", AngleRadians::third_pi>(),
                static_method<AngleRadians, "sixth_pi", AngleRadians::sixth_pi>(),
                method<"sin", &AngleRadians::sin>(),
                method<"cos", &AngleRadians::cos>(),
                method<"tan", &AngleRadians::tan>(),
                method<"sec", &AngleRadians::sec>(),
                method<"csc", &AngleRadians::csc>(),
                method<"cot", &AngleRadians::cot>(),
                method<"to_degrees", &AngleRadians::to_degrees>(),
                method<"__reduce__", reduce_value<AngleRadians>>(),
                method<"__copy__", copy_value<AngleRadians>>(),
                method<"__deepcopy__", deep_copy_value<AngleRadians>, "memo">(),
            },
        .properties = {field<"angle", &AngleRadians::angle>()},
        .slots =
            {
                slot(Py_nb_add, binary<add>),
                slot(Py_nb_subtract, binary<sub>),
                slot(Py_nb_multiply, binary<mul>),
                slot(Py_nb_true_divide, binary<div>),
                slot(Py_nb_negative, unary<neg>),
                slot(Py_tp_richcompare, richcompare<eq, lt, le, gt, ge>),
                slot(Py_tp_repr, repr<radians_text>),
            },
        // Defines `==` without a hash.
        .hashable = false,
    };
    return create_class<AngleRadians>(def);
}

PyTypeObject* angle_degrees_type() {
    static ClassDef def{
        .name = "AngleDegrees",
        .constructor = constructor<make_degrees, "angle">(),
        .methods =
            {
                method<"to_radians", &AngleDegrees::to_radians>(),
                method<"__reduce__", reduce_value<AngleDegrees>>(),
                method<"__copy__", copy_value<AngleDegrees>>(),
                method<"__deepcopy__", deep_copy_value<AngleDegrees>, "memo">(),
            },
        .properties = {field<"angle", &AngleDegrees::angle>()},
        .slots = {slot(Py_tp_repr, repr<degrees_text>)},
    };
    return create_class<AngleDegrees>(def);
}

} // namespace kpy
