"""Pose and PoseList: their formulas against the quaternion and vector calls they are made of, bit
for bit (NaN included), the batch forms against the single calls, matrices, fitting, pickling,
errors, and agreement with scipy's RigidTransform."""

import copy
import math
import pickle
import struct
import sys

import pytest

import kalemtri_py
from conftest import assert_same_output_on_one_core
from kalemtri_py import AngleRadians, Quat, Vec3d, VecList

np = pytest.importorskip("numpy")

Pose, PoseList = kalemtri_py.Pose, kalemtri_py.PoseList
ULP = 2.0**-52
# Crosses the pool's serial cutoff and ends inside a block.
LARGE = 20000 + 17
NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]


def raw(obj):
    """Every bit of a value of the module."""
    if isinstance(obj, Pose):
        return raw(obj.rotation) + raw(obj.translation)
    if isinstance(obj, Quat):
        return struct.pack("<4d", obj.w, obj.i, obj.j, obj.k)
    if isinstance(obj, Vec3d):
        return struct.pack("<3d", obj.x, obj.y, obj.z)
    return bytes(memoryview(obj))


def random_poses(n, seed=3, edges=True):
    rng = np.random.default_rng(seed)
    out = []
    for q, t in zip(rng.normal(size=(n, 4)), rng.normal(size=(n, 3)) * 5):
        out.append(Pose(Quat(*(q / np.linalg.norm(q))), Vec3d(*t)))
    if edges:
        inf = math.inf
        out += [
            Pose.identity(),
            Pose(Quat(0, 0, 0, 0), Vec3d(-0.0, 0, 1)),
            Pose(Quat(1, -0.0, 0, inf), Vec3d(inf, -inf, 0)),
            Pose(Quat(NAN, 1, 0, 0), Vec3d(1, NAN, -0.0)),
            Pose(Quat(2, 0, 0, 0), Vec3d(1e300, -1e-310, 3)),
        ]
    return out


def scipy_of(p):
    transform = pytest.importorskip("scipy.spatial.transform")
    if not hasattr(transform, "RigidTransform"):
        pytest.skip("scipy before 1.16 has no RigidTransform")
    rotation = transform.Rotation.from_quat(p.rotation.to_xyzw())
    return transform.RigidTransform.from_components(
        [p.translation.x, p.translation.y, p.translation.z], rotation
    )


def vec(v):
    return np.array([v.x, v.y, v.z])


def test_value_class_habits():
    q, t = Quat(0.5, -0.5, 0.5, -0.0), Vec3d(1.5, NAN, -0.0)
    p = Pose(q, t)
    assert repr(p) == "Pose(Quat(0.5, -0.5, 0.5, -0), Vec3d(1.5, NaN, -0))"
    assert repr(Pose.identity()) == "Pose(Quat(1, 0, 0, 0), Vec3d(0, 0, 0))"
    # Properties are copies; the pose cannot change.
    p.rotation.w = 7.0
    p.translation.x = 7.0
    assert raw(p) == raw(q) + raw(t)
    with pytest.raises(AttributeError):
        p.rotation = Quat.identity()
    for other in (pickle.loads(pickle.dumps(p)), copy.copy(p), copy.deepcopy(p)):
        assert type(other) is Pose and other is not p and raw(other) == raw(p)
    assert Pose.__module__ == "builtins" and Pose.__text_signature__ == "(rotation, translation)"
    assert Pose.fit.__text_signature__ == "(source, target, weights=None)"
    assert "Pose" not in kalemtri_py.__all__ and "PoseList" not in kalemtri_py.__all__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Pose(Vec3d(0, 0, 0), Vec3d(0, 0, 0)), "argument 'rotation': 'Vec3d' object"),
        (lambda: Pose.identity().apply(1.0), "argument 'x': 'float' object cannot be converted"),
        (lambda: Pose.identity().then(Quat.identity()), "argument 'p': 'Quat' object"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value).startswith(message)


def test_formulas_are_those_of_the_quaternion_and_vector_calls():
    poses = random_poses(40)
    v = Vec3d(0.25, -3.5, 1e-3)
    for a, b in zip(poses, reversed(poses)):
        r, t = a.rotation, a.translation
        assert raw(a.apply(v)) == raw(r.rotate(v) + t)
        ab = a.then(b)
        assert raw(ab.rotation) == raw(r.then(b.rotation))
        assert raw(ab.translation) == raw(b.rotation.rotate(t) + b.translation)
        inv = a.inverse()
        assert raw(inv.rotation) == raw(r.inverse())
        assert raw(inv.translation) == raw(-(r.inverse().rotate(t)))
        ends = Pose.interpolate(a, b, 0.0), Pose.interpolate(a, b, 1.0)
        assert raw(ends[0].rotation) == raw(Quat.slerp(r, b.rotation, 0.0))
        m = Pose.interpolate(a, b, 0.25).translation
        assert raw(m) == struct.pack(
            "<3d", *(0.75 * x + 0.25 * y for x, y in zip(vec(t), vec(b.translation)))
        )
    # Interpolation is exact at both ends for finite translations.
    a, b = random_poses(2, edges=False)
    assert raw(Pose.interpolate(a, b, 0.0).translation) == raw(a.translation)
    assert raw(Pose.interpolate(a, b, 1.0).translation) == raw(b.translation)


def test_matrices_round_trip_and_check_the_last_row():
    for p in random_poses(50, edges=False):
        m = p.to_matrix()
        assert m[3] == [0.0, 0.0, 0.0, 1.0]
        assert [row[:3] for row in m[:3]] == p.rotation.to_matrix()
        assert [row[3] for row in m[:3]] == list(vec(p.translation))
        for form in (m, m[:3], np.array(m), np.array(m[:3]), tuple(map(tuple, m))):
            back = Pose.from_matrix(form)
            assert raw(back.translation) == raw(p.translation)
            assert raw(back.rotation) == raw(Quat.from_rotation_matrix([r[:3] for r in m[:3]]))
        back32 = Pose.from_matrix(np.array(m, dtype=np.float32))
        assert back32.translation.x == float(np.float32(p.translation.x))
    assert Pose.from_matrix([[1, 0, 0, 1], [0, 1, 0, 2], [0, 0, 1, 3], [-0.0, 0, 0, 1]])


@pytest.mark.parametrize(
    "m, error, message",
    [
        (np.eye(4) * 2, ValueError, "argument 'm': the fourth row is (0.0, 0.0, 0.0, 2.0)"),
        ([[1, 0, 0, 0]] * 3 + [[0, 0, 0, 1.5]], ValueError, "argument 'm': the fourth row"),
        ([[1, 0, 0, 0]] * 3 + [[0, 0, NAN, 1]], ValueError, "argument 'm': the fourth row"),
        (np.eye(3), ValueError, "argument 'm': buffer shape (3, 3) does not fit"),
        (np.zeros((5, 4)), ValueError, "argument 'm': 5 rows; expected 4 rows"),
        ([[0.0] * 4] * 2, ValueError, "argument 'm': a matrix of length 2; expected"),
        ([[0.0] * 3] * 4, ValueError, "argument 'm': a row of length 3; expected"),
        ("abcd", TypeError, "argument 'm': expected 4 rows"),
        ([[0.0, 0.0, "x", 0.0]] * 4, TypeError, "argument 'm': must be real number"),
    ],
)
def test_bad_matrices(m, error, message):
    with pytest.raises(error) as e:
        Pose.from_matrix(m)
    assert str(e.value).startswith(message)


def test_apply_to_a_vec_list_is_the_single_call_per_element():
    rng = np.random.default_rng(5)
    points = rng.normal(size=(LARGE, 3)) * 100
    points[::97] = [math.inf, NAN, -0.0]
    v = VecList.from_buffer(points)
    for p in random_poses(3):
        out = p.apply(v)
        assert type(out) is VecList and len(out) == LARGE
        expected = b"".join(raw(p.apply(Vec3d(*row))) for row in points[::211])
        assert raw(out[0]) == raw(p.apply(v[0]))
        assert b"".join(raw(out[i]) for i in range(0, LARGE, 211)) == expected
    assert raw(v) == points.tobytes()  # unchanged


def test_agrees_with_scipy_rigid_transform():
    rng = np.random.default_rng(8)
    poses = random_poses(60, edges=False)
    for a, b in zip(poses, reversed(poses)):
        sa, sb = scipy_of(a), scipy_of(b)
        v = rng.normal(size=3) * 10
        assert np.max(np.abs(vec(a.apply(Vec3d(*v))) - sa.apply(v))) <= 64 * ULP
        assert np.max(np.abs(np.array(a.then(b).to_matrix()) - (sb * sa).as_matrix())) <= 64 * ULP
        assert np.max(np.abs(np.array(a.inverse().to_matrix()) - sa.inv().as_matrix())) <= 64 * ULP
        assert np.max(np.abs(np.array(a.to_matrix()) - sa.as_matrix())) <= 8 * ULP


# -- fitting ----------------------------------------------------------------------------------


def scipy_fit(source, target, weights=None):
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    w = np.ones(len(source)) if weights is None else weights
    cs = (w[:, None] * source).sum(0) / w.sum()
    ct = (w[:, None] * target).sum(0) / w.sum()
    r, _ = rotation.align_vectors(target - ct, source - cs, weights=w)
    return r.as_matrix(), ct - r.apply(cs)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n", [3, 50, LARGE])
def test_fit_agrees_with_scipy(n, weighted):
    rng = np.random.default_rng(n)
    source = rng.normal(size=(n, 3)) * 10 + 1000
    true = random_poses(1, seed=n, edges=False)[0]
    target = np.asarray(true.apply(VecList.from_buffer(source))) + rng.normal(size=(n, 3)) * 0.01
    weights = rng.random(n) if weighted else None
    p = Pose.fit(VecList.from_buffer(source), target, weights)
    r, t = scipy_fit(source, target, weights)
    m = np.array(p.to_matrix())
    assert abs(p.rotation.magnitude() - 1) <= 4 * ULP and p.rotation.w >= 0
    assert np.max(np.abs(m[:3, :3] - r)) <= 1e-12
    assert np.max(np.abs(m[:3, 3] - t)) <= 1e-9
    # float32 buffers are widened exactly, as numpy's astype does.
    narrow = source.astype(np.float32)
    same = Pose.fit(narrow, target, weights)
    assert raw(same) == raw(Pose.fit(narrow.astype(np.float64), target, weights))


def test_fit_with_unit_weights_is_the_unweighted_fit():
    rng = np.random.default_rng(2)
    s, t = rng.normal(size=(LARGE, 3)), rng.normal(size=(LARGE, 3))
    assert raw(Pose.fit(s, t, np.ones(LARGE))) == raw(Pose.fit(s, t))
    # A zero weight drops its pair.
    w = np.ones(LARGE)
    w[::3] = 0.0
    keep = w > 0
    fitted, dropped = Pose.fit(s, t, w), Pose.fit(s[keep], t[keep])
    assert np.max(np.abs(np.array(fitted.to_matrix()) - dropped.to_matrix())) <= 1e-12


def test_fit_is_a_proper_rotation_for_a_mirrored_set():
    rng = np.random.default_rng(4)
    s = rng.normal(size=(100, 3))
    p = Pose.fit(s, s * [1, 1, -1])
    r, _ = scipy_fit(s, s * [1, 1, -1])
    m = np.array(p.to_matrix())[:3, :3]
    assert abs(np.linalg.det(m) - 1) <= 1e-12 and np.max(np.abs(m - r)) <= 1e-12


def test_fit_degenerate_sets():
    # One point, or all points coincident: the identity rotation moves centroid onto centroid.
    p = Pose.fit(np.array([[1.0, 2.0, 3.0]]), np.array([[2.0, 2.0, 2.0]]))
    assert raw(p) == raw(Pose(Quat.identity(), Vec3d(1, 0, -1)))
    p = Pose.fit(np.full((10, 3), 5.0), np.random.default_rng(0).normal(size=(10, 3)))
    assert raw(p.rotation) == raw(Quat.identity())
    # Collinear points: the line is matched, the turn about it is one of the equally good ones,
    # always the same bits.
    line = np.outer(np.arange(5.0), [1.0, 2.0, 2.0])
    turn = Pose(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(1.0)), Vec3d(1, 2, 3))
    target = np.asarray(turn.apply(VecList.from_buffer(line)))
    fits = {raw(Pose.fit(line, target)) for _ in range(3)}
    assert len(fits) == 1
    moved = np.asarray(Pose.fit(line, target).apply(VecList.from_buffer(line)))
    assert np.max(np.abs(moved - target)) <= 1e-12
    # A non-finite point gives NaN throughout.
    bad = Pose.fit(np.array([[math.inf, 0, 0], [1, 0, 0]]), np.zeros((2, 3)))
    assert all(math.isnan(x) for x in struct.unpack("<7d", raw(bad)))


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.zeros((0, 3)), np.zeros((0, 3))), "Pose.fit(): no points to fit"),
        ((np.zeros((2, 3)), np.zeros((3, 3))), "argument 'target': 3 points for 2 source points"),
        ((np.zeros((2, 3)), np.zeros((2, 3)), np.ones(3)), "argument 'weights': 3 weights for 2"),
        ((np.zeros((2, 3)), np.zeros((2, 3)), np.zeros(2)), "argument 'weights': every weight"),
        (
            (np.zeros((2, 3)), np.zeros((2, 3)), np.array([1, -1.0])),
            "argument 'weights': weights[1]",
        ),
        (
            (np.zeros((2, 3)), np.zeros((2, 3)), np.array([NAN, 1])),
            "argument 'weights': weights[0]",
        ),
        ((np.zeros((1, 3)), np.zeros((1, 3)), np.array([math.inf])), "argument 'weights'"),
        ((np.zeros((2, 2)), np.zeros((2, 3))), "argument 'source': buffer shape (2, 2)"),
    ],
)
def test_fit_refuses_bad_input(args, message):
    with pytest.raises(ValueError) as e:
        Pose.fit(*args)
    assert str(e.value).startswith(message)
    with pytest.raises(TypeError, match="^argument 'target': 'list' object is not a buffer"):
        Pose.fit(VecList([]), [[0.0, 0.0, 0.0]])


# -- PoseList ---------------------------------------------------------------------------------


def test_pose_list_container():
    poses = random_poses(10)
    pl = PoseList(poses)
    assert len(pl) == len(poses) and raw(pl[3]) == raw(poses[3])
    assert raw(PoseList(iter(poses))) == raw(pl) == b"".join(raw(p) for p in poses)
    rows = np.asarray(pl)
    assert rows.shape == (len(poses), 7) and not rows.flags.writeable
    assert raw(PoseList.from_buffer(rows)) == raw(pl)
    narrow = rows[:10].astype(np.float32)  # the edge poses' 1e300 would overflow
    assert raw(PoseList.from_buffer(narrow)) == narrow.astype(np.float64).tobytes()
    for other in (pickle.loads(pickle.dumps(pl)), copy.copy(pl), copy.deepcopy(pl)):
        assert type(other) is PoseList and raw(other) == raw(pl)
    assert repr(PoseList(poses[:1])) == f"PoseList([{poses[0]!r}])"
    assert repr(pl).count("Pose(") == 6 and ", ..., " in repr(pl)
    with pytest.raises(IndexError):
        pl[len(poses)]
    with pytest.raises(TypeError, match="^argument 'list': 'Quat' object cannot be converted"):
        PoseList([Pose.identity(), Quat.identity()])
    with pytest.raises(ValueError, match="^argument 'buffer': buffer shape"):
        PoseList.from_buffer(np.zeros((3, 4)))


def test_pose_list_operations_are_the_single_calls():
    poses = random_poses(LARGE - 5, seed=9)
    pl = PoseList(poses)
    rng = np.random.default_rng(1)
    vectors = VecList.from_buffer(rng.normal(size=(len(poses), 3)) * 50)
    operand = random_poses(1, seed=12, edges=False)[0]
    checks = [
        (pl.then(operand), lambda p, n: p.then(operand)),
        (pl.after(operand), lambda p, n: operand.then(p)),
        (pl.inverse(), lambda p, n: p.inverse()),
        (pl.apply(vectors), lambda p, n: p.apply(vectors[n])),
    ]
    picked = list(range(0, len(poses), 53)) + list(range(len(poses) - 5, len(poses)))
    for got, single in checks:
        assert len(got) == len(poses)
        for n in picked:
            assert raw(got[n]) == raw(single(poses[n], n)), n
    with pytest.raises(ValueError, match=r"^PoseList.apply\(\): 3 poses for 2 vectors"):
        PoseList(poses[:3]).apply(VecList([Vec3d(0, 0, 0)] * 2))


def test_pose_list_agrees_with_scipy():
    poses = random_poses(200, edges=False)
    other = random_poses(1, seed=77, edges=False)[0]
    rows = np.asarray(PoseList(poses))
    transform = scipy_of(other).__class__
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    xyzw = np.column_stack([-rows[:, 1:4], rows[:, 0]])
    many = transform.from_components(rows[:, 4:], rotation.from_quat(xyzw))
    composed = np.asarray(PoseList(poses).then(other))
    got = [Pose(Quat(*r[:4]), Vec3d(*r[4:])).to_matrix() for r in composed]
    assert np.max(np.abs(np.array(got) - (scipy_of(other) * many).as_matrix())) <= 64 * ULP


THREAD_SCRIPT = """
import hashlib, sys
sys.path[:0] = {path!r}
import numpy as np
import kalemtri_py
from test_pose import random_poses, LARGE
rng = np.random.default_rng(6)
s, t, w = rng.normal(size=(4 * LARGE, 3)), rng.normal(size=(4 * LARGE, 3)), rng.random(4 * LARGE)
pl = kalemtri_py.PoseList(random_poses(4 * LARGE - 5))
h = hashlib.sha256()
h.update(repr(kalemtri_py.Pose.fit(s, t, w)).encode())
h.update(bytes(memoryview(pl.then(pl[7]))) + bytes(memoryview(pl.inverse())))
print(h.hexdigest())
"""


def test_independent_of_thread_count():
    script = THREAD_SCRIPT.format(path=sys.path)
    assert_same_output_on_one_core(script)
