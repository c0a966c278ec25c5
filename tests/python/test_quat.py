"""Quat and Vec3d.to_quat as bound: wiring to the core, result shapes, text and parameter names in
errors. The rotation arithmetic itself is pinned by the core tests."""

import pytest

from conftest import same
from kalemtri_py import AngleRadians, Quat, Vec3d

NAN, INF = float("nan"), float("inf")
R, R_ = 0.7071067811865476, 0.7071067811865475  # cos(-pi/4) and -sin(-pi/4)


def parts(q):
    return (q.w, q.i, q.j, q.k)


def same_all(xs, ys):
    xs, ys = list(xs), list(ys)
    return len(xs) == len(ys) and all(same(float(x), float(y)) for x, y in zip(xs, ys))


def quarter_turn():
    return Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())


def test_construction_fields_and_setters():
    assert same_all(parts(Quat(1, -0.0, j=3, k=4)), (1, -0.0, 3, 4))
    q = Quat.identity()
    conj = q.conjugate()
    for n, name in enumerate("wijk"):
        setattr(q, name, 10 + n)  # in place, one field each
    assert same_all(parts(q), (10, 11, 12, 13)) and type(q.k) is float
    assert same_all(parts(conj), (1, -0.0, -0.0, -0.0))
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        q.j = "x"
    assert q.j == 12.0
    for n, name in enumerate("wijk"):
        with pytest.raises(TypeError, match=rf"^argument '{name}': "):
            Quat(*[1, 2, 3, 4][:n], "x", *[1, 2, 3, 4][n + 1 :])


def test_identity_comparison_and_no_arithmetic():
    a, b = Quat(1, 0, 0, 0), Quat(1, 0, 0, 0)
    assert (a == b) is False and (a != b) is True and (a == a) is True
    assert hash(a) == object.__hash__(a)
    for expr in (lambda: a < b, lambda: a * a, lambda: a + a, lambda: -a, lambda: 2 * a):
        with pytest.raises(TypeError):
            expr()


@pytest.mark.parametrize(
    "result, expected",
    [
        (lambda: Quat.identity(), (1, 0, 0, 0)),
        (lambda: Quat(1, -2, NAN, 4).conjugate(), (1, 2, NAN, -4)),
        (lambda: Quat(0, 3, 0, -4).normalize(), (0, 0.6, 0, -0.8)),
        (quarter_turn, (R, -0.0, -0.0, -R_)),
        (
            lambda: Quat.from_axis_angle(angle=AngleRadians(0.0), axis=Vec3d(1, 0, 0)),
            (1, -0.0, -0.0, -0.0),
        ),
        (
            lambda: Quat.from_axis_angle(Vec3d(0, 0, 2), AngleRadians.pi()),  # axis used as given
            (6.123233995736766e-17, -0.0, -0.0, -2.0),
        ),
        (lambda: Vec3d(-0.0, 2, NAN).to_quat(), (0.0, -0.0, 2, NAN)),
    ],
)
def test_quaternion_results(result, expected):
    q = result()
    assert type(q) is Quat and same_all(parts(q), expected)


@pytest.mark.parametrize(
    "q, magnitude, unit",
    [
        ((1, 1, 1, 1), 2.0, False),
        ((0, 0.6, 0, 0.8), 1.0, True),
        ((1 + 2**-52, 0, 0, 0), 1.0000000000000002, False),
        ((1 - 2**-53, 0, 0, 0), 0.9999999999999999, True),
        ((0, 0, 0, 0), 0.0, False),
        ((NAN, 0, 0, 0), NAN, False),
    ],
)
def test_magnitude_and_is_unit(q, magnitude, unit):
    assert same(Quat(*q).magnitude(), magnitude) and Quat(*q).is_unit() is unit


@pytest.mark.parametrize(
    "q, v, expected",
    [
        (quarter_turn(), (1, 0, 0), (2.220446049250313e-16, 1.0, 0.0)),
        (Quat(2, 0, 0, 0), (1, 2, 3), (4, 8, 12)),
        (
            Quat(-0.36, 0.97, 0.67, 0.13),
            (2, 3.1, 3.3),
            (7.372800000000002, -0.11888999999999955, -1.8582299999999996),
        ),
    ],
)
def test_rotate(q, v, expected, assert_vec):
    src = Vec3d(*v)
    out = q.rotate(v=src)
    assert type(out) is Vec3d and out is not src
    assert_vec(out, *expected)


@pytest.mark.parametrize(
    "q, axis, angle",
    [
        (quarter_turn(), (-0.0, -0.0, -1.0), 1.5707963267948966),
        (Quat(1, 5, 6, 7), (1, 0, 0), 0.0),
        (Quat(2, 0, 0, 0), (NAN, NAN, NAN), NAN),
    ],
)
def test_to_axis_angle(q, axis, angle, assert_vec):
    out = q.to_axis_angle()
    assert type(out) is tuple and [type(x) for x in out] == [Vec3d, AngleRadians]
    assert_vec(out[0], *axis)
    assert same(out[1].angle, angle)


def test_matrix_is_a_list_of_rows_and_to_vec_a_tuple():
    q = Quat(1, 1, 1, 1)
    m = q.to_rotation_matrix()
    assert type(m) is list and all(type(row) is list and len(row) == 3 for row in m)
    assert same_all(sum(m, []), (-3, 0, 4, 4, -3, 0, 0, 4, -3))
    m[0][0] = 9.0
    assert q.to_rotation_matrix()[0][0] == -3.0
    v = Quat(9, 1, -0.0, NAN).to_vec()
    assert type(v) is tuple and same_all(v, (1, -0.0, NAN))


@pytest.mark.parametrize(
    "q, text",
    [
        (quarter_turn(), "Quat(0.7071067811865476, -0, -0, -0.7071067811865475)"),
        (Quat(NAN, INF, -INF, 1e-7), "Quat(NaN, inf, -inf, 0.0000001)"),
    ],
)
def test_text(q, text):
    assert repr(q) == text and str(q) == text


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), 1.5707963267948966),
            "argument 'angle': 'float' object cannot be converted to 'AngleRadians'",
        ),
        (
            lambda: Quat.from_axis_angle((0, 0, 1), AngleRadians(1.0)),
            "argument 'axis': 'tuple' object cannot be converted to 'Vec3d'",
        ),
        (
            lambda: Quat.identity().rotate((1, 2, 3)),
            "argument 'v': 'tuple' object cannot be converted to 'Vec3d'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_from_axis_angle_copies_its_arguments():
    axis, angle = Vec3d(0, 0, 1), AngleRadians.half_pi()
    q = Quat.from_axis_angle(axis, angle)
    axis.z, angle.angle = 5.0, 0.0
    assert same_all(parts(q), parts(quarter_turn()))
