"""AngleRadians, AngleDegrees and Vec3d.angle_to: values to the last bit, text forms, operator and
comparison rules, properties and argument errors."""

import math
import operator
import struct

import pytest

from kalemtri_py import AngleDegrees, AngleRadians, Vec3d

NAN = float("nan")
INF = float("inf")
PI = 3.141592653589793


def same(a, b):
    """Equal to the last bit, telling -0.0 from 0.0; any NaN matches any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 4


# ---------------------------------------------------------------------------------------------
# Construction and the `angle` property


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize(
    "given, stored",
    [(1.25, 1.25), (-0.0, -0.0), (7, 7.0), (True, 1.0), (Floaty(), 2.5), (Indexy(), 4.0),
     (INF, INF), (NAN, NAN), (1e300, 1e300), (-20.0, -20.0)],
)
def test_constructor_stores_value_unchanged(cls, given, stored):
    a = cls(given)
    assert type(a.angle) is float
    assert same(a.angle, stored)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_constructor_by_keyword(cls):
    assert cls(angle=0.5).angle == 0.5


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{0}.__new__() missing 1 required positional argument: 'angle'"),
        ((1, 2), {}, "{0}.__new__() takes 1 positional arguments but 2 were given"),
        ((1,), {"angle": 2}, "{0}.__new__() got multiple values for argument 'angle'"),
        ((), {"radians": 2}, "{0}.__new__() got an unexpected keyword argument 'radians'"),
    ],
)
def test_constructor_argument_count_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message.format(cls.__name__)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize("bad", ["1", None, [1.0], Vec3d(1, 2, 3)])
def test_constructor_rejects_non_numbers_naming_angle(cls, bad):
    with pytest.raises(TypeError, match=r"^argument 'angle': "):
        cls(bad)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_constructor_overflow_is_not_prefixed(cls):
    with pytest.raises(OverflowError) as e:
        cls(10**400)
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_setter_changes_object_in_place_only(cls):
    a = cls(1.0)
    derived = a.to_degrees() if cls is AngleRadians else a.to_radians()
    before = derived.angle
    alias = a
    a.angle = 5
    assert alias.angle == 5.0 and type(a.angle) is float
    assert derived.angle == before


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_setter_conversion_error_names_value(cls):
    a = cls(1.0)
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        a.angle = "2"
    assert a.angle == 1.0


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_attributes_cannot_be_deleted_or_added(cls):
    a = cls(1.0)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del a.angle
    with pytest.raises(AttributeError):
        a.other = 1
    assert a.angle == 1.0


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_class_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == "(angle)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_method_signatures():
    assert AngleRadians.pi.__text_signature__ == "()"
    assert AngleRadians.sin.__text_signature__ == "($self)"
    assert AngleRadians.to_degrees.__doc__ is None
    assert AngleDegrees.to_radians.__text_signature__ == "($self)"


# ---------------------------------------------------------------------------------------------
# Constants

CONSTANTS = [
    ("zero", 0.0),
    ("pi", 3.141592653589793),
    ("two_pi", 6.283185307179586),
    ("half_pi", 1.5707963267948966),
    ("quarter_pi", 0.7853981633974483),
    ("third_pi", 1.0471975511965976),
    ("sixth_pi", 0.5235987755982988),
]


@pytest.mark.parametrize("name, value", CONSTANTS)
def test_constants_are_fixed_doubles_and_new_objects(name, value):
    make = getattr(AngleRadians, name)
    a, b = make(), make()
    assert type(a) is AngleRadians
    assert same(a.angle, value)
    assert a is not b and a == b
    a.angle = 9.0
    assert same(make().angle, value)
    assert same(getattr(AngleRadians(3.0), name)().angle, value)  # on an instance too


def test_constants_relations():
    assert AngleRadians.half_pi().angle == PI / 2 and AngleRadians.quarter_pi().angle == PI / 4
    assert AngleRadians.third_pi().angle == PI / 3.0 and AngleRadians.sixth_pi().angle == PI / 6.0


# ---------------------------------------------------------------------------------------------
# Trigonometry: the libm result, and 1.0 divided by it for the reciprocals

TRIG_INPUTS = [0.0, -0.0, 0.5, -1.25, PI, PI / 2, PI / 3, 2.0, 100.0, 1e-300, 1e22, INF, NAN]


@pytest.mark.parametrize("x", TRIG_INPUTS)
def test_trigonometry_bit_exact(x):
    a = AngleRadians(x)
    assert same(a.sin(), math.sin(x) if math.isfinite(x) else NAN)
    assert same(a.cos(), math.cos(x) if math.isfinite(x) else NAN)
    assert same(a.tan(), math.tan(x) if math.isfinite(x) else NAN)
    if math.isfinite(x):
        def recip(d):
            return math.copysign(INF, d) if d == 0 else 1.0 / d
        assert same(a.sec(), recip(math.cos(x)))
        assert same(a.csc(), recip(math.sin(x)))
        assert same(a.cot(), recip(math.tan(x)))
    else:
        assert math.isnan(a.sec()) and math.isnan(a.csc()) and math.isnan(a.cot())


@pytest.mark.parametrize(
    "x, method, expected",
    [(0.0, "cot", INF), (0.0, "csc", INF), (-0.0, "cot", -INF), (-0.0, "csc", -INF),
     (0.0, "sec", 1.0)],
)
def test_reciprocals_of_zero_are_signed_infinities(x, method, expected):
    assert same(getattr(AngleRadians(x), method)(), expected)


def test_sec_of_half_pi_is_large_and_finite():
    sec = AngleRadians.half_pi().sec()
    assert sec == 1.0 / math.cos(PI / 2)
    assert math.isfinite(sec) and sec > 1e16


def test_cot_is_reciprocal_of_tan_not_cos_over_sin():
    # An angle where the two formulas differ in the last bit.
    xs = [x / 7.0 for x in range(1, 400)]
    witness = next(x for x in xs if 1.0 / math.tan(x) != math.cos(x) / math.sin(x))
    assert AngleRadians(witness).cot() == 1.0 / math.tan(witness)


def test_methods_take_no_arguments():
    with pytest.raises(TypeError):
        AngleRadians(1.0).sin(1)


# ---------------------------------------------------------------------------------------------
# Unit conversions: multiply first, divide second


@pytest.mark.parametrize(
    "make, degrees",
    [(AngleRadians.third_pi, 59.99999999999999), (AngleRadians.sixth_pi, 29.999999999999996),
     (AngleRadians.half_pi, 90.0), (AngleRadians.pi, 180.0), (AngleRadians.two_pi, 360.0),
     (AngleRadians.zero, 0.0)],
)
def test_to_degrees(make, degrees):
    d = make().to_degrees()
    assert type(d) is AngleDegrees
    assert same(d.angle, degrees)


@pytest.mark.parametrize("x", [1.0, -2.5, 0.1, 1e-7, 123456.789, -0.0, INF, NAN])
def test_to_degrees_order_of_operations(x):
    assert same(AngleRadians(x).to_degrees().angle, (x * 180.0) / PI)


@pytest.mark.parametrize("d", [3.0, 90.0, 180.0, -45.0, 0.1, 1e-7, 720.0, -0.0, INF, NAN])
def test_to_radians_order_of_operations(d):
    r = AngleDegrees(d).to_radians()
    assert type(r) is AngleRadians
    assert same(r.angle, (d * PI) / 180.0)


def test_to_radians_edge_values():
    assert AngleDegrees(3).to_radians().angle == 0.05235987755982988  # not 0.05235987755982989
    assert AngleDegrees(90).to_radians() == AngleRadians.half_pi()
    assert AngleDegrees(180).to_radians() == AngleRadians.pi()


def test_angles_are_never_reduced():
    a = AngleRadians.two_pi() + AngleRadians.two_pi()
    assert a.angle == 12.566370614359172
    assert a.to_degrees().angle == 720.0
    assert AngleRadians(-7.0).angle == -7.0


# ---------------------------------------------------------------------------------------------
# Arithmetic: forward operators only


@pytest.mark.parametrize(
    "a, b", [(1.0, 2.5), (0.1, 0.2), (-0.0, -0.0), (0.0, -0.0), (INF, -INF), (NAN, 1.0)]
)
def test_add_and_subtract(a, b):
    x, y = AngleRadians(a), AngleRadians(b)
    s, d = x + y, x - y
    assert type(s) is AngleRadians and type(d) is AngleRadians
    assert same(s.angle, a + b) and same(d.angle, a - b)
    assert same(x.angle, a) and same(y.angle, b)


@pytest.mark.parametrize(
    "rhs, product, quotient",
    [(3, 6.0, 2 / 3), (2.5, 5.0, 0.8), (True, 2.0, 2.0), (Floaty(), 5.0, 0.8),
     (Indexy(), 8.0, 0.5), (-0.0, -0.0, -INF), (0, 0.0, INF), (NAN, NAN, NAN)],
)
def test_multiply_and_divide_by_numbers(rhs, product, quotient):
    a = AngleRadians(2)
    assert same((a * rhs).angle, product)
    assert same((a / rhs).angle, quotient)
    assert a.angle == 2.0


def test_division_by_zero_raises_nothing():
    assert (AngleRadians(1.0) / 0).angle == INF
    assert (AngleRadians(-1.0) / 0.0).angle == -INF
    assert math.isnan((AngleRadians(0.0) / 0.0).angle)


@pytest.mark.parametrize("x", [0.0, -0.0, 1.5, -INF, NAN])
def test_negation_flips_sign_bit(x):
    n = -AngleRadians(x)
    assert type(n) is AngleRadians
    if math.isnan(x):
        assert math.isnan(n.angle)
    else:
        assert same(n.angle, -x) and math.copysign(1.0, n.angle) != math.copysign(1.0, x)


def test_negated_zero():
    n = -AngleRadians.zero()
    assert repr(n) == "-0 radians"
    assert n == AngleRadians.zero()


@pytest.mark.parametrize(
    "expr",
    [
        lambda a: 3 * a,
        lambda a: 2.0 * a,
        lambda a: a + 1.0,
        lambda a: 1.0 + a,
        lambda a: a - 1,
        lambda a: 1 - a,
        lambda a: a * "x",
        lambda a: a / "x",
        lambda a: 2 / a,
        lambda a: a * a,
        lambda a: a / a,
        lambda a: a + AngleDegrees(1.0),
        lambda a: a + Vec3d(1, 2, 3),
        lambda a: a ** 2,
        lambda a: a // 2,
        lambda a: +a,
        lambda a: abs(a),
    ],
)
def test_unsuitable_operands_give_interpreter_type_error(expr):
    a = AngleRadians(2.0)
    with pytest.raises(TypeError):
        expr(a)
    assert a.angle == 2.0


def test_operators_return_not_implemented_not_errors():
    a = AngleRadians(2.0)
    assert a.__add__(1.0) is NotImplemented
    assert a.__mul__("x") is NotImplemented
    assert a.__truediv__(None) is NotImplemented
    assert a.__eq__(1.0) is NotImplemented
    assert a.__lt__("x") is NotImplemented


class TakesAngles:
    """A right-hand operand that knows how to handle an angle on its left."""

    def __radd__(self, other):
        return "radd"

    def __rmul__(self, other):
        return "rmul"


def test_unsuitable_operand_can_answer_reflected():
    assert AngleRadians(1.0) + TakesAngles() == "radd"
    assert AngleRadians(1.0) * TakesAngles() == "rmul"


def test_augmented_assignment_makes_new_object():
    a = AngleRadians(1.0)
    alias = a
    a += AngleRadians(2.0)
    a *= 2
    assert a.angle == 6.0 and alias.angle == 1.0


@pytest.mark.parametrize(
    "expr",
    [lambda d: d + d, lambda d: d - d, lambda d: d * 2, lambda d: d / 2, lambda d: -d,
     lambda d: d < d, lambda d: d >= AngleDegrees(1.0)],
)
def test_degrees_have_no_arithmetic_or_ordering(expr):
    with pytest.raises(TypeError):
        expr(AngleDegrees(10.0))


def test_degrees_have_no_trigonometry():
    for name in ["sin", "cos", "tan", "sec", "csc", "cot", "to_degrees", "pi"]:
        assert not hasattr(AngleDegrees(1.0), name)


# ---------------------------------------------------------------------------------------------
# Comparisons: exact, with `!=` as the negation of the full `==`

COMPARED = [(1.0, 1.0), (1.0, 2.0), (2.0, 1.0), (0.0, -0.0), (-INF, INF), (NAN, 1.0), (1.0, NAN),
            (NAN, NAN), (0.1 + 0.2, 0.3)]


@pytest.mark.parametrize("x, y", COMPARED)
def test_comparisons_are_exact(x, y):
    a, b = AngleRadians(x), AngleRadians(y)
    assert (a == b) is (x == y)
    assert (a != b) is (x != y)
    assert (a < b) is (x < y)
    assert (a <= b) is (x <= y)
    assert (a > b) is (x > y)
    assert (a >= b) is (x >= y)


def test_nan_angle_against_itself():
    a = AngleRadians(NAN)
    assert (a == a) is False
    assert (a != a) is True
    assert not (a < a or a <= a or a > a or a >= a)
    assert repr(a) == "NaN radians"


def test_zero_equals_negative_zero():
    assert AngleRadians(0.0) == AngleRadians(-0.0)
    assert not AngleRadians(0.0) != AngleRadians(-0.0)


@pytest.mark.parametrize("other", [1.0, 1, "1", None, AngleDegrees(1.0)])
def test_equality_with_other_types_falls_back_to_identity(other):
    a = AngleRadians(1.0)
    assert (a == other) is False
    assert (other == a) is False
    assert (a != other) is True
    assert (other != a) is True


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
@pytest.mark.parametrize("other", [2.0, 2, None])
def test_ordering_with_other_types_raises(op, other):
    fn = getattr(operator, op.strip("_"))
    with pytest.raises(TypeError):
        fn(AngleRadians(1.0), other)
    with pytest.raises(TypeError):
        fn(other, AngleRadians(1.0))


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = None


class EqRaises:
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = None


class EqNotBool:
    def __eq__(self, other):
        return []  # falsy


def test_not_equal_uses_the_reflected_equality():
    assert (AngleRadians(1.0) != EqualsEverything()) is False
    assert (AngleRadians(1.0) != EqNotBool()) is True


def test_not_equal_propagates_errors_of_equality():
    with pytest.raises(ValueError, match="no comparing"):
        AngleRadians(1.0) != EqRaises()


def test_angle_radians_is_unhashable():
    assert AngleRadians.__hash__ is None
    with pytest.raises(TypeError):
        hash(AngleRadians(1.0))
    with pytest.raises(TypeError):
        {AngleRadians(1.0)}


def test_angle_degrees_compares_and_hashes_by_identity():
    a, b = AngleDegrees(10), AngleDegrees(10)
    assert (a == b) is False and (a != b) is True
    assert (a == a) is True and (a != a) is False
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2


# ---------------------------------------------------------------------------------------------
# Text forms


@pytest.mark.parametrize(
    "value, text",
    [(1.0, "1 radians"), (PI, "3.141592653589793 radians"), (-0.5, "-0.5 radians"),
     (-0.0, "-0 radians"), (0.0, "0 radians"), (1e-7, "0.0000001 radians"),
     (1e21, "1000000000000000000000 radians"), (NAN, "NaN radians"), (INF, "inf radians"),
     (-INF, "-inf radians"), (0.1, "0.1 radians")],
)
def test_radians_repr(value, text):
    a = AngleRadians(value)
    assert repr(a) == text
    assert str(a) == text


@pytest.mark.parametrize(
    "value, text",
    [(90.0, "90°"), (-12.5, "-12.5°"), (-0.0, "-0°"), (59.99999999999999, "59.99999999999999°"),
     (1e-7, "0.0000001°"), (NAN, "NaN°"), (INF, "inf°"), (-INF, "-inf°")],
)
def test_degrees_repr(value, text):
    d = AngleDegrees(value)
    assert repr(d) == text
    assert str(d) == text
    assert text.encode("utf-8").endswith(b"\xc2\xb0")


def test_repr_of_converted_angles():
    assert repr(AngleRadians.third_pi().to_degrees()) == "59.99999999999999°"
    assert repr(AngleDegrees(180).to_radians()) == "3.141592653589793 radians"


# ---------------------------------------------------------------------------------------------
# Vec3d.angle_to: acos of the dot/length ratio, the ratio clamped to [-1, 1]


def reference_angle(a, b):
    dot = (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]
    la = math.sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2])
    lb = math.sqrt((b[0] * b[0] + b[1] * b[1]) + b[2] * b[2])
    r = dot / (la * lb) if la * lb != 0 else NAN
    if math.isnan(r):
        return NAN
    return math.acos(max(-1.0, min(1.0, r)))


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ((1, 0, 0), (0, 1, 0), 1.5707963267948966),
        ((1, 2, 3), (1, 2, 3), 0.0),
        ((1, 1, 1), (2, 2, 2), 0.0),  # the ratio rounds to 1.0000000000000002
        ((1, 1, 1), (-2, -2, -2), PI),  # and to -1.0000000000000002
        ((1, 0, 0), (-1, 0, 0), PI),
        ((0, 0, 0), (1, 2, 3), NAN),
        ((1, 2, 3), (0, 0, 0), NAN),
        ((0, 0, 0), (0, 0, 0), NAN),
        ((NAN, 0, 0), (1, 0, 0), NAN),
    ],
)
def test_angle_to_values(a, b, expected):
    r = Vec3d(*a).angle_to(Vec3d(*b))
    assert type(r) is AngleRadians
    assert same(r.angle, expected)


@pytest.mark.parametrize(
    "a, b",
    [((0.3, -1.7, 2.2), (5.0, 0.1, -0.4)), ((1e-3, 2e-3, 3e-3), (3e5, 2e5, 1e5)),
     ((1, 1, 1), (3, 3, 3)), ((0.1, 0.2, 0.3), (0.2, 0.4, 0.6)),
     ((-7, 2, 0.5), (7, -2, -0.5)), ((1, 1e-9, 0), (1, 0, 0))],
)
def test_angle_to_matches_formula(a, b):
    assert same(Vec3d(*a).angle_to(Vec3d(*b)).angle, reference_angle(a, b))


def test_angle_to_repr_and_keyword():
    assert repr(Vec3d(1, 0, 0).angle_to(Vec3d(0, 1, 0))) == "1.5707963267948966 radians"
    assert Vec3d(1, 0, 0).angle_to(other=Vec3d(0, 0, 1)).angle == AngleRadians.half_pi().angle
    assert Vec3d.angle_to.__text_signature__ == "($self, other)"


@pytest.mark.parametrize("bad, qualname", [("x", "str"), (None, "NoneType"), ((1, 0, 0), "tuple"),
                                           (AngleRadians(1.0), "AngleRadians")])
def test_angle_to_rejects_non_vectors(bad, qualname):
    with pytest.raises(TypeError) as e:
        Vec3d(1, 0, 0).angle_to(bad)
    assert str(e.value) == f"argument 'other': '{qualname}' object cannot be converted to 'Vec3d'"


def test_angle_to_result_is_independent():
    a, b = Vec3d(1, 0, 0), Vec3d(0, 1, 0)
    r = a.angle_to(b)
    r.angle = 3.0
    a.x = -1.0
    assert a.angle_to(b).angle == 1.5707963267948966
    assert r.angle == 3.0
