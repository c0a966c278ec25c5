"""VecList batch operations against what a numpy user would write, and a plain copy of the bytes.

Run: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/bench_vec_list.py [--quick] [--json PATH]
Prints the kernel level the module chose, then the best time per element in ns for each operation
at N = 1e3 .. 1e7, the numpy time, and the ratios numpy/kalemtri (above 1: kalemtri faster) and
kalemtri/copy (the memory-bandwidth bound: numpy's copy of the same 24 N bytes). Operations that
return a Python list are compared with numpy's computation followed by tolist(), and also with a
bare tolist() of N values of the result's type (kal/tolist). Python-object steps (construction,
.list, to_array, iteration, repr) run up to N = 1e6 and are reported per element. --json writes
the measurements for bench/plot.py.
"""

import math
import os
import sys
import time

import numpy as np

import kalemtri_py
from kalemtri_py import Quat, Vec3d, VecList
from results import Recorder, best_ns_per_element

SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]
OBJECT_SIZES = [1, 10, 100, 10**3, 10**4, 10**5, 10**6]
BUDGET = 0.15  # seconds of repeats per measurement
EPS = 2.220446049250313e-16


def best(fn, n):
    """Best wall time of fn() over repeats, in ns per element; small cases run in loops of calls."""
    return best_ns_per_element(fn, n, BUDGET, 200, three_from=10**7)


def make_quat():
    try:
        return Quat(math.cos(0.35), 0.0, math.sin(0.35) * 0.6, math.sin(0.35) * 0.8)
    except TypeError:
        return None  # Quat without a constructor in this build


def rotation_matrix(w, i, j, k):
    # The matrix of v -> vector part of conj(q) (0, v) q, for a unit q.
    return np.array(
        [
            [w * w + i * i - j * j - k * k, 2 * (i * j + w * k), 2 * (i * k - w * j)],
            [2 * (i * j - w * k), w * w - i * i + j * j - k * k, 2 * (j * k + w * i)],
            [2 * (i * k + w * j), 2 * (j * k - w * i), w * w - i * i - j * j + k * k],
        ]
    )


def big_list(pts):
    """A VecList of the rows of pts, built without one Python object per row for large N."""
    base = VecList([Vec3d(*r) for r in pts[: min(len(pts), 10**5)].tolist()])
    v = base * 1.0
    while len(v) < len(pts):
        v.extend(base)
    return v


def batch_table(quick, record):
    rng = np.random.default_rng(1)
    q = make_quat()
    o, on = Vec3d(0.3, -0.2, 0.1), np.array([0.3, -0.2, 0.1])
    print(
        "N          operation               kalemtri ns/el   numpy ns/el  numpy/kal   kal/copy kal/tolist"
    )
    for n in SIZES[:3] if quick else SIZES:
        base = rng.standard_normal((min(n, 10**5), 3))
        pts = np.tile(base, (n // len(base), 1))
        v = big_list(pts)
        assert len(v) == n
        copy = best(lambda: pts.copy(), n)
        floats, bools = pts[:, 0].copy(), pts[:, 0] > 0
        tolist = {float: best(lambda: floats.tolist(), n), bool: best(lambda: bools.tolist(), n)}
        if q is not None:
            R = rotation_matrix(q.w, q.i, q.j, q.k)
        cases = [
            ("v + o", lambda: v + o, lambda: pts + on),
            ("v - o", lambda: v - o, lambda: pts - on),
            ("v * s", lambda: v * 1.5, lambda: pts * 1.5),
            ("s * v", lambda: 1.5 * v, lambda: 1.5 * pts),
            ("v / s", lambda: v / 1.5, lambda: pts / 1.5),
            ("dot", lambda: v.dot(o), lambda: (pts @ on).tolist(), float),
            ("cross", lambda: v.cross(o), lambda: np.cross(pts, on)),
            (
                "magnitude",
                lambda: v.magnitude(),
                lambda: np.sqrt((pts * pts).sum(1)).tolist(),
                float,
            ),
            (
                "normalize",
                lambda: v.normalize(),
                lambda: pts / np.sqrt((pts * pts).sum(1))[:, None],
            ),
            (
                "is_unit",
                lambda: v.is_unit(),
                lambda: (np.abs(np.sqrt((pts * pts).sum(1)) - 1.0) < EPS).tolist(),
                bool,
            ),
            (
                "distance_to",
                lambda: v.distance_to(o),
                lambda: np.sqrt(((pts - on) ** 2).sum(1)).tolist(),
                float,
            ),
            (
                "rotate",
                (lambda: v.rotate(q)) if q is not None else None,
                (lambda: pts @ R.T) if q is not None else None,
            ),
            ("collapse(1)", lambda: v.collapse(1), lambda: collapse_np(pts)),
            (
                "minimum_distance_to s=1",
                lambda: v.minimum_distance_to(o, 1),
                lambda: np.argmin(np.sqrt(((pts - on) ** 2).sum(1))),
            ),
            ("minimum_distance_to s=64", lambda: v.minimum_distance_to(o, 64), None),
        ]
        record.add("copy", "numpy copy", copy, n, "batch")
        record.add("tolist (floats)", "numpy", tolist[float], n, "batch")
        record.add("tolist (bools)", "numpy", tolist[bool], n, "batch")
        print(f"{n:<10} {'copy (numpy)':<24}{'':>14} {copy:>13.2f}")
        print(f"{n:<10} {'tolist (numpy floats)':<24}{'':>14} {tolist[float]:>13.2f}")
        print(f"{n:<10} {'tolist (numpy bools)':<24}{'':>14} {tolist[bool]:>13.2f}")
        for name, kal, ref, *kind in cases:
            if kal is None:
                print(f"{n:<10} {name:<24}{'n/a (no Quat constructor)':>30}")
                continue
            k = best(kal, n)
            r = best(ref, n) if ref else float("nan")
            record.add(name, "kalemtri", k, n, "batch", returns="list" if kind else "VecList")
            record.add(name, "numpy", r, n, "batch")
            vs_list = f"{k / tolist[kind[0]]:>10.2f}" if kind else ""
            print(
                f"{n:<10} {name:<24}{k:>14.2f} {r:>13.2f} {r / k:>10.2f} {k / copy:>10.2f} {vs_list}"
            )
        v = None  # the list's memory is free for the next size
        sys.stdout.flush()


def collapse_np(pts):
    c = pts.copy()
    c[:, 1] = 0.0
    return c


def object_table(quick, record):
    rng = np.random.default_rng(2)
    print()
    print("N          step                    kalemtri ns/el   numpy ns/el  numpy/kal")
    for n in OBJECT_SIZES[:5] if quick else OBJECT_SIZES:
        pts = rng.standard_normal((n, 3))
        rows = pts.tolist()
        vecs = [Vec3d(*r) for r in rows]
        v = VecList(vecs)
        cases = [
            ("VecList(list)", lambda: VecList(vecs), lambda: np.array(rows)),
            (".list", lambda: v.list, None),
            ("to_array()", lambda: v.to_array(), lambda: pts.tolist()),
            ("iteration", lambda: list(v), lambda: list(pts)),
            ("repr", lambda: repr(v), None),
            ("magnitude (call cost)", lambda: v.magnitude(), None),
            ("v * s (call cost)", lambda: v * 1.5, None),
        ]
        for name, kal, ref in cases:
            k = best(kal, n)
            r = best(ref, n) if ref else float("nan")
            record.add(name, "kalemtri", k, n, "objects")
            record.add(name, "numpy", r, n, "objects")
            print(f"{n:<10} {name:<24}{k:>14.2f} {r:>13.2f} {r / k:>10.2f}")
        sys.stdout.flush()
    a, b = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    print(
        f"single Vec3d a + b: {best(lambda: a + b, 1):.0f} ns, a.magnitude(): {best(lambda: a.magnitude(), 1):.0f} ns"
    )


if __name__ == "__main__":
    quick = "--quick" in sys.argv
    level = getattr(kalemtri_py, "_kernel_level", "baseline (no dispatch)")
    print(f"kernel level: {level}; numpy {np.__version__}; load average {os.getloadavg()[0]:.2f}")
    record = Recorder("vec_list", "ns per element")
    t = time.perf_counter()
    batch_table(quick, record)
    object_table(quick, record)
    print(f"\ntotal {time.perf_counter() - t:.0f} s")
    record.write()
