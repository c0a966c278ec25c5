"""Point-cloud operations: voxel thinning against a numpy reference summed in point order, and
normals against numpy's eigh on the same neighbourhoods."""

import sys

import numpy as np
import pytest

from conftest import assert_same_output_on_one_core
from kalemtri_py import Vec3d, VecList, VecTree

INF = float("inf")
NAN = float("nan")


def raw(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


# -- voxel_down_sample --------------------------------------------------------------------------


def voxel_reference(points, size):
    """Centroids by cube, cubes in (x, y, z) order, each summed left to right in point order."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    p = p[np.isfinite(p).all(axis=1)]
    if len(p) == 0:
        return np.empty((0, 3))
    c = np.floor(p / size)
    order = np.lexsort((np.arange(len(p)), c[:, 2], c[:, 1], c[:, 0]))
    c, p = c[order], p[order]
    starts = np.flatnonzero(np.r_[True, (c[1:] != c[:-1]).any(axis=1)])
    ends = np.r_[starts[1:], len(p)]
    # cumsum adds left to right, as a centroid's sum must.
    return np.array([np.cumsum(p[a:b], axis=0)[-1] / (b - a) for a, b in zip(starts, ends)])


def cloud(kind, n, seed=0):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.uniform(-10, 10, (n, 3))
    if kind == "clustered":  # few cubes, many points each, on and beside the cube faces
        p = rng.integers(-3, 3, (n, 3)) * 0.5
        p[::3] += rng.choice([0.0, -0.0, 5e-324, -5e-324, 0.25], (len(p[::3]), 3))
        return p
    if kind == "non_finite":
        p = rng.normal(size=(n, 3))
        p[rng.random(n) < 0.2, rng.integers(0, 3)] = rng.choice([NAN, INF, -INF])
        return p
    if kind == "huge":  # cube coordinates beyond 2^52: no packed key
        return rng.normal(size=(n, 3)) * 1e300
    if kind == "wide":  # exact small cube coordinates whose ranges need more than 63 bits
        return np.c_[rng.uniform(-1e15, 1e15, n), rng.uniform(-1e15, 1e15, n), rng.normal(size=n)]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["uniform", "clustered", "non_finite", "huge", "wide"])
@pytest.mark.parametrize("size", [0.5, 1.0, 3.0, 1e-3])
def test_voxels_match_reference_bits(kind, size):
    p = cloud(kind, 3000)
    got = np.asarray(VecList.from_buffer(p).voxel_down_sample(size))
    expected = voxel_reference(p, size)
    assert got.shape == expected.shape
    assert np.array_equal(raw(got), raw(expected))


@pytest.mark.parametrize(
    "points, size, expected",
    [
        # -0.0 and 0.0 are one cube; the tiniest negative number is the cube below.
        ([(-0.0, 0, 0), (0.0, 0, 0), (-5e-324, 0, 0)], 1.0, [(-5e-324, 0, 0), (0, 0, 0)]),
        # ordered by x, then y, then z
        (
            [(0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 0, 0)],
            1.0,
            [(0, 0, 0), (0, 0, 1), (0, 1, 0), (1, 0, 0)],
        ),
        # infinity: every finite point in one cube
        ([(1, 2, 3), (-5, 7, 1e300), (4, -3, 2)], INF, [(0, 2, (3 + 1e300 + 2) / 3)]),
        # x / size overflows: a finite point in the cube at infinity, after every other
        ([(1e300, 0, 0), (1, 0, 0)], 1e-10, [(1, 0, 0), (1e300, 0, 0)]),
        ([], 1.0, []),
        ([(NAN, 0, 0), (0, INF, 0), (0, 0, -INF)], 1.0, []),
    ],
)
def test_voxel_cases(points, size, expected):
    got = VecList.from_buffer(np.array(points, dtype=np.float64).reshape(-1, 3))
    got = np.asarray(got.voxel_down_sample(size)).reshape(-1, 3)
    assert np.array_equal(raw(got), raw(np.array(expected, dtype=np.float64).reshape(-1, 3)))


@pytest.mark.parametrize("size", [0.0, -0.0, -1.0, -INF, NAN])
def test_voxel_bad_size(size):
    v = VecList([Vec3d(1, 2, 3)])
    with pytest.raises(ValueError, match="argument 'size': must be a number > 0"):
        v.voxel_down_sample(size)
    assert np.asarray(v).tolist() == [[1.0, 2.0, 3.0]]


def test_voxel_size_must_be_a_number():
    with pytest.raises(TypeError):
        VecList([Vec3d(1, 2, 3)]).voxel_down_sample("1")


# -- normals ------------------------------------------------------------------------------------


def normal_reference(points, k):
    """Per point: numpy's eigh of the covariance of the k nearest, with the smallest eigenvalue's
    vector and the eigenvalues, neighbourhoods from k_nearest_many."""
    p = np.asarray(points, dtype=np.float64)
    idx, _ = VecTree(p).k_nearest_many(p, k)
    q = p[np.asarray(idx)]
    d = q - q.mean(axis=1, keepdims=True)
    values, vectors = np.linalg.eigh(np.einsum("nka,nkb->nab", d, d))
    return vectors[:, :, 0], values


def surface(kind, n, seed=0):
    rng = np.random.default_rng(seed)
    u, v = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    if kind == "plane":
        return np.c_[u, v, 0.3 * u - 0.2 * v + 1e-3 * rng.normal(size=n)]
    if kind == "sphere":
        p = rng.normal(size=(n, 3))
        return p / np.linalg.norm(p, axis=1, keepdims=True)
    if kind == "volume":
        return rng.uniform(-1, 1, (n, 3))
    raise AssertionError(kind)


def check_canonical_sign(n):
    lead = n[np.arange(len(n)), np.argmax(np.abs(n), axis=1)]
    assert (lead > 0).all()


@pytest.mark.parametrize("kind", ["plane", "sphere", "volume"])
@pytest.mark.parametrize("k", [3, 8, 16, 40])
def test_normals_match_eigh(kind, k):
    p = surface(kind, 2000)
    got = np.asarray(VecTree(p).normals(k))
    expected, values = normal_reference(p, k)
    separated = values[:, 1] - values[:, 0] > 1e-3 * values[:, 2]
    assert separated.mean() > 0.5
    assert np.abs(np.linalg.norm(got, axis=1) - 1).max() < 1e-15
    sine = np.linalg.norm(np.cross(got[separated], expected[separated]), axis=1)
    assert sine.max() <= 1e-9
    check_canonical_sign(got)


@pytest.mark.parametrize("viewpoint", [(0, 0, 10), (0, 0, -10), (3, -2, 0.5), (0, 0, 0)])
def test_normals_face_the_viewpoint(viewpoint):
    p = surface("sphere", 1500)
    tree = VecTree(p)
    got = np.asarray(tree.normals(12, Vec3d(*viewpoint)))
    plain = np.asarray(tree.normals(12))
    # The same line as without a viewpoint, turned towards it.
    assert np.array_equal(np.abs(got), np.abs(plain))
    towards = np.einsum("na,na->n", np.asarray(viewpoint) - p, got)
    assert (towards >= 0).all()


def test_normals_viewpoint_tie_keeps_the_plain_sign():
    # The viewpoint lies in every point's tangent plane: the dot product is 0.
    p = np.c_[surface("volume", 500)[:, :2], np.zeros(500)]
    tree = VecTree(p)
    assert np.array_equal(np.asarray(tree.normals(8, Vec3d(0, 0, 0))), np.asarray(tree.normals(8)))
    assert np.array_equal(np.asarray(tree.normals(8)), np.tile([0.0, 0.0, 1.0], (500, 1)))


def line(n):
    t = np.arange(n, dtype=np.float64)
    return np.c_[t * 0.1, t * 0.3 - 2, t * -0.7]


@pytest.mark.parametrize(
    "points, k",
    [
        (np.zeros((5, 3)), 5),  # one distinct point
        (np.r_[np.zeros((4, 3)), np.ones((4, 3))], 8),  # two distinct points
        (line(50), 10),  # collinear
        (surface("plane", 100), 1),  # k < 3
        (surface("plane", 100), 2),
        (np.array([[1e300, 0, 0], [-1e300, 1e300, 0], [0, -1e300, 1e300], [0, 0, 0]]), 4),
    ],
)
def test_normals_without_a_plane_are_zero(points, k):
    got = np.asarray(VecTree(points).normals(k))
    assert np.array_equal(raw(got), raw(np.zeros_like(points)))


def test_normals_leave_non_finite_points_out():
    p = surface("sphere", 800)
    bad = np.array([[np.nan, 0, 0], [0, np.inf, 0], [-np.inf, 1, 1], [0, 0, -np.nan]])
    mixed = np.insert(p, [0, 100, 100, 800], bad, axis=0)
    is_bad = ~np.isfinite(mixed).all(axis=1)
    got = np.asarray(VecTree(mixed).normals(10))
    assert np.isnan(got[is_bad]).all()
    assert np.array_equal(raw(got[~is_bad]), raw(np.asarray(VecTree(p).normals(10))))


def test_normals_k_beyond_the_size_takes_every_point():
    p = surface("plane", 40)
    tree = VecTree(p)
    assert np.array_equal(np.asarray(tree.normals(1000)), np.asarray(tree.normals(40)))


@pytest.mark.parametrize("points", [np.empty((0, 3)), np.full((3, 3), np.nan)])
def test_normals_of_no_finite_points(points):
    got = np.asarray(VecTree(points).normals(4)).reshape(-1, 3)
    assert got.shape == points.shape and np.isnan(got).all()


def test_normals_arguments():
    tree = VecTree(surface("plane", 10))
    with pytest.raises(ValueError, match="argument 'k': must be at least 1"):
        tree.normals(0)
    with pytest.raises(TypeError, match="viewpoint"):
        tree.normals(3, (0, 0, 1))
    assert np.array_equal(np.asarray(tree.normals(3, None)), np.asarray(tree.normals(3)))


THREAD_SCRIPT = """
import hashlib, sys
sys.path[:0] = {path!r}
import subprocess
import sys

import numpy as np
from kalemtri_py import Vec3d, VecList, VecTree
from test_cloud import cloud, surface
h = hashlib.sha256()
for kind in ("uniform", "clustered", "non_finite"):
    h.update(bytes(memoryview(VecList.from_buffer(cloud(kind, 60000)).voxel_down_sample(0.05))))
tree = VecTree(np.r_[surface("sphere", 30000), cloud("non_finite", 3000)])
h.update(bytes(memoryview(tree.normals(16))) + bytes(memoryview(tree.normals(7, Vec3d(0, 0, 1)))))
print(h.hexdigest())
"""


def test_independent_of_thread_count():
    script = THREAD_SCRIPT.format(path=sys.path)
    assert_same_output_on_one_core(script)
