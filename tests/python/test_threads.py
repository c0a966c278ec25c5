"""The per-thread cap on the pool's threads: its arguments, its scope, and what it does to jobs."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import kalemtri_py
from kalemtri_py import Quat, Vec3d, VecList

MULTICORE = len(os.sched_getaffinity(0)) > 1


@pytest.fixture(autouse=True)
def uncapped():
    kalemtri_py.set_max_threads(None)
    yield
    kalemtri_py.set_max_threads(None)


@pytest.mark.parametrize(
    "n, error, message",
    [
        (0, ValueError, r"^argument 'n': must be at least 1, not 0$"),
        (-1, OverflowError, "negative"),
        (True, TypeError, r"^argument 'n': must be an int or None, not 'bool'$"),
        (1.0, TypeError, r"^argument 'n': must be an int or None, not 'float'$"),
        ("2", TypeError, r"^argument 'n': must be an int or None, not 'str'$"),
    ],
)
def test_bad_cap_is_refused_and_changes_nothing(n, error, message):
    kalemtri_py.set_max_threads(1)
    with pytest.raises(error, match=message):
        kalemtri_py.set_max_threads(n)
    assert kalemtri_py.set_max_threads(None) == 1


def test_cap_returns_the_previous_one_and_belongs_to_its_thread():
    full = kalemtri_py.max_threads()
    assert full >= 1
    assert kalemtri_py.set_max_threads(1) is None
    assert kalemtri_py.max_threads() == 1
    seen = []
    other = threading.Thread(target=lambda: seen.append(kalemtri_py.max_threads()))
    other.start()
    other.join(30)
    assert seen == [full]
    huge = sys.maxsize  # a machine word on every platform
    assert kalemtri_py.set_max_threads(huge) == 1
    assert kalemtri_py.max_threads() == full  # a cap above the pool's size leaves it whole
    assert kalemtri_py.set_max_threads(None) == huge
    assert kalemtri_py.max_threads() == full


OPERATIONS = {
    "rotated": lambda v: v.rotated(Quat(0.5, 0.5, 0.5, 0.7)),
    "normalize": lambda v: v.normalize(),
    "magnitude": lambda v: v.magnitude(),
    "minimum_distance_to": lambda v: v.minimum_distance_to(Vec3d(0.1, 0.2, 0.3), 1),
    "VecTree": lambda v: kalemtri_py.VecTree(v).k_nearest_many(v, 3),
}


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
@pytest.mark.parametrize("cap", [1, 2, 3])
def test_same_bits_under_any_cap(operation, cap):
    np = pytest.importorskip("numpy")
    points = np.random.default_rng(5).normal(size=(300_000, 3))
    points[7] = (np.nan, 0.0, 1.0)

    def bits(result):
        if isinstance(result, VecList):
            return np.asarray(result).tobytes()
        if isinstance(result, tuple) and isinstance(result[0], memoryview):
            return b"".join(bytes(r) for r in result)
        if isinstance(result, tuple):  # (index, distance)
            return np.array([result[0]]).tobytes() + np.array([result[1]]).tobytes()
        return np.array(result, dtype=float).tobytes()

    wanted = bits(operation(VecList.from_buffer(points)))
    kalemtri_py.set_max_threads(cap)
    assert bits(operation(VecList.from_buffer(points))) == wanted


# A fresh process, so that no job has started the pool's workers yet: a capped thread's jobs must
# start no thread of their own.
FRESH = textwrap.dedent(
    """
    import array, json, os, sys
    import kalemtri_py
    from kalemtri_py import Quat, VecList
    cap = json.loads(sys.argv[1])
    kalemtri_py.set_max_threads(cap)
    threads = len(os.listdir("/proc/self/task"))
    points = VecList.from_buffer(array.array("d", range(3 * 2_000_000)))
    for _ in range(5):
        points.rotate(Quat(0.5, 0.5, 0.5, 0.5))
        points.normalize()
    print(json.dumps({"new threads": len(os.listdir("/proc/self/task")) - threads,
                      "max": kalemtri_py.max_threads()}))
    """
)


@pytest.mark.parametrize("cap", [1, None])
def test_capped_jobs_start_no_threads(cap):
    out = subprocess.run(
        [sys.executable, "-c", FRESH, json.dumps(cap)], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    if cap == 1:
        assert result == {"new threads": 0, "max": 1}
    elif MULTICORE:
        assert result["new threads"] > 0 and result["max"] > 1, result
