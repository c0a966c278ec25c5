"""Quat and Vec3d.to_quat: construction, properties, rotation, axis-angle and matrix conversions to
the last bit, text form, and argument errors."""

import math
import struct

import pytest

from kalemtri_py import AngleDegrees, AngleRadians, Quat, Vec3d

NAN = float("nan")
INF = float("inf")
PI = 3.141592653589793
EPS = 2.220446049250313e-16
R, R_ = 0.7071067811865476, 0.7071067811865475  # cos(-pi/4) and -sin(-pi/4)


def same(a, b):
    """Equal to the last bit, telling -0.0 from 0.0; any NaN matches any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def same_all(xs, ys):
    xs, ys = list(xs), list(ys)
    return len(xs) == len(ys) and all(same(x, y) for x, y in zip(xs, ys))


def parts(q):
    return (q.w, q.i, q.j, q.k)


def vec(v):
    return (v.x, v.y, v.z)


# Python versions of the formulas, with the same evaluation order.


def ref_rotate(q, v):
    w, i, j, k = q
    x, y, z = v
    t0 = ((0.0 * w + i * x) + j * y) + k * z
    t1 = ((w * x - i * 0.0) - j * z) + k * y
    t2 = ((w * y - j * 0.0) - k * x) + i * z
    t3 = ((w * z - k * 0.0) - i * y) + j * x
    return (((w * t1 + i * t0) + k * t2) - j * t3, ((w * t2 + j * t0) + i * t3) - k * t1,
            ((w * t3 + k * t0) + j * t1) - i * t2)


def ref_matrix(q):
    w, i, j, k = q

    def twice(t):
        return t + t

    return [[1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)],
            [twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)],
            [twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)]]


def ref_magnitude(q):
    w, i, j, k = q
    return math.sqrt(((w * w + i * i) + j * j) + k * k)


SAMPLE_QUATS = [
    (1.0, 0.0, 0.0, 0.0),
    (-0.36, 0.97, 0.67, 0.13),
    (0.5, -0.5, 0.5, -0.5),
    (2.0, 0.0, 0.0, 0.0),
    (0.1, 0.2, 0.3, 0.4),
    (-1.0, 0.0, -0.0, 0.0),
    (R, -0.0, -0.0, -R_),
    (1e-3, -7.0, 1e5, 3.25),
]
SAMPLE_VECS = [(1.0, 0.0, 0.0), (2.0, 3.1, 3.3), (-0.0, 0.0, -0.0), (1e10, -1e-10, 5.5)]


# ---------------------------------------------------------------------------------------------
# Construction and properties


@pytest.mark.parametrize(
    "args, stored",
    [((1, 2, 3, 4), (1.0, 2.0, 3.0, 4.0)), ((0.5, -0.0, True, 1e-7), (0.5, -0.0, 1.0, 1e-7)),
     ((NAN, INF, -INF, 0), (NAN, INF, -INF, 0.0))],
)
def test_constructor_stores_components(args, stored):
    q = Quat(*args)
    assert all(type(c) is float for c in parts(q))
    assert same_all(parts(q), stored)


def test_constructor_keywords():
    assert parts(Quat(k=4, j=3, i=2, w=1)) == (1.0, 2.0, 3.0, 4.0)
    assert parts(Quat(1, 2, k=4, j=3)) == (1.0, 2.0, 3.0, 4.0)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2), {}, "Quat.__new__() missing 2 required positional arguments: 'j' and 'k'"),
        ((), {}, "Quat.__new__() missing 4 required positional arguments: 'w', 'i', 'j', and 'k'"),
        ((1, 2, 3, 4, 5), {}, "Quat.__new__() takes 4 positional arguments but 5 were given"),
        ((1, 2, 3, 4), {"x": 0}, "Quat.__new__() got an unexpected keyword argument 'x'"),
        ((1, 2, 3, 4), {"w": 0}, "Quat.__new__() got multiple values for argument 'w'"),
    ],
)
def test_constructor_argument_count_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        Quat(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "args, name",
    [(("a", 2, 3, 4), "w"), ((1, None, 3, 4), "i"), ((1, 2, "c", None), "j"),
     ((1, 2, 3, [4]), "k")],
)
def test_constructor_names_first_bad_component(args, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        Quat(*args)


@pytest.mark.parametrize("name", ["w", "i", "j", "k"])
def test_setters_in_place(name):
    q = Quat.identity()
    derived = q.conjugate()
    setattr(q, name, 7)
    assert getattr(q, name) == 7.0 and type(getattr(q, name)) is float
    assert parts(derived) == (1.0, -0.0, -0.0, -0.0)
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        setattr(q, name, "x")
    with pytest.raises(AttributeError, match="can't delete attribute"):
        delattr(q, name)
    assert getattr(q, name) == 7.0


def test_changed_scalar_is_no_longer_unit():
    q = Quat.identity()
    assert q.is_unit()
    q.w = 2
    assert q.is_unit() is False
    assert q.magnitude() == 2.0


def test_class_shape():
    assert Quat.__module__ == "builtins"
    assert Quat.__doc__ == ""
    assert Quat.__text_signature__ == "(w, i, j, k)"
    assert Quat.identity.__text_signature__ == "()"
    assert Quat.from_axis_angle.__text_signature__ == "(axis, angle)"
    assert Quat.rotate.__text_signature__ == "($self, v)"
    assert Quat.to_axis_angle.__text_signature__ == "($self)"
    assert Quat.rotate.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (Quat,), {})
    with pytest.raises(AttributeError):
        Quat.identity().x = 1


def test_identity_comparison_and_hash():
    a, b = Quat(1, 0, 0, 0), Quat(1, 0, 0, 0)
    assert (a == b) is False and (a != b) is True
    assert (a == a) is True
    assert hash(a) == object.__hash__(a)
    with pytest.raises(TypeError):
        a < b


@pytest.mark.parametrize(
    "expr", [lambda q: q * q, lambda q: q + q, lambda q: q - q, lambda q: -q, lambda q: 2 * q,
             lambda q: q / 2, lambda q: q * Vec3d(1, 0, 0), lambda q: q[0]],
)
def test_no_arithmetic(expr):
    with pytest.raises(TypeError):
        expr(Quat.identity())


# ---------------------------------------------------------------------------------------------
# Identity, conjugate, magnitude, normalize, is_unit


def test_identity_is_new_each_call():
    a = Quat.identity()
    assert same_all(parts(a), (1.0, 0.0, 0.0, 0.0))
    a.w = 5
    assert Quat.identity().w == 1.0
    assert Quat.identity() is not Quat.identity()
    assert parts(Quat(3, 3, 3, 3).identity()) == (1.0, 0.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "q, conj",
    [((1, 0, 0, 0), (1.0, -0.0, -0.0, -0.0)), ((1, -2, NAN, 4), (1.0, 2.0, NAN, -4.0)),
     ((-0.0, -0.0, INF, 0.5), (-0.0, 0.0, -INF, -0.5))],
)
def test_conjugate_flips_vector_signs(q, conj):
    original = Quat(*q)
    c = original.conjugate()
    assert same_all(parts(c), conj)
    assert same_all(parts(original), q)


@pytest.mark.parametrize("q", SAMPLE_QUATS + [(1, 1, 1, 1), (0, 3, 0, -4), (0, 0, 0, 0)])
def test_magnitude_and_normalize(q):
    m = ref_magnitude(q)
    assert same(Quat(*q).magnitude(), m)
    n = Quat(*q).normalize()
    assert same_all(parts(n), [c / m if m else NAN for c in q])


def test_zero_quaternion():
    z = Quat(0, 0, 0, 0)
    assert all(math.isnan(c) for c in parts(z.normalize()))
    assert z.is_unit() is False
    assert vec(z.rotate(Vec3d(1, 2, 3))) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "q, unit",
    [((1, 0, 0, 0), True), ((0, 0.6, 0, 0.8), True), ((1 + 2**-52, 0, 0, 0), False),
     ((1 - 2**-53, 0, 0, 0), True), ((0, 0, 0, 0), False), ((NAN, 0, 0, 0), False),
     ((0.5, 0.5, 0.5, 0.5), True), ((-1, 0, 0, 0), True), ((INF, 0, 0, 0), False)],
)
def test_is_unit(q, unit):
    assert Quat(*q).is_unit() is unit


# ---------------------------------------------------------------------------------------------
# from_axis_angle


def test_from_axis_angle_quarter_turn_about_z():
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
    assert repr(q) == "Quat(0.7071067811865476, -0, -0, -0.7071067811865475)"
    assert same_all(parts(q), (R, -0.0, -0.0, -R_))
    assert same_all(vec(q.rotate(Vec3d(1, 0, 0))), (2.220446049250313e-16, 1.0, 0.0))
    axis, angle = q.to_axis_angle()
    assert same_all(vec(axis), (-0.0, -0.0, -1.0))
    assert same(angle.angle, 1.5707963267948966)
    m = q.to_rotation_matrix()
    expected = [[0, 1, 0], [-1, 0, 0], [0, 0, 1]]
    assert all(abs(m[r][c] - expected[r][c]) < 1e-15 for r in range(3) for c in range(3))
    assert m == ref_matrix(parts(q))


@pytest.mark.parametrize(
    "axis, theta",
    [((0, 0, 1), 1.0), ((1, 0, 0), 0.0), ((0.6, 0.8, 0), -2.5), ((1, 2, 3), 7.0),
     ((0, 0, 1), PI), ((-1, 0.5, 0.25), 1e-9), ((0, 1, 0), -0.0), ((1, 1, 1), 1e6),
     ((0, 0, 1), NAN)],
)
def test_from_axis_angle_formula(axis, theta):
    h = theta * -0.5
    s, c = math.sin(h), math.cos(h)
    q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta))
    assert same_all(parts(q), (c, axis[0] * s, axis[1] * s, axis[2] * s))


def test_from_axis_angle_zero_angle():
    q = Quat.from_axis_angle(Vec3d(1, 0, 0), AngleRadians.zero())
    assert same_all(parts(q), (1.0, -0.0, -0.0, -0.0))
    assert repr(q) == "Quat(1, -0, -0, -0)"
    axis, angle = q.to_axis_angle()
    assert same_all(vec(axis), (1.0, 0.0, 0.0)) and same(angle.angle, 0.0)


def test_from_axis_angle_does_not_normalise_the_axis():
    q = Quat.from_axis_angle(Vec3d(0, 0, 2), AngleRadians.pi())
    assert q.magnitude() == 2.0
    v = q.rotate(Vec3d(1, 0, 0))
    assert same_all(vec(v), ref_rotate(parts(q), (1.0, 0.0, 0.0)))
    assert v.x == -4.0 and abs(v.y) < 1e-15 and v.z == 0.0


def test_from_axis_angle_keywords_and_instances():
    q = Quat.from_axis_angle(angle=AngleRadians.pi(), axis=Vec3d(1, 0, 0))
    assert same(q.w, math.cos(-PI / 2))
    assert parts(Quat.identity().from_axis_angle(Vec3d(1, 0, 0), AngleRadians(0.0)))[0] == 1.0


def test_from_axis_angle_copies_its_arguments():
    axis, angle = Vec3d(0, 0, 1), AngleRadians.half_pi()
    q = Quat.from_axis_angle(axis, angle)
    axis.z = 5.0
    angle.angle = 0.0
    assert same_all(parts(q), (R, -0.0, -0.0, -R_))


@pytest.mark.parametrize(
    "args, message",
    [
        ((Vec3d(0, 0, 1), 1.5707963267948966),
         "argument 'angle': 'float' object cannot be converted to 'AngleRadians'"),
        ((Vec3d(0, 0, 1), 2),
         "argument 'angle': 'int' object cannot be converted to 'AngleRadians'"),
        ((Vec3d(0, 0, 1), AngleDegrees(90)),
         "argument 'angle': 'AngleDegrees' object cannot be converted to 'AngleRadians'"),
        (((0, 0, 1), AngleRadians(1.0)),
         "argument 'axis': 'tuple' object cannot be converted to 'Vec3d'"),
        ((Quat.identity(), 1.0),
         "argument 'axis': 'Quat' object cannot be converted to 'Vec3d'"),
    ],
)
def test_from_axis_angle_argument_types(args, message):
    with pytest.raises(TypeError) as e:
        Quat.from_axis_angle(*args)
    assert str(e.value) == message


def test_from_axis_angle_argument_count():
    with pytest.raises(TypeError) as e:
        Quat.from_axis_angle(Vec3d(0, 0, 1))
    assert str(e.value) == "Quat.from_axis_angle() missing 1 required positional argument: 'angle'"


# ---------------------------------------------------------------------------------------------
# rotate


@pytest.mark.parametrize("q", SAMPLE_QUATS)
@pytest.mark.parametrize("v", SAMPLE_VECS)
def test_rotate_matches_formula(q, v):
    out = Quat(*q).rotate(Vec3d(*v))
    assert type(out) is Vec3d
    assert same_all(vec(out), ref_rotate(q, v))


def test_rotate_identity_is_exact():
    v = Vec3d(1.5, -2, 3.25)
    out = Quat.identity().rotate(v)
    assert out is not v
    assert same_all(vec(out), (1.5, -2.0, 3.25))


def test_rotate_non_unit_scales():
    assert vec(Quat(2, 0, 0, 0).rotate(Vec3d(1, 2, 3))) == (4.0, 8.0, 12.0)


def test_rotate_infinite_component_gives_nan():
    out = Quat(INF, 0, 0, 0).rotate(Vec3d(1, 2, 3))
    assert all(math.isnan(c) for c in vec(out))


def test_rotate_argument_errors():
    with pytest.raises(TypeError) as e:
        Quat.identity().rotate((1, 2, 3))
    assert str(e.value) == "argument 'v': 'tuple' object cannot be converted to 'Vec3d'"
    assert vec(Quat.identity().rotate(v=Vec3d(1, 2, 3))) == (1.0, 2.0, 3.0)


def test_rotate_leaves_operands_unchanged():
    q, v = Quat(0.5, 0.5, 0.5, 0.5), Vec3d(1, 2, 3)
    q.rotate(v)
    assert parts(q) == (0.5, 0.5, 0.5, 0.5) and vec(v) == (1.0, 2.0, 3.0)


# ---------------------------------------------------------------------------------------------
# to_axis_angle


@pytest.mark.parametrize(
    "q, axis, angle",
    [
        ((1, 5, 6, 7), (1.0, 0.0, 0.0), 0.0),  # only w is tested
        ((1 + 2**-53, 5, 6, 7), (1.0, 0.0, 0.0), 0.0),
        ((0, 0, 0, 1), (0.0, 0.0, 1.0), PI),
        ((2, 0, 0, 0), (NAN, NAN, NAN), NAN),
        ((NAN, 0, 0, 0), (NAN, NAN, NAN), NAN),
    ],
)
def test_to_axis_angle_cases(q, axis, angle):
    out = Quat(*q).to_axis_angle()
    assert type(out) is tuple and len(out) == 2
    a, t = out
    assert type(a) is Vec3d and type(t) is AngleRadians
    assert same_all(vec(a), axis)
    assert same(t.angle, angle)


@pytest.mark.parametrize("q", SAMPLE_QUATS[1:] + [(-1, 1, 0, 2), (0.5, -0.5, 0.5, 0.5)])
def test_to_axis_angle_formula(q):
    w, i, j, k = q
    if abs(w + -1.0) < EPS:
        expected_axis, expected_angle = (1.0, 0.0, 0.0), 0.0
    elif abs(w) > 1:
        expected_axis, expected_angle = (NAN, NAN, NAN), NAN
    else:
        theta = math.acos(w) + math.acos(w)
        s = math.sin(theta * 0.5)
        expected_axis, expected_angle = (i / s, j / s, k / s), theta
    axis, angle = Quat(*q).to_axis_angle()
    assert same_all(vec(axis), expected_axis)
    assert same(angle.angle, expected_angle)


def test_to_axis_angle_of_minus_one():
    axis, angle = Quat(-1, 1, 0, 2).to_axis_angle()
    assert angle.angle == 6.283185307179586
    s = math.sin(PI)
    assert same_all(vec(axis), (1 / s, 0.0, 2 / s))


def test_to_axis_angle_reverses_from_axis_angle_sign():
    axis, angle = Quat.from_axis_angle(Vec3d(0.6, 0.0, 0.8), AngleRadians(1.0)).to_axis_angle()
    assert abs(angle.angle - 1.0) < 1e-15
    assert all(abs(a - b) < 1e-15 for a, b in zip(vec(axis), (-0.6, 0.0, -0.8)))


# ---------------------------------------------------------------------------------------------
# to_rotation_matrix and to_vec


def test_identity_matrix():
    m = Quat.identity().to_rotation_matrix()
    assert m == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert type(m) is list and all(type(row) is list and len(row) == 3 for row in m)
    assert all(type(x) is float for row in m for x in row)


@pytest.mark.parametrize("q", SAMPLE_QUATS + [(NAN, 0, 0, 0), (0, 0, 0, 0)])
def test_matrix_matches_formula(q):
    m = Quat(*q).to_rotation_matrix()
    assert len(m) == 3
    for row, expected in zip(m, ref_matrix(q)):
        assert same_all(row, expected)


def test_matrix_is_new_each_call():
    q = Quat.identity()
    m = q.to_rotation_matrix()
    m[0][0] = 9.0
    assert q.to_rotation_matrix()[0][0] == 1.0
    assert q.to_rotation_matrix() is not q.to_rotation_matrix()


def test_rotate_is_row_vector_times_matrix():
    q, v = (0.5, 0.5, 0.5, 0.5), (1.0, 2.0, 3.0)
    m = Quat(*q).to_rotation_matrix()
    product = [sum(v[r] * m[r][c] for r in range(3)) for c in range(3)]
    assert all(abs(a - b) < 1e-12 for a, b in zip(vec(Quat(*q).rotate(Vec3d(*v))), product))


@pytest.mark.parametrize("q", [(9, 1, 2, 3), (0, -0.0, NAN, INF)])
def test_to_vec_is_tuple_of_floats(q):
    v = Quat(*q).to_vec()
    assert type(v) is tuple and len(v) == 3
    assert all(type(c) is float for c in v)
    assert same_all(v, q[1:])


# ---------------------------------------------------------------------------------------------
# Text form and Vec3d.to_quat


@pytest.mark.parametrize(
    "q, text",
    [((1, 0, 0, 0), "Quat(1, 0, 0, 0)"), ((0.5, -0.0, 2.0, 1e-7), "Quat(0.5, -0, 2, 0.0000001)"),
     ((NAN, INF, -INF, 0.1), "Quat(NaN, inf, -inf, 0.1)"),
     ((1e21, -1.5, 3, 4), "Quat(1000000000000000000000, -1.5, 3, 4)")],
)
def test_repr(q, text):
    assert repr(Quat(*q)) == text
    assert str(Quat(*q)) == text


def test_repr_of_identity():
    assert repr(Quat.identity()) == "Quat(1, 0, 0, 0)"


@pytest.mark.parametrize(
    "v, text",
    [((1, 2, 3), "Quat(0, 1, 2, 3)"), ((-0.0, -0.0, -0.0), "Quat(0, -0, -0, -0)"),
     ((NAN, 0.5, -INF), "Quat(0, NaN, 0.5, -inf)")],
)
def test_vec3d_to_quat(v, text):
    src = Vec3d(*v)
    q = src.to_quat()
    assert type(q) is Quat
    assert repr(q) == text
    assert same(q.w, 0.0)  # +0.0, whatever the vector
    q.i = 99.0
    assert same(src.x, float(v[0]))


def test_vec3d_to_quat_signature():
    assert Vec3d.to_quat.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        Vec3d(1, 2, 3).to_quat(1)
