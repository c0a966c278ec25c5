"""VecTree.icp against the same loop written in Python over nearest_many, Pose.fit and Pose.then:
the same pose, RMS and counts to the bit."""

import copy
import math
import pickle
import sys

import pytest

import kalemtri_py
from conftest import assert_same_output_on_one_core, bits
from kalemtri_py import Pose, Quat, Vec3d, VecList, VecTree

np = pytest.importorskip("numpy")

NAN = float("nan")
BLOCK = 1024  # the RMS sums' block of source points


def reference(tree, points, source, initial=None, iterations=30, max_distance=None, tolerance=0.0):
    """The documented loop, step by step."""
    source = VecList.from_buffer(np.ascontiguousarray(source, dtype=np.float64))

    def match(pose):
        moved = np.asarray(pose.apply(source))
        idx, dist = map(np.asarray, tree.nearest_many(moved, max_distance=max_distance))
        inside = idx >= 0
        total = 0.0
        for b in range(0, len(moved), BLOCK):
            s = 0.0
            for d in dist[b : b + BLOCK][inside[b : b + BLOCK]].tolist():
                s = s + d * d
            total = s if b == 0 else total + s
        n = int(inside.sum())
        return moved, idx, inside, n, math.sqrt(total / n) if n else NAN

    pose = initial if initial is not None else Pose.identity()
    moved, idx, inside, n, rmse = match(pose)
    done = 0
    while done < iterations and n > 0:
        pose = pose.then(Pose.fit(moved[inside], points[idx[inside]]))
        done += 1
        before = rmse
        moved, idx, inside, n, rmse = match(pose)
        if rmse == before or abs(rmse - before) <= tolerance:
            break
    return pose, rmse, n, done


def turn(degrees, axis):
    half = math.radians(degrees) / 2
    a = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    return Quat(math.cos(half), *(math.sin(half) * a))


def scene(seed, n, noise=0.0, outliers=0, aside=False, nan_source=False):
    """A target cloud and the same points moved away from it by a known pose; `aside` gives the
    cloud points with a NaN or infinite coordinate, `nan_source` the source one NaN point."""
    rng = np.random.default_rng(seed)
    points = rng.random((n, 3)) * [2.0, 1.0, 0.5]
    truth = Pose(turn(3.0, rng.normal(size=3)), Vec3d(*(rng.normal(size=3) * 0.02)))
    source = np.asarray(truth.inverse().apply(VecList.from_buffer(points)))
    source = source + rng.normal(size=source.shape) * noise
    if outliers:
        source[rng.choice(n, outliers, replace=False)] += rng.normal(size=(outliers, 3))
    if aside:
        points[::97] = [NAN, 0.5, 0.5]
        points[5::89] = [0.5, float("inf"), 0.25]
        points[7::101] = [-float("inf"), float("inf"), NAN]
    if nan_source:
        source[17] = [0.5, NAN, 0.5]
    return points, source, truth


def same_result(r, expected):
    pose, rmse, n, done = expected
    assert repr(r.pose) == repr(pose)
    assert bits(r.pose.translation.x) == bits(pose.translation.x)
    assert (bits(r.rmse), r.inliers, r.iterations) == (bits(rmse), n, done)


CASES = {
    "clean": (dict(), dict()),
    "noisy": (dict(noise=1e-3), dict(iterations=12)),
    "outliers, bounded": (dict(noise=1e-3, outliers=300), dict(max_distance=0.05)),
    "tight bound": (dict(noise=1e-3, outliers=300), dict(max_distance=0.004, iterations=8)),
    "tolerance": (dict(noise=1e-3), dict(tolerance=1e-5)),
    "infinite bound": (dict(), dict(max_distance=float("inf"), iterations=4)),
    "no fit": (dict(), dict(iterations=0)),
    "cloud with non-finite points, bounded": (dict(aside=True), dict(max_distance=0.1)),
    "cloud with non-finite points": (dict(aside=True), dict(iterations=3)),
    "NaN source point": (dict(nan_source=True), dict(iterations=3)),
    "NaN source point, bounded": (dict(nan_source=True), dict(max_distance=0.1)),
    "nothing within": (dict(), dict(max_distance=0.0)),
    "initial": (dict(noise=1e-4), dict(initial=Pose(turn(1.0, [0, 0, 1]), Vec3d(0.01, 0, 0)))),
}


@pytest.mark.skipif(sys.maxsize < 2**32, reason="the interpreter's own arithmetic is x87")
@pytest.mark.parametrize("case", sorted(CASES))
def test_is_the_python_loop(case):
    shape, options = CASES[case]
    points, source, _ = scene(8, 3000, **shape)
    tree = VecTree(points)
    expected = reference(tree, points, source, **options)
    for form in (source, VecList.from_buffer(source), np.asfortranarray(source)):
        same_result(tree.icp(form, **options), expected)
    if case == "nothing within":
        assert expected[1:] == (expected[1], 0, 0) and math.isnan(expected[1])
    if case == "no fit":
        assert expected[3] == 0 and expected[2] == 3000


def test_recovers_a_known_pose():
    points, source, truth = scene(9, 4000)
    r = VecTree(points).icp(source, iterations=60)
    assert r.inliers == 4000 and r.rmse < 1e-12
    found, true = np.asarray(r.pose.to_matrix()), np.asarray(truth.to_matrix())
    assert np.abs(found - true).max() <= 1e-9
    assert np.abs(np.asarray(r.pose.apply(VecList.from_buffer(source))) - points).max() <= 1e-9


@pytest.mark.parametrize("tolerance, most", [(float("inf"), 1), (0.0, 30)])
def test_tolerance_bounds_the_fits(tolerance, most):
    points, source, _ = scene(10, 2000, noise=1e-3)
    r = VecTree(points).icp(source, tolerance=tolerance)
    assert 1 <= r.iterations <= most


def test_empty_source_and_non_finite_points():
    tree = VecTree(np.eye(3))
    r = tree.icp(np.empty((0, 3)))
    assert (repr(r.pose), math.isnan(r.rmse), r.inliers, r.iterations) == (
        repr(Pose.identity()),
        True,
        0,
        0,
    )
    # A NaN source point is never within a bound; the others still fit.
    r = tree.icp(np.array([[1.0, 0, 0], [NAN, 0, 0], [0, 1.0, 0]]), max_distance=1.0)
    assert r.inliers == 2 and r.rmse == 0.0


THREADS = """
import sys; sys.path[:0] = {path!r}
import numpy as np
from kalemtri_py import VecTree
rng = np.random.default_rng(3)
pts = rng.random((60000, 3))
src = pts[::2] @ np.array([[1, 0.01, 0], [-0.01, 1, 0], [0, 0, 1]]) + 0.003
src[::50] += 5
for bound in (None, 0.05):
    r = VecTree(pts).icp(src, iterations=6, max_distance=bound)
    print(repr(r), r.rmse.hex())
"""


def test_independent_of_thread_count():
    script = THREADS.format(path=sys.path)
    assert_same_output_on_one_core(script)


T = VecTree(np.eye(3))
S = np.eye(3)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: T.icp([[1, 2, 3]]), TypeError, "^argument 'source'"),
        (lambda: T.icp(np.ones((2, 4))), ValueError, "^argument 'source'"),
        (lambda: T.icp(S, Vec3d(0, 0, 0)), TypeError, "^argument 'initial': 'Vec3d' object"),
        (lambda: T.icp(S, None, 3), TypeError, r"takes 2 positional arguments but 3 were given"),
        (lambda: T.icp(S, iterations=-1), ValueError, r"^argument 'iterations': .* not -1$"),
        (lambda: T.icp(S, iterations=-(2**70)), ValueError, "^argument 'iterations'"),
        (lambda: T.icp(S, iterations=2.0), TypeError, "^argument 'iterations'"),
        (lambda: T.icp(S, max_distance=-1.0), ValueError, "^argument 'max_distance': .* -1.0$"),
        (lambda: T.icp(S, max_distance=NAN), ValueError, "^argument 'max_distance'"),
        (lambda: T.icp(S, tolerance=NAN), ValueError, "^argument 'tolerance': .* not nan$"),
        (lambda: T.icp(S, tolerance=-1e-9), ValueError, "^argument 'tolerance'"),
        (lambda: T.icp(S, tolerance="0"), TypeError, "^argument 'tolerance'"),
        (lambda: T.icp(S, iteration=3), TypeError, "unexpected keyword argument 'iteration'"),
        (lambda: T.icp(), TypeError, "missing 1 required positional argument: 'source'"),
        (lambda: VecTree(np.empty((0, 3))).icp(S), ValueError, r"^VecTree.icp\(\): the tree has"),
    ],
)
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_result_is_an_immutable_value():
    r = T.icp(S + 0.1, iterations=2**70)  # more fits than can run: stops when the RMS repeats
    assert type(r) is kalemtri_py.IcpResult and "IcpResult" not in kalemtri_py.__all__
    assert repr(r) == (
        f"IcpResult(pose={r.pose!r}, rmse={r.rmse!r}, inliers=3, iterations={r.iterations})"
    )
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(r, protocol))
        assert repr(back) == repr(r) and bits(back.rmse) == bits(r.rmse)
    assert repr(copy.copy(r)) == repr(copy.deepcopy(r)) == repr(r)
    with pytest.raises(AttributeError):
        r.rmse = 0.0
    with pytest.raises(TypeError):
        kalemtri_py.IcpResult()
    assert VecTree.icp.__text_signature__ == (
        "($self, source, initial=None, *, iterations=30, max_distance=None, tolerance=0.0)"
    )


def test_agrees_with_open3d_on_clean_data():
    o3d = pytest.importorskip("open3d")
    points, source, truth = scene(12, 5000)
    cloud = o3d.geometry.PointCloud
    src = cloud(o3d.utility.Vector3dVector(source))
    dst = cloud(o3d.utility.Vector3dVector(points))
    criteria = o3d.pipelines.registration.ICPConvergenceCriteria(0.0, 0.0, 60)
    theirs = o3d.pipelines.registration.registration_icp(
        src,
        dst,
        1.0,
        np.eye(4),
        o3d.pipelines.registration.TransformationEstimationPointToPoint(),
        criteria,
    )
    ours = VecTree(points).icp(source, iterations=60, max_distance=1.0)
    assert np.abs(np.asarray(ours.pose.to_matrix()) - theirs.transformation).max() <= 1e-9
