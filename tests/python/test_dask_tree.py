"""kalemtri_dask.nearest_many on a 2-process LocalCluster: bit-equal to one VecTree for any chunking."""

import math
import struct
import sys
import threading

import pytest

np = pytest.importorskip("numpy")
dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")

import kalemtri_dask  # noqa: E402
from kalemtri_py import VecList, VecTree  # noqa: E402

NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
N = 3_001


def make_points():
    rng = np.random.default_rng(7)
    p = rng.integers(-6, 6, size=(N, 3)).astype(float)  # many exact ties across chunks
    p[5] = (math.nan, 1.0, 2.0)
    p[1500] = (math.inf, 0.0, 0.0)
    p[2999] = (NEG_NAN, 0.0, 0.0)
    p[100:110] = p[2000:2010]  # duplicates far apart
    return p


POINTS = make_points()
TARGETS = np.concatenate(
    [
        np.random.default_rng(8).random((40, 3)) * 12 - 6,
        POINTS[::300],
        [[math.inf, 0.0, 0.0], [0.0, math.nan, 0.0], [-0.0, 0.0, 0.0]],
    ]
)


def bounded(fn, *args, timeout=120, **kwargs):
    """Runs fn in a daemon thread and fails the test if it does not end in time."""
    out = {}

    def run():
        try:
            out["value"] = fn(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001 (handed to the test thread)
            out["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), f"no answer within {timeout} s"
    if "error" in out:
        raise out["error"]
    return out["value"]


@pytest.fixture(scope="module")
def cluster_client():
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = bounded(
        distributed.LocalCluster,
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
    )
    with distributed.Client(cluster, set_as_default=False, timeout=60) as c:
        yield c
    cluster.close(timeout=30)


def expected(k):
    tree = VecTree(POINTS)
    if k == 1:
        return tuple(np.asarray(a) for a in tree.nearest_many(TARGETS))
    return tuple(np.asarray(a) for a in tree.k_nearest_many(TARGETS, k))


def same_bits(actual, wanted):
    (ai, ad), (wi, wd) = actual, wanted
    assert ai.dtype == np.int64 and ad.dtype == np.float64 and ai.shape == wi.shape
    assert ai.tobytes() == wi.tobytes() and ad.tobytes() == wd.tobytes()


@pytest.mark.parametrize("k", [1, 4, 17])
@pytest.mark.parametrize("chunks", [(N,), (1, 999, 0, 1001, 1000), (300,) * 10 + (1,)])
def test_bit_equal_to_one_tree_on_the_threaded_scheduler(chunks, k):
    points = da.from_array(POINTS, chunks=(chunks, 3))
    with dask.config.set(scheduler="threads"):
        same_bits(bounded(kalemtri_dask.nearest_many, points, TARGETS, k=k), expected(k))


@pytest.mark.parametrize("k", [1, 8])
def test_bit_equal_to_one_tree_on_a_cluster(cluster_client, k):
    points = da.from_array(POINTS, chunks=((700, 1, 1300, 1000), 3))
    with dask.config.set(scheduler=cluster_client):
        same_bits(
            bounded(kalemtri_dask.nearest_many, points, VecList.from_buffer(TARGETS), k=k),
            expected(k),
        )


@pytest.mark.parametrize(
    "k, targets, error, message",
    [
        (0, TARGETS, ValueError, "k must be at least 1"),
        (N + 1, TARGETS, ValueError, rf"k must be at most the number of points \({N}\)"),
        (2.0, TARGETS, TypeError, "k must be an int"),
        (True, TARGETS, TypeError, "k must be an int, not 'bool'"),
        (1, [[0.0, 0.0, 0.0]], TypeError, "^argument 'targets': 'list' object is not a buffer"),
        (1, np.zeros((2, 2)), ValueError, "^argument 'targets': buffer shape"),
        (1, da.zeros((2, 2)), ValueError, "^argument 'targets': buffer shape"),
    ],
)
def test_argument_errors(k, targets, error, message):
    points = da.from_array(POINTS, chunks=(1000, 3))
    with dask.config.set(scheduler="threads"), pytest.raises(error, match=message):
        bounded(kalemtri_dask.nearest_many, points, targets, k=k)


def test_numpy_k_and_dask_targets():
    points = da.from_array(POINTS, chunks=(1000, 3))
    targets = da.from_array(TARGETS, chunks=(7, 3))
    with dask.config.set(scheduler="threads"):
        same_bits(bounded(kalemtri_dask.nearest_many, points, targets, k=np.int64(3)), expected(3))


def test_no_targets():
    points = da.from_array(POINTS, chunks=(1000, 3))
    with dask.config.set(scheduler="threads"):
        index, distance = kalemtri_dask.nearest_many(points, np.empty((0, 3)), k=3)
    assert index.shape == distance.shape == (0, 3)


def expected_hits(radius):
    return tuple(np.asarray(a) for a in VecTree(POINTS).within_many(TARGETS, radius))


def same_hits(actual, wanted):
    (ao, ai), (wo, wi) = actual, wanted
    assert ao.dtype == ai.dtype == np.int64 and ao.shape == wo.shape
    assert ao.tobytes() == wo.tobytes() and ai.tobytes() == wi.tobytes()


@pytest.mark.parametrize("radius", [0.0, 1.0, 2.5, math.inf])
@pytest.mark.parametrize(
    "chunks", [(N,), (1, 999, 0, 1001, 1000), (300,) * 10 + (1,), (1,) * 17 + (N - 17,)]
)
def test_within_bit_equal_to_one_tree_on_the_threaded_scheduler(chunks, radius):
    points = da.from_array(POINTS, chunks=(chunks, 3))
    with dask.config.set(scheduler="threads"):
        same_hits(
            bounded(kalemtri_dask.within_many, points, TARGETS, radius), expected_hits(radius)
        )


def test_within_bit_equal_to_one_tree_on_a_cluster(cluster_client):
    points = da.from_array(POINTS, chunks=((700, 1, 1300, 1000), 3))
    with dask.config.set(scheduler=cluster_client):
        same_hits(
            bounded(kalemtri_dask.within_many, points, VecList.from_buffer(TARGETS), 3),
            expected_hits(3.0),
        )


@pytest.mark.parametrize(
    "radius, targets, error, message",
    [
        (-1.0, TARGETS, ValueError, r"^argument 'radius': must be a number >= 0, not -1\.0"),
        (math.nan, TARGETS, ValueError, r"^argument 'radius': must be a number >= 0, not nan"),
        ("1", TARGETS, TypeError, "radius"),
        (1.0, [[0.0, 0.0, 0.0]], TypeError, "^argument 'targets': 'list' object is not a buffer"),
        (1.0, da.zeros((2, 2)), ValueError, "^argument 'targets': buffer shape"),
    ],
)
def test_within_argument_errors(radius, targets, error, message):
    points = da.from_array(POINTS, chunks=(1000, 3))
    with dask.config.set(scheduler="threads"), pytest.raises(error, match=message):
        bounded(kalemtri_dask.within_many, points, targets, radius)


@pytest.mark.parametrize("targets", [np.empty((0, 3)), TARGETS[:3]])
def test_within_no_targets_or_no_points(targets):
    empty = da.from_array(np.empty((0, 3)), chunks=(1, 3))
    points = da.from_array(POINTS, chunks=(1000, 3))
    with dask.config.set(scheduler="threads"):
        for cloud in (points, empty):
            offsets, indexes = kalemtri_dask.within_many(cloud, targets, 1.0)
            wanted = VecTree(np.asarray(cloud)).within_many(targets, 1.0) if len(cloud) else None
            if wanted is None:
                assert offsets.tolist() == [0] * (len(targets) + 1) and indexes.size == 0
            else:
                same_hits((offsets, indexes), tuple(np.asarray(a) for a in wanted))
