import math

import pytest

from conftest import same
from kalemtri_py import Vec3d

NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize(
    "v, text",
    [
        (Vec3d(1, 2.5, -3), "Vec3d(1, 2.5, -3)"),
        (Vec3d(0.1 + 0.2, -0.0, 1e-7), "Vec3d(0.30000000000000004, -0, 0.0000001)"),
        (Vec3d(-0.0, INF, NAN), "Vec3d(-0, inf, NaN)"),
        (Vec3d(1e21, -INF, 5e-324), "Vec3d(1000000000000000000000, -inf, 0." + "0" * 323 + "5)"),
        (Vec3d(0, 0, 0).normalize(), "Vec3d(NaN, NaN, NaN)"),
        (
            Vec3d(123456789012345680000, 0.1, 1 / 3),
            "Vec3d(123456789012345680000, 0.1, 0.3333333333333333)",
        ),
    ],
)
def test_repr(v, text):
    assert repr(v) == text and str(v) == text


def test_indexing_and_iteration():
    v = Vec3d(1, 2, 3)
    assert (v[0], v[1], v[2]) == (1.0, 2.0, 3.0)
    assert list(v) == [1.0, 2.0, 3.0] and tuple(v) == (1.0, 2.0, 3.0)
    x, y, z = v
    assert (x, y, z) == (1.0, 2.0, 3.0) and 2 in v and 4 not in v
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        v[3]
    with pytest.raises(OverflowError):
        v[-1]
    with pytest.raises(OverflowError):
        v[2**64]
    with pytest.raises(TypeError, match="^argument 'index': "):
        v[1.0]
    with pytest.raises(TypeError):
        len(v)


def test_identity_semantics():
    a, b = Vec3d(1, 2, 3), Vec3d(1, 2, 3)
    assert a != b and a == a and hash(a) == hash(a)
    assert a.to_array() == [1.0, 2.0, 3.0] and a.to_array() is not a.to_array()
    assert Vec3d.zero() is not Vec3d.zero()
    assert repr(a.zero()) == "Vec3d(0, 0, 0)"


def test_properties_store_and_refuse():
    v = Vec3d(1, 2, 3)
    v.x = 5
    assert type(v.x) is float and v.x == 5.0
    with pytest.raises(TypeError, match="^argument 'value': "):
        v.y = "a"
    assert v.y == 2.0
    w = v + Vec3d.zero()
    v.z = 9
    assert w.z == 3.0  # results share nothing with their operands


@pytest.mark.parametrize(
    "result, expected",
    [
        (lambda: 2 * Vec3d(1, 2, 3), (2, 4, 6)),
        (lambda: Vec3d(1, 2, 3) * 2, (2, 4, 6)),
        (lambda: True * Vec3d(1, 2, 3), (1, 2, 3)),
        (lambda: Vec3d(1, 2, 3) / 0, (INF, INF, INF)),
        (lambda: Vec3d(1, -1, 0) / 0.0, (INF, -INF, NAN)),
        (lambda: Vec3d(1, 1, 1) / 3, (1 / 3, 1 / 3, 1 / 3)),
        (lambda: -Vec3d.zero(), (-0.0, -0.0, -0.0)),
        (lambda: Vec3d(1, 2, 3) - Vec3d(3, 2, 1), (-2, 0, 2)),
        (lambda: Vec3d.i().cross(Vec3d.j()), (0, 0, 1)),
        (lambda: Vec3d.j().cross(other=Vec3d.i()), (0, 0, -1)),
        (lambda: Vec3d(0, 0, 0).normalize(), (NAN, NAN, NAN)),
        (lambda: Vec3d(2, 3, 4).project_onto_line(Vec3d(1, 0, 0), Vec3d(0, 0, 0)), (2, 0, 0)),
        (lambda: Vec3d(1, 2, 3).project_onto_plane(Vec3d(0, 0, 1)), (1, 2, 0)),
        (lambda: Vec3d(1, 1, 1).project_onto_plane(normal=Vec3d(0, 0, 2)), (1, 1, -3)),
        (lambda: Vec3d.new_from_to(Vec3d(1, 1, 1), Vec3d(2, 3, 4)), (1, 2, 3)),
        (lambda: Vec3d.new_from_to(**{"from": Vec3d(1, 1, 1), "to": Vec3d(2, 3, 4)}), (1, 2, 3)),
    ],
)
def test_vector_results(result, expected, assert_vec):
    assert_vec(result(), *expected)


@pytest.mark.parametrize(
    "result, expected",
    [
        (lambda: Vec3d(1, 2, 3).dot(Vec3d(4, 5, 6)), 32.0),
        (lambda: Vec3d(1e16, 1, -1e16).dot(Vec3d(1, 1, 1)), 0.0),  # (x + y) + z
        (lambda: Vec3d(3, 4, 12).magnitude(), 13.0),
        (lambda: Vec3d(1, 2, 3).distance_to(Vec3d(4, 6, 3)), 5.0),
        (lambda: Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()), 1.0),
        (lambda: Vec3d(0, 1, 0).distance_to_line(Vec3d(0, 0, 0), Vec3d(1, 0, 0)), 1.0),
        (lambda: Vec3d(5, 1, 0).distance_to_line(a=Vec3d(0, 0, 0), b=Vec3d(1, 0, 0)), 1.0),
        (lambda: Vec3d(5, 1, 0).distance_to_line(Vec3d(1, 0, 0), Vec3d(1, 0, 0)), NAN),
    ],
)
def test_scalar_results(result, expected):
    value = result()
    assert type(value) is float and same(value, expected)


@pytest.mark.parametrize(
    "v, unit",
    [
        ((1, 0, 0), True),
        ((0.6, 0.8, 0), True),
        ((1.0000000000000002, 0, 0), False),
        ((0.9999999999999999, 0, 0), True),
        ((0, 0, 0), False),
        ((NAN, 0, 0), False),
    ],
)
def test_is_unit(v, unit):
    assert Vec3d(*v).is_unit() is unit


def test_magnitude_takes_no_arguments():
    with pytest.raises(TypeError):
        Vec3d(1, 2, 3).magnitude(1)
    assert math.isnan(Vec3d(INF, 0, 0).normalize().x)
