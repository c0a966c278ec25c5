#include "kalemtri/src/quat.hpp"

#include <optional>
#include <tuple>

#include "buffer.hpp"
#include "classes.hpp"
#include "kalemtri/src/angle.hpp"
#include "kalemtri/src/euler.hpp"
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

// ---------------------------------------------------------------------------------------------
// Rotation matrices in: three rows of three floats, or a buffer of nine native doubles or floats.

using kalemtri::Matrix3;
static_assert(sizeof(Matrix3) == 9 * sizeof(double));

constexpr const char* MATRIX_FORM = "3 rows of 3 floats, or a (3, 3) buffer of float64 or float32";

Matrix3 read_matrix(PyObject* m) {
    Matrix3 out;
    read_matrix_rows(m, "m", 3, 3, 3, MATRIX_FORM, out[0].data());
    return out;
}

Quat from_rotation_matrix(PyObject* m) { return kalemtri::from_rotation_matrix(read_matrix(m)); }

// ---------------------------------------------------------------------------------------------
// Euler angles

kalemtri::EulerSequence euler_sequence(PyObject* seq) {
    if (!PyUnicode_Check(seq)) {
        set_conversion_error(seq, "PyString");
        argument_error("seq");
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(seq, &n);
    if (!s) PyErr_Clear(); // lone surrogates: not an axis name either
    const auto parsed =
        s ? kalemtri::euler_sequence({s, static_cast<std::size_t>(n)}) : std::nullopt;
    if (!parsed) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'seq': %R is not an Euler sequence; expected three of 'x', 'y', "
                     "'z' (extrinsic) or of 'X', 'Y', 'Z' (intrinsic), no axis twice in a row",
                     seq);
        fail();
    }
    return *parsed;
}

using kalemtri::AngleDegrees;
using kalemtri::AngleRadians;

// An AngleRadians or AngleDegrees in its own unit, or a float in radians, or in degrees with
// `degrees`; degrees become radians by AngleDegrees.to_radians().
AngleRadians angle_argument(PyObject* o, const char* name, bool degrees) {
    if (is_instance<AngleRadians>(o)) {
        SharedBorrow b(instance<AngleRadians>(o)->flag);
        return instance<AngleRadians>(o)->value;
    }
    if (is_instance<AngleDegrees>(o)) {
        SharedBorrow b(instance<AngleDegrees>(o)->flag);
        return instance<AngleDegrees>(o)->value.to_radians();
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) argument_error(name);
    return degrees ? AngleDegrees{v}.to_radians() : AngleRadians{v};
}

Quat from_euler(PyObject* seq, PyObject* a, PyObject* b, PyObject* c, std::optional<bool> degrees) {
    const bool deg = degrees.value_or(false);
    const AngleRadians ra = angle_argument(a, "a", deg), rb = angle_argument(b, "b", deg);
    const AngleRadians rc = angle_argument(c, "c", deg);
    return kalemtri::from_euler(euler_sequence(seq), ra, rb, rc);
}

PyObject* to_euler(const Quat& q, PyObject* seq, std::optional<bool> degrees) {
    const auto e = kalemtri::to_euler(q, euler_sequence(seq));
    if (degrees.value_or(false))
        return result(std::tuple{e[0].to_degrees(), e[1].to_degrees(), e[2].to_degrees()});
    return result(std::tuple{e[0], e[1], e[2]});
}

// ---------------------------------------------------------------------------------------------
// scipy's and PyGLM's scalar-last order. scipy's Rotation.from_quat([x, y, z, w]) turns v to
// q v conj(q), and rotate() applies conj(q) v q: the same rotation is conj(q), so the vector part
// changes sign. Sign flips only, exact.

Quat from_xyzw(double x, double y, double z, double w) { return {w, -x, -y, -z}; }

std::tuple<double, double, double, double> to_xyzw(const Quat& q) {
    return {-q.i, -q.j, -q.k, q.w};
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
                method<"then", &Quat::then, "p">(),
                method<"inverse", &Quat::inverse>(),
                static_method<Quat, "from_rotation_matrix", from_rotation_matrix, "m">(),
                method<"to_matrix", kalemtri::to_matrix>(),
                method<"axis_angle", &Quat::axis_angle>(),
                static_method<Quat, "slerp", Quat::slerp, "a, b, t">(),
                static_method<Quat, "from_euler", from_euler, "seq, a, b, c, degrees=False">(),
                method<"to_euler", to_euler, "seq, degrees=False">(),
                static_method<Quat, "between", Quat::between, "a, b">(),
                method<"__reduce__", reduce_value<Quat>>(),
                method<"__copy__", copy_value<Quat>>(),
                method<"__deepcopy__", deep_copy_value<Quat>, "memo">(),
                static_method<Quat, "from_xyzw", from_xyzw, "x, y, z, w">(),
                method<"to_xyzw", to_xyzw>(),
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
