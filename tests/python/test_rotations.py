"""Composition, inversion, matrices, axis-angle, slerp, Euler angles and `between` as bound:
argument forms and errors, round trips, and agreement with scipy's Rotation. The formulas' own
bits are pinned by the core tests."""

import math
import struct
import sys
import warnings

import pytest

import kalemtri_py
from conftest import same
from kalemtri_py import AngleDegrees, AngleRadians, Quat, Vec3d

np = pytest.importorskip("numpy")

QuatList = kalemtri_py.QuatList
ULP = 2.0**-52
SEQUENCES = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx", "yxy", "yzy", "zxz", "zyz"]
SEQUENCES += [s.upper() for s in SEQUENCES]


def arr(q):
    return np.array([q.w, q.i, q.j, q.k])


def vec(v):
    return np.array([v.x, v.y, v.z])


def off_pm(a, b):
    """How far quaternion a is from b or -b (the same rotation)."""
    return min(np.max(np.abs(arr(a) - arr(b))), np.max(np.abs(arr(a) + arr(b))))


def unit_quats(n=400, seed=4):
    rng = np.random.default_rng(seed)
    edges = [(1, 0, 0, 0), (-1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1)]
    edges += [(0.5, 0.5, -0.5, 0.5), (0, 0.6, -0.8, 0), (0.6, 0, 0, 0.8), (1e-9, 1, 0, 0)]
    out = [Quat(*e).normalize() for e in edges]
    return out + [Quat(*(x / np.linalg.norm(x))) for x in rng.normal(size=(n, 4))]


@pytest.fixture(scope="module")
def rotation():
    return pytest.importorskip("scipy.spatial.transform").Rotation


def scipy_of(q, rotation):
    """The scipy rotation applying what q.rotate applies (scipy's quaternions are scalar last)."""
    return rotation.from_quat([-q.i, -q.j, -q.k, q.w])


def test_round_trips_on_random_and_edge_quaternions():
    rng = np.random.default_rng(1)
    for q in unit_quats():
        v = Vec3d(*rng.normal(size=3))
        assert np.max(np.abs(vec(q.then(q.inverse()).rotate(v)) - vec(v))) <= 16 * ULP
        assert off_pm(Quat.from_rotation_matrix(q.to_matrix()), q) <= 4 * ULP
        assert off_pm(Quat.from_axis_angle(*q.axis_angle()), q) <= 4 * ULP
        p = unit_quats(1, seed=int(rng.integers(1 << 30)))[-1]
        assert np.max(np.abs(vec(q.then(p).rotate(v)) - vec(p.rotate(q.rotate(v))))) <= 16 * ULP


def test_the_specified_conventions_are_untouched():
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
    axis, angle = q.axis_angle()
    old_axis, old_angle = q.to_axis_angle()
    assert same(axis.z, 1.0) and same(old_axis.z, -1.0)
    assert abs(angle.angle - old_angle.angle) <= 2 * ULP  # atan2 and acos: the platform's
    assert q.to_matrix() == [list(col) for col in zip(*q.to_rotation_matrix())]


@pytest.mark.parametrize(
    "m",
    [
        [[0, 1, 0], [-1, 0, 0], [0, 0, 1]],
        ((0.0, 1.0, 0.0), (-1.0, 0.0, 0.0), (0.0, 0.0, 1.0)),
        [Vec3d(0, 1, 0), Vec3d(-1, 0, 0), Vec3d(0, 0, 1)],
        np.array([[0.0, 1, 0], [-1, 0, 0], [0, 0, 1]]),
        np.array([[0.0, -1, 0], [1, 0, 0], [0, 0, 1]]).T,  # strided
        np.array([0.0, 1, 0, -1, 0, 0, 0, 0, 1]),
        memoryview(np.array([[0.0, 1, 0], [-1, 0, 0], [0, 0, 1]])),
        np.array([[0.0, 1, 0], [-1, 0, 0], [0, 0, 1]], dtype=np.float32),
    ],
    ids=["lists", "tuples", "vectors", "numpy", "transposed", "flat", "memoryview", "float32"],
)
def test_matrix_forms_give_the_same_bits(m):
    q = Quat.from_rotation_matrix(m=m)
    assert (q.w, q.i, q.j, q.k) == (0.7071067811865476, 0.0, 0.0, 0.7071067811865475)


@pytest.mark.parametrize(
    "m, error, message",
    [
        (
            5,
            TypeError,
            "argument 'm': expected 3 rows of 3 floats, or a (3, 3) buffer of float64 or float32, not 'int'",
        ),
        (
            "abc",
            TypeError,
            "argument 'm': expected 3 rows of 3 floats, or a (3, 3) buffer of float64 or float32, not 'str'",
        ),
        (
            [[1, 0, 0], [0, 1, 0]],
            ValueError,
            "argument 'm': a matrix of length 2; expected 3 "
            "rows of 3 floats, or a (3, 3) buffer of float64 or float32",
        ),
        (
            [[1, 0, 0], [0, 1], [0, 0, 1]],
            ValueError,
            "argument 'm': a row of length 2; expected "
            "3 rows of 3 floats, or a (3, 3) buffer of float64 or float32",
        ),
        (
            [[1, 0, 0], [0, "x", 0], [0, 0, 1]],
            TypeError,
            "argument 'm': must be real number, not str",
        ),
        (
            np.eye(4),
            ValueError,
            "argument 'm': buffer shape (4, 4) does not fit; expected native-endian doubles or "
            "floats (format 'd' or 'f') shaped (N, 3) or (3*N,)",
        ),
        (
            np.zeros((2, 3)),
            ValueError,
            "argument 'm': 2 rows; expected 3 rows of 3 floats, or a (3, 3) buffer of float64 or float32",
        ),
        (
            np.eye(3, dtype=np.int64),
            TypeError,
            f"argument 'm': buffer format '{np.eye(3, dtype=np.int64).data.format}' is not native "
            "double or float; expected native-endian doubles or floats (format 'd' or 'f') shaped "
            "(N, 3) or (3*N,)",
        ),
    ],
)
def test_matrix_errors(m, error, message):
    with pytest.raises(error) as e:
        Quat.from_rotation_matrix(m)
    assert str(e.value) == message


def test_matrices_agree_with_scipy(rotation):
    # Two correct formulas, rounded differently: a few ulp apart. (The quaternions are normalised by
    # numpy's norm, whose last bits differ between platforms: 4.5 ulp was seen on aarch64.)
    for q in unit_quats():
        expected = scipy_of(q, rotation).as_matrix()
        assert np.max(np.abs(np.array(q.to_matrix()) - expected)) <= 8 * ULP
        assert off_pm(Quat.from_rotation_matrix(expected), q) <= 4 * ULP


@pytest.mark.parametrize("seq", SEQUENCES)
def test_euler_agrees_with_scipy_and_round_trips(seq, rotation):
    rng = np.random.default_rng(sum(map(ord, seq)))
    proper = seq[0] == seq[2]
    for _ in range(200):
        a, c = rng.uniform(-math.pi, math.pi, 2)
        # Away from gimbal lock, where each angle is well conditioned.
        b = rng.uniform(0.1, math.pi - 0.1) if proper else rng.uniform(-1.47, 1.47)
        q = Quat.from_euler(seq, AngleRadians(a), AngleRadians(b), AngleRadians(c))
        expected = rotation.from_euler(seq, [a, b, c]).as_matrix()
        assert np.max(np.abs(np.array(q.to_matrix()) - expected)) <= 8 * ULP
        angles = q.to_euler(seq=seq)
        assert type(angles) is tuple and all(type(x) is AngleRadians for x in angles)
        got = np.array([x.angle for x in angles])
        assert np.max(np.abs(got - [a, b, c])) <= 32 * ULP
        # scipy wraps every angle through (x + pi) % (2 pi) - pi: a few ulp of pi.
        assert np.max(np.abs(got - scipy_of(q, rotation).as_euler(seq))) <= 32 * ULP


@pytest.mark.parametrize("seq", SEQUENCES)
def test_gimbal_lock_sets_the_third_angle_to_zero_like_scipy(seq, rotation):
    for b in (0.0, math.pi) if seq[0] == seq[2] else (-math.pi / 2, math.pi / 2):
        q = Quat.from_euler(seq, AngleRadians(0.4), AngleRadians(b), AngleRadians(-1.3))
        got = [x.angle for x in q.to_euler(seq)]
        assert same(got[2], 0.0)
        assert off_pm(Quat.from_euler(seq, *map(AngleRadians, got)), q) <= 4 * ULP
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # scipy warns about the lock
            expected = scipy_of(q, rotation).as_euler(seq)
        gap = np.abs(np.array(got) - expected)
        assert np.max(np.minimum(gap, np.abs(gap - 2 * math.pi))) <= 32 * ULP


@pytest.mark.parametrize("seq", ["", "xy", "xyzx", "xxy", "xYz", "abc", "xy\udc80", 5, None])
def test_bad_euler_sequences(seq):
    for call in (
        lambda: Quat.from_euler(seq, AngleRadians(0), AngleRadians(0), AngleRadians(0)),
        lambda: Quat.identity().to_euler(seq),
    ):
        with pytest.raises((TypeError, ValueError)) as e:
            call()
        if isinstance(seq, str):
            assert e.type is ValueError
            assert str(e.value).startswith(f"argument 'seq': {seq!r} is not an Euler sequence")
        else:
            assert str(e.value).startswith("argument 'seq': ")


@pytest.mark.parametrize("bad", ["0.5", None, Vec3d(0, 0, 0)])
def test_euler_angles_must_be_numbers_or_angles(bad):
    with pytest.raises(TypeError, match=r"^argument 'b': "):
        Quat.from_euler("xyz", AngleRadians(0), bad, AngleRadians(0))


def bits_of(q):
    return [struct.pack("<d", x) for x in (q.w, q.i, q.j, q.k)]


@pytest.mark.parametrize("seq", ["xyz", "ZXZ", "yzy"])
def test_euler_angles_as_floats_degrees_or_either_class(seq):
    a, b, c = 0.3, -1.1, 2.5
    radians = Quat.from_euler(seq, AngleRadians(a), AngleRadians(b), AngleRadians(c))
    assert bits_of(Quat.from_euler(seq, a, b, c)) == bits_of(radians)
    degrees = [AngleRadians(x).to_degrees() for x in (a, b, c)]
    by_class = Quat.from_euler(seq, *degrees)
    by_float = Quat.from_euler(seq, *(d.angle for d in degrees), degrees=True)
    mixed = Quat.from_euler(seq, degrees[0], b, degrees[2])
    # Each angle class keeps its own unit, whatever degrees= says.
    assert bits_of(by_float) == bits_of(by_class) == bits_of(mixed)
    assert bits_of(Quat.from_euler(seq, *degrees, degrees=False)) == bits_of(by_class)
    assert bits_of(Quat.from_euler(seq, AngleRadians(a), b, c, degrees=False)) == bits_of(radians)
    assert bits_of(Quat.from_euler(seq, AngleRadians(a), AngleRadians(b), 0.0, True)) == bits_of(
        Quat.from_euler(seq, a, b, 0.0)
    )
    got = by_class.to_euler(seq, degrees=True)
    assert all(type(x) is AngleDegrees for x in got)
    plain = by_class.to_euler(seq)
    assert [x.angle for x in got] == [x.to_degrees().angle for x in plain]


def test_euler_degrees_agree_with_scipy(rotation):
    rng = np.random.default_rng(11)
    for a, b, c in zip(*rng.uniform(-80, 80, (3, 100))):
        q = Quat.from_euler("zyx", a, b, c, degrees=True)
        expected = rotation.from_euler("zyx", [a, b, c], degrees=True).as_matrix()
        assert np.max(np.abs(np.array(q.to_matrix()) - expected)) <= 8 * ULP
        got = [x.angle for x in q.to_euler("zyx", degrees=True)]
        assert np.max(np.abs(np.array(got) - [a, b, c])) <= 1e-12


def test_degrees_flag_is_a_bool():
    with pytest.raises(TypeError, match=r"^argument 'degrees': 'int' object cannot be converted"):
        Quat.from_euler("xyz", 0.0, 0.0, 0.0, 1)
    with pytest.raises(TypeError, match="got multiple values for argument 'degrees'"):
        Quat.from_euler("xyz", 0.0, 0.0, 0.0, True, degrees=True)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'c'"):
        Quat.from_euler("xyz", 0.0, 0.0, degrees=True)


def test_scalar_last_quaternions_rotate_like_scipys(rotation):
    for q in unit_quats(100):
        x, y, z, w = q.to_xyzw()
        assert bits_of(Quat.from_xyzw(x, y, z, w)) == bits_of(q)
        r = rotation.from_quat([x, y, z, w])
        v = Vec3d(0.3, -1.2, 2.0)
        assert np.max(np.abs(vec(q.rotate(v)) - r.apply(vec(v)))) <= 16 * ULP
    # Exact: sign flips only, -0.0 and NaN payloads kept.
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
    q = Quat.from_xyzw(-0.0, nan, 1e-310, -2.0)
    assert bits_of(q) == bits_of(Quat(-2.0, 0.0, -nan, -1e-310))
    assert [struct.pack("<d", c) for c in q.to_xyzw()] == [
        struct.pack("<d", c) for c in (-0.0, nan, 1e-310, -2.0)
    ]


def test_quat_list_scalar_last_buffers(rotation):
    quats = unit_quats(50)
    xyzw = np.array([q.to_xyzw() for q in quats])
    ql = QuatList.from_xyzw(xyzw)
    assert [bits_of(q) for q in ql] == [bits_of(q) for q in quats]
    assert (
        QuatList.from_xyzw(xyzw.astype(np.float32)).to_xyzw().tolist()
        == xyzw.astype(np.float32).tolist()
    )
    view = ql.to_xyzw()
    assert view.readonly and view.format == "d" and view.shape == (len(quats), 4)
    assert np.asarray(view).tobytes() == xyzw.tobytes()
    r = rotation.from_quat(np.asarray(view))
    assert np.max(np.abs(np.asarray(r.as_matrix()) - [q.to_matrix() for q in quats])) <= 8 * ULP
    empty = QuatList([]).to_xyzw()
    assert np.asarray(empty).shape == (0, 4)
    with pytest.raises(ValueError, match="^argument 'buffer': buffer shape"):
        QuatList.from_xyzw(np.zeros((2, 3)))


def test_slerp_and_axis_angle_agree_with_scipy(rotation):
    slerp = pytest.importorskip("scipy.spatial.transform").Slerp
    quats = unit_quats(200)
    for a, b, t in zip(quats, reversed(quats), np.linspace(-0.5, 1.5, len(quats))):
        got = np.array(Quat.slerp(a, b, t).to_matrix())
        ends = rotation.concatenate([scipy_of(a, rotation), scipy_of(b, rotation)])
        if 0 <= t <= 1:
            assert np.max(np.abs(got - slerp([0, 1], ends)([t]).as_matrix()[0])) <= 16 * ULP
        axis, angle = a.axis_angle()
        expected = scipy_of(a, rotation).as_rotvec()
        assert abs(angle.angle - np.linalg.norm(expected)) <= 16 * ULP
        if angle.angle < 3:  # a half turn has two axes
            assert np.max(np.abs(vec(axis) * angle.angle - expected)) <= 16 * ULP


def test_between_agrees_with_scipy(rotation):
    rng = np.random.default_rng(9)
    for a, b in rng.normal(size=(300, 2, 3)):
        q = Quat.between(Vec3d(*a), b=Vec3d(*b))
        expected, _ = rotation.align_vectors([b], [a])
        assert np.max(np.abs(np.array(q.to_matrix()) - expected.as_matrix())) <= 64 * ULP
    # Opposite directions: a half turn about an axis perpendicular to both.
    q = Quat.between(Vec3d(0, 0, 2), Vec3d(0, 0, -1))
    assert (q.w, q.i, q.j, q.k) == (0.0, 0.0, 1.0, 0.0)
    assert math.isnan(Quat.between(Vec3d(0, 0, 0), Vec3d(1, 0, 0)).w)


# Far from 1 the squares of |a|^2 over- or underflow; the answer is that of the same directions at
# magnitude 1. Mixed pairs put both extremes into one call.
MAGNITUDES = [1e-300, 1e-200, 1e-160, 1e-155, 1e154, 1e160, 1e200, 1e300, 1.5e308]


def quat_parts(q):
    return [q.w, q.i, q.j, q.k]


@pytest.mark.parametrize("mb", [1.0, 1e-300, 1e300])
@pytest.mark.parametrize("ma", MAGNITUDES)
def test_between_far_from_unit_magnitude(ma, mb):
    rng = np.random.default_rng(11)
    for a, b in rng.uniform(-1, 1, size=(50, 2, 3)):
        a, b = a / np.max(np.abs(a)), b / np.max(np.abs(b))  # scaled by ma and mb without overflow
        got = Quat.between(Vec3d(*(a * ma)), Vec3d(*(b * mb)))
        want = Quat.between(Vec3d(*a), Vec3d(*b))
        assert np.max(np.abs(arr(got) - arr(want))) <= 4 * ULP, (a, b)


def old_axis_angle(q):
    """axis_angle as computed before any scaling, by the interpreter: its bits for ordinary q."""
    n = math.sqrt((q.i * q.i + q.j * q.j) + q.k * q.k)
    h = math.atan2(n, abs(q.w))
    d = n if q.w < 0 else -n
    return ((1.0, 0.0, 0.0) if n == 0 else (q.i / d, q.j / d, q.k / d)), h + h


@pytest.mark.parametrize("magnitude", [1e-300, 1e-200, 1e-160, 1e160, 1e200, 1e300, 1e308])
def test_axis_angle_far_from_unit_magnitude(magnitude):
    rng = np.random.default_rng(12)
    for parts in rng.uniform(-1, 1, size=(50, 4)):
        q = Quat(*(parts / np.max(np.abs(parts)) * magnitude))
        axis, angle = q.axis_angle()
        n = math.hypot(q.i, q.j, q.k)  # scaled internally
        d = n if q.w < 0 else -n
        want = [q.i / d, q.j / d, q.k / d], 2 * math.atan2(n, abs(q.w))
        assert vec(axis) == pytest.approx(want[0], rel=0, abs=4 * ULP)
        assert angle.angle == pytest.approx(want[1], rel=4 * ULP)
    # Power-of-two multiples of a q whose largest vector component is in [1, 2) are scaled back to q
    # exactly: the very same bits.
    q = Quat(0.75, -1.25, 0.5, 0.375)
    for e in (-1060, -700, -520, 520, 700, 1020):
        scaled = Quat(*(math.ldexp(x, e) for x in quat_parts(q)))
        (a, t), (b, u) = scaled.axis_angle(), q.axis_angle()
        assert [a.x, a.y, a.z, t.angle] == [b.x, b.y, b.z, u.angle]


# The reference is Python arithmetic, which the i386 interpreter does in x87 registers: there it
# rounds twice and is no reference for the module's SSE2 bits.
@pytest.mark.skipif(sys.maxsize < 2**32, reason="the interpreter's own arithmetic is x87")
@pytest.mark.parametrize("exponent", [-8, -1, 0, 3, 12])
def test_axis_angle_of_ordinary_quaternions_keeps_its_bits(exponent):
    rng = np.random.default_rng(exponent + 100)
    for parts in rng.normal(size=(500, 4)) * 2.0**exponent:
        q = Quat(*map(float, parts))
        axis, angle = q.axis_angle()
        (x, y, z), t = old_axis_angle(q)
        assert (axis.x, axis.y, axis.z, angle.angle) == (x, y, z, t)


def test_between_with_exact_power_of_two_scaling_keeps_its_bits():
    a, b = Vec3d(1.5, -0.25, 0.75), Vec3d(-1.0, 0.5, 1.25)
    want = quat_parts(Quat.between(a, b))
    for ea, eb in [(-1060, 0), (-600, 600), (0, 1020), (-200, 200), (500, -500)]:
        sa = Vec3d(*(math.ldexp(x, ea) for x in (a.x, a.y, a.z)))
        sb = Vec3d(*(math.ldexp(x, eb) for x in (b.x, b.y, b.z)))
        assert quat_parts(Quat.between(sa, sb)) == want, (ea, eb)


def test_signatures():
    assert Quat.then.__text_signature__ == "($self, p)"
    assert Quat.to_euler.__text_signature__ == "($self, seq, degrees=False)"
    assert Quat.from_euler.__text_signature__ == "(seq, a, b, c, degrees=False)"
    assert Quat.from_xyzw.__text_signature__ == "(x, y, z, w)"
    assert Quat.to_xyzw.__text_signature__ == "($self)"
    assert Quat.slerp.__text_signature__ == "(a, b, t)"
    assert Quat.from_rotation_matrix.__text_signature__ == "(m)"
    assert all(
        getattr(Quat, n).__doc__ is None
        for n in ("then", "inverse", "to_matrix", "axis_angle", "slerp", "between")
    )
