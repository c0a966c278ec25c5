#include "kalemtri/src/quat.hpp"

#include <tuple>

#include "buffer.hpp"
#include "classes.hpp"
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

[[noreturn]] void not_a_matrix(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "argument 'm': expected %s, not '%s'", MATRIX_FORM,
                 type_qualname(obj).c_str());
    fail();
}

[[noreturn]] void wrong_length(const char* what, Py_ssize_t n) {
    PyErr_Format(PyExc_ValueError, "argument 'm': %s of length %zd; expected %s", what, n,
                 MATRIX_FORM);
    fail();
}

// A tuple of an iterable's items (a new reference); a str is refused. A snapshot, not the list
// itself: the items' __float__ may change the caller's lists, and must not pull rows or items from
// under the reader.
PyObject* items_of(PyObject* obj) {
    if (PyUnicode_Check(obj)) not_a_matrix(obj);
    PyObject* items = PySequence_Tuple(obj);
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            not_a_matrix(obj);
        }
        fail();
    }
    return items;
}

void read_row(PyObject* row, std::array<double, 3>& out) {
    PyObject* items = items_of(row);
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    if (n != 3) {
        Py_DECREF(items);
        wrong_length("a row", n);
    }
    for (Py_ssize_t c = 0; c < 3; ++c) {
        // The snapshot holds the item while __float__ runs, whatever that does to `row`.
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(items, c));
        if (v == -1.0 && PyErr_Occurred()) {
            Py_DECREF(items);
            argument_error("m");
        }
        out[static_cast<std::size_t>(c)] = v;
    }
    Py_DECREF(items);
}

Matrix3 read_matrix(PyObject* m) {
    Matrix3 out;
    if (PyObject_CheckBuffer(m)) {
        const DoubleRows rows(m, 3, "argument 'm'");
        if (rows.rows() != 3) {
            PyErr_Format(PyExc_ValueError, "argument 'm': %zu rows; expected %s", rows.rows(),
                         MATRIX_FORM);
            fail();
        }
        rows.copy_to(out[0].data());
        return out;
    }
    PyObject* rows = items_of(m);
    try {
        const Py_ssize_t n = PyTuple_GET_SIZE(rows);
        if (n != 3) wrong_length("a matrix", n);
        for (Py_ssize_t r = 0; r < 3; ++r)
            read_row(PyTuple_GET_ITEM(rows, r), out[static_cast<std::size_t>(r)]);
    } catch (...) {
        Py_DECREF(rows);
        throw;
    }
    Py_DECREF(rows);
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

using kalemtri::AngleRadians;

Quat from_euler(PyObject* seq, const AngleRadians& a, const AngleRadians& b,
                const AngleRadians& c) {
    return kalemtri::from_euler(euler_sequence(seq), a, b, c);
}

std::tuple<AngleRadians, AngleRadians, AngleRadians> to_euler(const Quat& q, PyObject* seq) {
    const auto e = kalemtri::to_euler(q, euler_sequence(seq));
    return {e[0], e[1], e[2]};
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
                static_method<Quat, "from_euler", from_euler, "seq, a, b, c">(),
                method<"to_euler", to_euler, "seq">(),
                static_method<Quat, "between", Quat::between, "a, b">(),
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
