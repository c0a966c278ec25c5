"""VecTree against the brute-force scan: the same indexes and the same distance bits, on data built
to trip a kd-tree (ties, duplicates, overflowing squares, NaN and infinities)."""

import copy
import math
import os
import pickle
import random
import re
import struct
import subprocess
import sys

import pytest

import kalemtri_py
from conftest import bits
from kalemtri_py import Vec3d, VecList, VecTree

NAN = float("nan")
INF = float("inf")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
# Sanitizers and qemu-user (the arm64 stage) neither keep native speed nor let RLIMIT_AS bind.
NATIVE = "asan" not in os.environ.get("LD_PRELOAD", "") and "KALEMTRI_QEMU_USER" not in os.environ


def total_key(d):
    """IEEE totalOrder as an integer, as the scan orders distances."""
    k = struct.unpack("<q", struct.pack("<d", d))[0]
    return k ^ 0x7FFFFFFFFFFFFFFF if k < 0 else k


class Oracle:
    """Brute force through VecList: each distance is the scan's own, on every platform."""

    def __init__(self, points):
        self.points = points
        self.singles = [VecList([p]) for p in points]
        self.all = VecList(points)

    def distances(self, t):
        return [s.minimum_distance_to(t, 1)[1] for s in self.singles]

    def ranked(self, t):
        d = self.distances(t)
        order = sorted(range(len(d)), key=lambda i: (total_key(d[i]), i))
        return [(i, d[i]) for i in order]

    def within(self, t, r):
        return [i for i, d in enumerate(self.distances(t)) if d <= r]


def same_hits(actual, expected):
    assert [i for i, _ in actual] == [i for i, _ in expected]
    assert [bits(d) for _, d in actual] == [bits(d) for _, d in expected]


def grid(n):
    return [Vec3d(x, y, z) for x in range(n) for y in range(n) for z in range(n)]


def seeded(seed, n, make):
    rng = random.Random(seed)
    return [make(rng) for _ in range(n)]


def special(rng):
    values = [0.0, -0.0, 1.0, -1.0, 2.0, 1e300, -1e300, 5e-324, -5e-324, 1e-160, 3.5]
    return Vec3d(*(rng.choice(values) for _ in range(3)))


def non_finite(rng):
    values = [0.0, 1.0, -2.0, 7.5, INF, -INF, NAN, NEG_NAN, PAYLOAD_NAN]
    weights = [6, 6, 6, 6, 1, 1, 1, 1, 1]
    return Vec3d(*rng.choices(values, weights, k=3))


CLOUDS = {
    "grid": grid(7),
    "duplicates": seeded(1, 240, lambda r: Vec3d(r.randint(0, 5), r.randint(0, 5), 0.5)),
    "all_equal": [Vec3d(1.25, -3.0, 2.0)] * 150,
    "collinear": [Vec3d(i % 37, 2.0 * (i % 37), -(i % 37)) for i in range(200)],
    "coplanar": seeded(2, 300, lambda r: Vec3d(r.randint(-9, 9), r.randint(-9, 9), 0.0)),
    "huge": seeded(
        3,
        200,
        lambda r: Vec3d(*(r.choice([-1, 1]) * 10.0 ** r.randint(150, 308) for _ in range(3))),
    ),
    "tiny": seeded(4, 200, lambda r: Vec3d(*(r.randint(-4, 4) * 5e-324 for _ in range(3)))),
    "special": seeded(5, 250, special),
    "non_finite": seeded(6, 250, non_finite),
    "random": seeded(7, 300, lambda r: Vec3d(r.random(), r.random(), r.random())),
}

TARGETS = [
    Vec3d(0, 0, 0),
    Vec3d(-0.0, -0.0, -0.0),
    Vec3d(3, 3, 3),
    Vec3d(2.5, 2.5, 0.5),
    Vec3d(0.5, 0.25, 0.75),
    Vec3d(1e300, -1e300, 1e308),
    Vec3d(1e-320, 0, -5e-324),
    Vec3d(NAN, 0, 0),
    Vec3d(0, NEG_NAN, 1),
    Vec3d(PAYLOAD_NAN, NAN, 0),
    Vec3d(INF, 0, 0),
    Vec3d(-INF, INF, 2),
    Vec3d(INF, NAN, 0),
]


def targets_for(points):
    return TARGETS + points[:: max(1, len(points) // 6)]


@pytest.fixture(scope="module", params=sorted(CLOUDS))
def cloud(request):
    points = CLOUDS[request.param]
    return points, VecTree(VecList(points)), Oracle(points)


def test_nearest_is_the_scan(cloud):
    points, tree, oracle = cloud
    for t in targets_for(points):
        i, d = tree.nearest(t)
        j, e = oracle.all.minimum_distance_to(t, 1)
        assert (i, bits(d)) == (j, bits(e)), (t, i, d, j, e)


def test_k_nearest_is_the_sorted_scan(cloud):
    points, tree, oracle = cloud
    for t in targets_for(points):
        ranked = oracle.ranked(t)
        for k in (1, 2, 7, 33, len(points)):
            same_hits(tree.k_nearest(t, k), ranked[:k])
        same_hits(tree.k_nearest(t, 1), [tree.nearest(t)])


@pytest.mark.parametrize("radius", [0.0, -0.0, 1.0, 2.0, 1e-322, 1e300, INF])
def test_within_is_the_filtered_scan(cloud, radius):
    points, tree, oracle = cloud
    for t in targets_for(points):
        assert tree.within(t, radius) == oracle.within(t, radius), t


def test_batch_forms_are_the_single_queries(cloud):
    np = pytest.importorskip("numpy")
    points, tree, _ = cloud
    targets = targets_for(points)
    tl = VecList(targets)
    idx, dist = tree.nearest_many(tl)
    assert np.asarray(idx).dtype == np.int64 and np.asarray(dist).dtype == np.float64
    assert [(i, bits(d)) for i, d in zip(idx.tolist(), dist.tolist())] == [
        (i, bits(d)) for i, d in (tree.nearest(t) for t in targets)
    ]
    k = min(5, len(points))
    idx, dist = tree.k_nearest_many(np.asarray(tl), k)
    assert idx.shape == dist.shape == (len(targets), k)
    for m, t in enumerate(targets):
        same_hits(list(zip(idx.tolist()[m], dist.tolist()[m])), tree.k_nearest(t, k))
    offsets, hits = tree.within_many(tl, 2.0)
    offsets, hits = offsets.tolist(), hits.tolist()
    assert len(offsets) == len(targets) + 1 and offsets[0] == 0 and offsets[-1] == len(hits)
    for m, t in enumerate(targets):
        assert hits[offsets[m] : offsets[m + 1]] == tree.within(t, 2.0)


@pytest.mark.parametrize("shape", ["uniform", "clustered", "shell"])
def test_large_clouds_use_the_pool_and_stay_exact(shape):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(11)
    n = 40_000
    if shape == "uniform":
        pts = rng.random((n, 3))
    elif shape == "clustered":
        pts = rng.normal(size=(n, 3)) * 1e-3 + rng.integers(0, 4, size=(n, 1)).astype(float)
        pts[::7] = pts[::7].round(2)  # exact duplicates and equidistant ties
    else:
        v = rng.normal(size=(n, 3))
        pts = v / np.linalg.norm(v, axis=1)[:, None]
    tree = VecTree(pts)
    lst = VecList.from_buffer(pts)
    targets = np.concatenate([rng.random((16, 3)) * 4 - 1, pts[:8], pts[:8].round(1)])
    idx, dist = tree.nearest_many(targets)
    kidx, kdist = tree.k_nearest_many(targets, 9)
    offsets, hits = tree.within_many(targets, 0.05)
    for m, row in enumerate(targets):
        t = Vec3d(*row)
        j, e = lst.minimum_distance_to(t, 1)
        assert (idx[m], bits(dist[m])) == (j, bits(e))
        d = np.asarray(lst.distance_to(t))  # finite data: the scan's bits
        order = np.lexsort((np.arange(n), d))[:9]
        assert np.asarray(kidx)[m].tolist() == order.tolist()
        assert np.asarray(kdist)[m].tobytes() == d[order].tobytes()
        expected = np.flatnonzero(d <= 0.05).tolist()
        assert np.asarray(hits)[offsets[m] : offsets[m + 1]].tolist() == expected


def test_seeded_hypothesis():
    hyp = pytest.importorskip("hypothesis")
    st = pytest.importorskip("hypothesis.strategies")
    value = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 1e200, 5e-324, INF, -INF, NAN])
    vec = st.builds(Vec3d, value, value, value)

    @hyp.settings(max_examples=80, deadline=None, derandomize=True, database=None)
    @hyp.given(st.lists(vec, min_size=1, max_size=60), vec, st.integers(1, 60), value)
    def check(points, t, k, radius):
        tree, oracle = VecTree(VecList(points)), Oracle(points)
        k = min(k, len(points))
        same_hits([tree.nearest(t)], [oracle.all.minimum_distance_to(t, 1)])
        same_hits(tree.k_nearest(t, k), oracle.ranked(t)[:k])
        if radius >= 0:
            assert tree.within(t, radius) == oracle.within(t, radius)

    check()


# ---------------------------------------------------------------------------------------------
# The value class


def test_input_forms_and_snapshot():
    np = pytest.importorskip("numpy")
    pts = [Vec3d(1, 2, 3), Vec3d(-0.0, NEG_NAN, 5e-324), Vec3d(4, 5, 6)]
    lst = VecList(pts)
    arr = np.asarray(lst).copy()
    forms = [lst, arr, arr.ravel(), np.asfortranarray(arr), memoryview(arr), arr.T.copy().T]
    for form in forms:
        tree = VecTree(form)
        assert len(tree) == 3
        assert np.asarray(tree.points()).tobytes() == arr.tobytes()
    lst, arr = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)]), np.array([[1.0, 2, 3], [4, 5, 6]])
    for form in (lst, arr):
        tree = VecTree(points=form)
        if form is lst:
            lst.append(Vec3d(1, 2, 3.5))
        else:
            arr[0] = 9
        assert len(tree) == 2 and tree.nearest(Vec3d(1, 2, 3.4)) == (0, 0.3999999999999999)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: VecTree([Vec3d(1, 2, 3)]),
            TypeError,
            "^argument 'points': 'list' object is not a",
        ),
        (lambda: VecTree(b"abc"), TypeError, "^argument 'points': buffer format 'B'"),
        (lambda: VecTree(), TypeError, "points"),
        (lambda: T.nearest((1, 2, 3)), TypeError, "^argument 'target': 'tuple' object cannot be"),
        (lambda: T.k_nearest(Vec3d(0, 0, 0), 0), ValueError, r"^argument 'k': .*\(3\), not 0$"),
        (lambda: T.k_nearest(Vec3d(0, 0, 0), 4), ValueError, r"^argument 'k': .*\(3\), not 4$"),
        (lambda: T.k_nearest(Vec3d(0, 0, 0), -1), OverflowError, None),
        (lambda: T.k_nearest_many(VecList([]), 4), ValueError, "^argument 'k'"),
        (lambda: T.within(Vec3d(0, 0, 0), -1.0), ValueError, "^argument 'radius': .* not -1.0$"),
        (lambda: T.within(Vec3d(0, 0, 0), NAN), ValueError, "^argument 'radius': .* not nan$"),
        (lambda: T.within_many(VecList([]), -INF), ValueError, "^argument 'radius'"),
        (lambda: T.within(Vec3d(0, 0, 0), "1"), TypeError, "^argument 'radius'"),
        (lambda: T.nearest_many([Vec3d(0, 0, 0)]), TypeError, "^argument 'targets': 'list'"),
        (lambda: T.nearest_many(b"x" * 24), TypeError, "^argument 'targets': buffer format"),
        (lambda: E.nearest(Vec3d(0, 0, 0)), ValueError, r"^VecTree.nearest\(\): the tree has no"),
        (lambda: E.nearest_many(VecList([])), ValueError, r"^VecTree.nearest_many\(\): the tree"),
        (lambda: E.k_nearest(Vec3d(0, 0, 0), 1), ValueError, r"^argument 'k'.*\(0\), not 1$"),
    ],
)
def test_errors_name_the_argument(call, error, message):
    with pytest.raises(error, match=message):
        call()


T = VecTree(VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)]))
E = VecTree(VecList([]))


def test_empty_tree_and_unlisted_registration():
    assert len(E) == 0 and repr(E) == "VecTree(0 points)" and len(E.points()) == 0
    assert E.within(Vec3d(0, 0, 0), INF) == []
    offsets, hits = E.within_many(VecList([Vec3d(0, 0, 0)] * 2), 1.0)
    assert offsets.tolist() == [0, 0, 0] and hits.tolist() == []
    names = list(vars(kalemtri_py))
    assert "VecTree" not in kalemtri_py.__all__ and names.index("VecTree") > names.index("geometry")
    assert VecTree.__module__ == "builtins" and VecTree.__doc__ == ""
    assert VecTree.k_nearest.__doc__ is None and VecTree.k_nearest.__text_signature__ == (
        "($self, target, k)"
    )
    assert repr(VecTree(VecList([Vec3d(1, 1, 1)] * 100_000))) == "VecTree(100000 points)"


def test_results_are_read_only_zero_copy_buffers():
    np = pytest.importorskip("numpy")
    idx, dist = T.k_nearest_many(VecList([Vec3d(0.1, 0, 0)] * 4), 2)
    for mv in (idx, dist):
        a, b = np.asarray(mv), np.asarray(mv)
        assert np.shares_memory(a, b) and not a.flags.writeable and a.flags.c_contiguous
        with pytest.raises(TypeError):
            mv[0, 0] = 1
    assert idx.format == "q" and dist.format == "d" and idx.shape == (4, 2)
    assert bytes(idx) == np.array([[0, 1]] * 4, dtype=np.int64).tobytes()


POINTS = [Vec3d(1, 2, 3), Vec3d(-0.0, PAYLOAD_NAN, 5e-324), Vec3d(INF, 0, 0), Vec3d(1, 2, 3)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_keep_every_bit(protocol):
    tree = VecTree(VecList(POINTS))
    buffers = []
    callback = buffers.append if protocol >= 5 else None
    data = pickle.dumps(tree, protocol=protocol, buffer_callback=callback)
    assert len(buffers) == (1 if protocol >= 5 else 0)
    for other in (pickle.loads(data, buffers=buffers), copy.copy(tree), copy.deepcopy(tree)):
        assert type(other) is VecTree and other is not tree and len(other) == 4
        assert [list(map(bits, (p.x, p.y, p.z))) for p in other.points()] == [
            list(map(bits, (p.x, p.y, p.z))) for p in POINTS
        ]
        for t in TARGETS:
            same_hits(other.k_nearest(t, 4), tree.k_nearest(t, 4))


def test_pickle_loads_in_a_fresh_interpreter():
    data = pickle.dumps(VecTree(VecList(POINTS)), protocol=4)
    code = (
        "import pickle, sys\n"
        "t = pickle.loads(sys.stdin.buffer.read())\n"
        "print(len(t), t.nearest(__import__('kalemtri_py').Vec3d(1, 2, 2.5)))\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], input=data, capture_output=True, timeout=60, check=True
    )
    assert out.stdout.split(b"\n")[0] == b"4 (0, 0.5)"


def test_reconstruct_refuses_a_torn_state():
    with pytest.raises(ValueError, match="multiple of 24 bytes, not 25"):
        kalemtri_py._reconstruct("VecTree", b"\0" * 25)


# ---------------------------------------------------------------------------------------------
# Non-finite points


def mixed(rng, non_finite_share):
    """A point of the unit cube, or, at the given share, one with some inf/NaN coordinates."""
    p = [rng.random() for _ in range(3)]
    if rng.random() < non_finite_share:
        for a in rng.sample(range(3), rng.randint(1, 3)):
            p[a] = rng.choice([INF, -INF, NAN, NEG_NAN, PAYLOAD_NAN])
    return Vec3d(*p)


@pytest.mark.parametrize("seed, share", [(21, 0.05), (22, 0.5), (23, 0.95), (24, 1.0)])
def test_mixed_clouds_match_brute_force(seed, share):
    rng = random.Random(seed)
    points = [mixed(rng, share) for _ in range(300)]
    tree, oracle = VecTree(VecList(points)), Oracle(points)
    targets = [mixed(rng, 0.3) for _ in range(12)] + TARGETS
    targets += [Vec3d(rng.uniform(-3, 4), rng.uniform(-3, 4), 1e300) for _ in range(4)]
    side = sum(not all(map(math.isfinite, (p.x, p.y, p.z))) for p in points)
    radii = [0.0, 0.2, 1.0, 1e300, INF]
    for t in targets:
        ranked = oracle.ranked(t)
        same_hits([tree.nearest(t)], ranked[:1])
        for k in sorted({1, 5, min(side + 1, 300), 300}):
            same_hits(tree.k_nearest(t, k), ranked[:k])
        for r in radii:
            assert tree.within(t, r) == oracle.within(t, r), (t, r)
    idx, dist = tree.nearest_many(VecList(targets))
    assert [(i, bits(d)) for i, d in zip(idx.tolist(), dist.tolist())] == [
        (i, bits(d)) for i, d in (tree.nearest(t) for t in targets)
    ]
    idx, dist = tree.k_nearest_many(VecList(targets), 7)
    for m, t in enumerate(targets):
        same_hits(list(zip(idx.tolist()[m], dist.tolist()[m])), tree.k_nearest(t, 7))
    for r in radii:
        offsets, hits = tree.within_many(VecList(targets), r)
        offsets, hits = offsets.tolist(), hits.tolist()
        assert [hits[offsets[m] : offsets[m + 1]] for m in range(len(targets))] == [
            tree.within(t, r) for t in targets
        ]


def run_child(code, timeout=120):
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, check=False
    )
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.skipif(not NATIVE, reason="timed")
def test_non_finite_points_do_not_slow_finite_queries():
    pytest.importorskip("numpy")
    # 10^5 side points once cost each of these 2*10^4 queries a scan of them all: some 30 s.
    code = (
        "import time, numpy as np\n"
        "from kalemtri_py import VecTree\n"
        "rng = np.random.default_rng(5)\n"
        "p = rng.random((200_000, 3))\n"
        "p[::4, 0] = np.inf; p[1::4, 1] = -np.inf; p[2::8, 2] = np.nan\n"
        "tree, q = VecTree(p), rng.random((20_000, 3))\n"
        "start = time.perf_counter()\n"
        "tree.nearest_many(q); tree.k_nearest_many(q, 4); tree.within_many(q, 0.01)\n"
        "print(time.perf_counter() - start)\n"
    )
    assert float(run_child(code)) < 5.0


# ---------------------------------------------------------------------------------------------
# Results too large for memory


@pytest.mark.skipif(not NATIVE, reason="needs RLIMIT_AS to bind")
@pytest.mark.skipif(sys.maxsize < 2**32, reason="numpy cannot describe such arrays in 32 bits")
@pytest.mark.parametrize(
    "call, message",
    [
        ("tree.within_many(q, float('inf'))", r"VecTree.within_many\(\): 2000000000 results"),
        ("tree.within_many(q, 1e300)", r"VecTree.within_many\(\): 2000000000 results"),
        ("tree.k_nearest_many(q, len(tree))", r"VecTree.k_nearest_many\(\): 2000000000 results"),
        ("tree.nearest_many(big)", r"argument 'targets': 200000000 points"),
        ("VecTree(big)", r"argument 'points': 200000000 points"),
    ],
)
def test_oversized_results_are_refused_at_once(call, message):
    pytest.importorskip("numpy")
    code = (
        "import resource, time, numpy as np\n"
        "from kalemtri_py import Vec3d, VecTree\n"
        "rng = np.random.default_rng(3)\n"
        "tree, q = VecTree(rng.random((100_000, 3))), rng.random((20_000, 3))\n"
        "big = np.broadcast_to(np.zeros(3), (200_000_000, 3))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
        "start = time.perf_counter()\n"
        "try:\n"
        f"    {call}\n"
        "except MemoryError as e:\n"
        "    print(time.perf_counter() - start)\n"
        "    print(e)\n"
        "t = Vec3d(0.5, 0.5, 0.5)\n"
        "offsets, hits = tree.within_many(q[:50], 0.05)\n"
        "assert hits.tolist()[: offsets[1]] == tree.within(Vec3d(*q[0]), 0.05)\n"
        "assert tree.k_nearest(t, 3)[0] == tree.nearest(t)\n"
        "print(len(tree.within(t, float('inf'))))\n"
    )
    seconds, error, usable = run_child(code).splitlines()
    assert re.match(message + " do not fit in memory$", error)
    assert float(seconds) < 10.0 and usable == "100000"
