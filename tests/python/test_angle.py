"""AngleRadians, AngleDegrees and Vec3d.angle_to as bound: each method wired to the right core
function, the operator and comparison rules, text forms, and parameter names in errors. The
arithmetic itself is pinned by the core tests."""

import math
import operator

import pytest

from conftest import same
from kalemtri_py import AngleDegrees, AngleRadians, Vec3d

NAN = float("nan")
INF = float("inf")
PI = 3.141592653589793


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_construction_and_property(cls):
    assert same(cls(-0.0).angle, -0.0) and same(cls(angle=7).angle, 7.0)
    with pytest.raises(TypeError, match=r"^argument 'angle': "):
        cls("1")
    a = cls(1.0)
    derived = a.to_degrees() if cls is AngleRadians else a.to_radians()
    before, alias = derived.angle, a
    a.angle = 5  # in place, and nothing derived from it changes
    assert type(alias.angle) is float and alias.angle == 5.0 and derived.angle == before
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        a.angle = "2"
    assert a.angle == 5.0


@pytest.mark.parametrize(
    "name, value",
    [
        ("zero", 0.0),
        ("pi", PI),
        ("two_pi", 6.283185307179586),
        ("half_pi", 1.5707963267948966),
        ("quarter_pi", 0.7853981633974483),
        ("third_pi", 1.0471975511965976),
        ("sixth_pi", 0.5235987755982988),
    ],
)
def test_constants(name, value):
    a = getattr(AngleRadians, name)()
    assert type(a) is AngleRadians and same(a.angle, value)
    a.angle = 9.0  # a new object each call
    assert same(getattr(AngleRadians(3.0), name)().angle, value)


@pytest.mark.parametrize(
    "method, reference",
    [
        ("sin", math.sin),
        ("cos", math.cos),
        ("tan", math.tan),
        ("sec", lambda x: 1.0 / math.cos(x)),
        ("csc", lambda x: 1.0 / math.sin(x) if x else -INF),
        ("cot", lambda x: 1.0 / math.tan(x) if x else -INF),
    ],
)
@pytest.mark.parametrize("x", [0.5, -0.0])
def test_trigonometry(method, reference, x):
    assert same(getattr(AngleRadians(x), method)(), reference(x))


@pytest.mark.parametrize(
    "result, cls, expected",
    [
        (lambda: AngleRadians.third_pi().to_degrees(), AngleDegrees, 59.99999999999999),
        (lambda: AngleRadians(1 / 3).to_degrees(), AngleDegrees, 19.098593171027442),
        (lambda: AngleDegrees(3).to_radians(), AngleRadians, 0.05235987755982988),
        (lambda: AngleRadians(2) + AngleRadians(0.5), AngleRadians, 2.5),
        (lambda: AngleRadians(2) - AngleRadians(0.5), AngleRadians, 1.5),
        (lambda: AngleRadians(2) * 3, AngleRadians, 6.0),
        (lambda: AngleRadians(2) / 4, AngleRadians, 0.5),
        (lambda: AngleRadians(-1.0) / 0, AngleRadians, -INF),
        (lambda: -AngleRadians.zero(), AngleRadians, -0.0),
        (lambda: Vec3d(1, 0, 0).angle_to(Vec3d(0, 1, 0)), AngleRadians, 1.5707963267948966),
        (lambda: Vec3d(1, 1, 1).angle_to(Vec3d(2, 2, 2)), AngleRadians, 0.0),  # clamped
        (lambda: Vec3d(1, 1, 1).angle_to(Vec3d(-2, -2, -2)), AngleRadians, PI),  # clamped
        (lambda: Vec3d(1, 0, 0).angle_to(other=Vec3d(-1, 0, 0)), AngleRadians, PI),
        (lambda: Vec3d(0, 0, 0).angle_to(Vec3d(1, 2, 3)), AngleRadians, NAN),
    ],
)
def test_results(result, cls, expected):
    r = result()
    assert type(r) is cls and same(r.angle, expected)


@pytest.mark.parametrize(
    "expr",
    [
        lambda a, d: 3 * a,
        lambda a, d: a + 1.0,
        lambda a, d: 1 - a,
        lambda a, d: a * "x",
        lambda a, d: 2 / a,
        lambda a, d: a * a,
        lambda a, d: a + d,
        lambda a, d: a < 1.0,
        lambda a, d: +a,
        lambda a, d: d + d,
        lambda a, d: d * 2,
        lambda a, d: -d,
        lambda a, d: d < d,
    ],
)
def test_unsupported_operations_raise_type_error(expr):
    a, d = AngleRadians(2.0), AngleDegrees(1.0)
    with pytest.raises(TypeError):
        expr(a, d)
    assert a.angle == 2.0


def test_unsuitable_operand_gets_its_reflected_turn():
    class Takes:
        def __radd__(self, other):
            return "radd"

        def __rtruediv__(self, other):
            return "rtruediv"

    assert AngleRadians(1.0) + Takes() == "radd" and AngleRadians(1.0) / Takes() == "rtruediv"
    assert AngleRadians(1.0).__mul__("x") is NotImplemented


@pytest.mark.parametrize(
    "x, y", [(1.0, 1.0), (1.0, 2.0), (2.0, 1.0), (0.0, -0.0), (NAN, 1.0), (1.0, NAN), (NAN, NAN)]
)
@pytest.mark.parametrize(
    "op", [operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge]
)
def test_comparisons_are_exact(x, y, op):
    assert op(AngleRadians(x), AngleRadians(y)) is op(x, y)


def test_not_equal_negates_the_full_equality():
    a = AngleRadians(NAN)
    assert (a == a) is False and (a != a) is True
    one = AngleRadians(1.0)
    assert (one == 1.0) is False and (one != 1.0) is True and (1.0 != one) is True

    class EqualsEverything:
        __hash__ = None

        def __eq__(self, other):
            return True

    class EqRaises:
        __hash__ = None

        def __eq__(self, other):
            raise ValueError("no comparing")

    assert (one != EqualsEverything()) is False  # the reflected __eq__ counts
    with pytest.raises(ValueError, match="no comparing"):
        one != EqRaises()  # noqa: B015


def test_hashing():
    with pytest.raises(TypeError):
        hash(AngleRadians(1.0))
    a, b = AngleDegrees(10), AngleDegrees(10)
    assert (a == b) is False and (a != b) is True and (a == a) is True
    assert hash(a) == object.__hash__(a) and len({a, b, a}) == 2


@pytest.mark.parametrize(
    "angle, text",
    [
        (AngleRadians(PI), "3.141592653589793 radians"),
        (AngleRadians(-0.0), "-0 radians"),
        (AngleRadians(NAN), "NaN radians"),
        (AngleRadians(-INF), "-inf radians"),
        (AngleDegrees(90), "90°"),
        (AngleDegrees(-0.0), "-0°"),
        (AngleDegrees(NAN), "NaN°"),
        (AngleRadians.third_pi().to_degrees(), "59.99999999999999°"),
    ],
)
def test_text(angle, text):
    assert repr(angle) == text and str(angle) == text


def test_angle_to_argument_and_independence():
    with pytest.raises(TypeError) as e:
        Vec3d(1, 0, 0).angle_to(AngleRadians(1.0))
    assert str(e.value) == "argument 'other': 'AngleRadians' object cannot be converted to 'Vec3d'"
    a, b = Vec3d(1, 0, 0), Vec3d(0, 1, 0)
    r = a.angle_to(b)
    r.angle, a.x = 3.0, -1.0
    assert a.angle_to(b).angle == 1.5707963267948966 and r.angle == 3.0
