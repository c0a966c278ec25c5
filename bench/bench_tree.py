"""VecTree against scipy's cKDTree (workers=-1) and pykdtree, in the same run.

Run: python bench/bench_tree.py [--quick] [--json PATH]   (needs numpy, scipy, pykdtree)
For uniform and clustered clouds of N = 1e5 and 1e6 points and M = N query points from the same
distribution, prints the best wall time of: the build, k = 1 and k = 8 batch queries, a radius
query holding about 8 points per target, and one single-point nearest query (at N = 1e6); then
kalemtri's time over the fastest peer's (below 1: kalemtri faster) and the memory each index holds
per point, from the growth of the process's resident set (uniform, N = 1e6, each in a fresh
interpreter). cKDTree and pykdtree keep a reference to the caller's C-contiguous float64 array;
kalemtri copies the points (a snapshot), so its figure includes their 24 bytes. --quick runs N = 1e5 only.
"""

import math
import subprocess
import sys
import timeit

import numpy as np

import kalemtri_py
from results import Recorder, best

try:
    from scipy.spatial import cKDTree
except ImportError:
    cKDTree = None
try:
    from pykdtree.kdtree import KDTree as PyKDTree
except ImportError:
    PyKDTree = None

VecTree = kalemtri_py.VecTree
Vec3d = kalemtri_py.Vec3d


# Memory is measured in a fresh interpreter per index: the growth of the resident set over the
# build, after glibc has returned freed blocks, so that neither earlier runs nor the build's own
# scratch space count.
MEMORY = """
import ctypes, gc, sys
import numpy as np
name, n = sys.argv[1], int(sys.argv[2])
if name == "kalemtri":
    from kalemtri_py import VecTree as Index
elif name == "cKDTree":
    from scipy.spatial import cKDTree as Index
else:
    from pykdtree.kdtree import KDTree as Index
libc = ctypes.CDLL("libc.so.6")
def resident():
    gc.collect()
    libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
points = np.random.default_rng(1).random((n, 3))
Index(points[:1000])
before = resident()
index = Index(points)
print((resident() - before) / n)
"""


def held_bytes(name, n):
    out = subprocess.run(
        [sys.executable, "-c", MEMORY, name, str(n)],
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    return float(out.stdout) if out.returncode == 0 else math.nan


def cloud(kind, n, rng):
    if kind == "uniform":
        return rng.random((n, 3)), rng.random((n, 3))
    centers = rng.random((64, 3))

    def draw(m):
        return centers[rng.integers(0, 64, m)] + rng.normal(scale=0.01, size=(m, 3))

    return draw(n), draw(n)


def radius_for(points, k=8):
    """A radius that holds about k points around a typical point."""
    sample = points[:: max(1, len(points) // 2000)]
    d, _ = cKDTree(points).query(sample, k=k + 1, workers=-1) if cKDTree else (None, None)
    return float(np.median(d[:, -1])) if d is not None else 0.01


def run(kind, n, rng, rows):
    points, queries = cloud(kind, n, rng)
    reps = 3 if n >= 10**6 else 5
    peers = {}
    tree = VecTree(points)
    peers["kalemtri"] = {"build": best(lambda: VecTree(points), reps)}
    if cKDTree:
        ck = cKDTree(points)
        peers["cKDTree"] = {"build": best(lambda: cKDTree(points), reps)}
    if PyKDTree:
        pk = PyKDTree(points)
        peers["pykdtree"] = {"build": best(lambda: PyKDTree(points), reps)}
    if n >= 10**6 and kind == "uniform":
        for name, v in peers.items():
            v["mem"] = held_bytes(name, n)
    r = radius_for(points)
    k = peers["kalemtri"]
    k["k=1"] = best(lambda: tree.nearest_many(queries), reps)
    k["k=8"] = best(lambda: tree.k_nearest_many(queries, 8), reps)
    k["radius"] = best(lambda: tree.within_many(queries, r), reps)
    if cKDTree:
        c = peers["cKDTree"]
        c["k=1"] = best(lambda: ck.query(queries, k=1, workers=-1), reps)
        c["k=8"] = best(lambda: ck.query(queries, k=8, workers=-1), reps)
        c["radius"] = best(lambda: ck.query_ball_point(queries, r, workers=-1), reps)
    if PyKDTree:
        p = peers["pykdtree"]
        p["k=1"] = best(lambda: pk.query(queries, k=1), reps)
        p["k=8"] = best(lambda: pk.query(queries, k=8), reps)
    if n >= 10**6:
        v, x = Vec3d(*queries[0]), queries[:1]
        k["single"] = min(timeit.repeat(lambda: tree.nearest(v), number=20000, repeat=5)) / 20000
        if cKDTree:
            c["single"] = min(timeit.repeat(lambda: ck.query(x[0]), number=2000, repeat=5)) / 2000
        if PyKDTree:
            p["single"] = min(timeit.repeat(lambda: pk.query(x), number=2000, repeat=5)) / 2000
    for what in ("build", "k=1", "k=8", "radius", "single", "mem"):
        mine = k.get(what)
        others = {name: v[what] for name, v in peers.items() if name != "kalemtri" and what in v}
        if mine is None:
            continue
        fastest = min(others.values()) if others else math.nan
        rows.append((kind, n, what, mine, others, mine / fastest if fastest > 0 else math.nan))


def fmt(what, v):
    if what == "mem":
        return f"{v:.1f} B"
    if what == "single":
        return f"{v * 1e6:.2f} us"
    return f"{v * 1e3:.0f} ms"


def main():
    sizes = [10**5] if "--quick" in sys.argv else [10**5, 10**6]
    rng = np.random.default_rng(20261208)
    rows = []
    for n in sizes:
        for kind in ("uniform", "clustered"):
            run(kind, n, rng, rows)
    record = Recorder("tree", "s")
    for kind, n, what, mine, others, _ in rows:
        if what == "mem":  # bytes, not seconds: the table shows it
            continue
        for impl, value in {"kalemtri": mine, **others}.items():
            record.add(what, impl, value, n, kind)
    record.write()
    print(f"kernel level {kalemtri_py._kernel_level}; memory is bytes per point held by the index")
    print("| cloud | N | measure | kalemtri | cKDTree | pykdtree | kalemtri / fastest peer |")
    print("|---|---|---|---|---|---|---|")
    for kind, n, what, mine, others, ratio in rows:
        cells = [fmt(what, others[p]) if p in others else "-" for p in ("cKDTree", "pykdtree")]
        print(
            f"| {kind} | {n:.0e} | {what} | {fmt(what, mine)} | {' | '.join(cells)} | {ratio:.2f} |"
        )


if __name__ == "__main__":
    main()
