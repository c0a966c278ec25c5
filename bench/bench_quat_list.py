"""QuatList batch operations against scipy's Rotation stacks (a trajectory of N poses).

Run: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/bench_quat_list.py [--quick] [--json PATH]
Prints the best time per pose in ns at N = 1e3 .. 1e6 for kalemtri and scipy, and scipy/kalemtri
(above 1: kalemtri faster). Needs numpy; scipy is optional (its column is then empty).
"""

import os
import sys

import numpy as np

import kalemtri_py
from kalemtri_py import Quat, VecList
from results import Recorder, best_ns_per_element

try:
    from scipy.spatial.transform import Rotation
except ImportError:
    Rotation = None

SIZES = [10**3, 10**4, 10**5, 10**6]
BUDGET = 0.2  # seconds of repeats per measurement


def best(fn, n):
    """Best wall time of fn() over repeats, in ns per element."""
    return best_ns_per_element(fn, n, BUDGET, 100)


def main(quick):
    QuatList = kalemtri_py.QuatList
    rng = np.random.default_rng(1)
    p = Quat(0.9, 0.1, -0.3, 0.2).normalize()
    record = Recorder("quat_list", "ns per pose")
    print(f"kernel level: {kalemtri_py._kernel_level}; load average {os.getloadavg()[0]:.2f}")
    print("N          operation                kalemtri ns/pose   scipy ns/pose  scipy/kal")
    for n in SIZES[:2] if quick else SIZES:
        xyzw = rng.standard_normal((n, 4))
        xyzw /= np.linalg.norm(xyzw, axis=1)[:, None]
        wijk = np.column_stack([xyzw[:, 3], -xyzw[:, :3]])  # rotates like xyzw in scipy
        points = rng.standard_normal((n, 3))
        ql, vl = QuatList.from_buffer(wijk), VecList.from_buffer(points)
        cases = [
            ("from_buffer / from_quat", lambda: QuatList.from_buffer(wijk), "from_quat"),
            ("rotate N vectors", lambda: ql.rotate(vl), "apply"),
            ("then(p) / p * r", lambda: ql.then(p), "compose"),
            ("inverse", lambda: ql.inverse(), "inv"),
        ]
        r = Rotation.from_quat(xyzw) if Rotation else None
        rp = Rotation.from_quat([-p.i, -p.j, -p.k, p.w]) if Rotation else None
        scipy = {
            "from_quat": lambda: Rotation.from_quat(xyzw),
            "apply": lambda: r.apply(points),
            "compose": lambda: rp * r,
            "inv": lambda: r.inv(),
        }
        for name, ours, theirs in cases:
            k = best(ours, n)
            s = best(scipy[theirs], n) if Rotation else float("nan")
            print(f"{n:<10} {name:<24}{k:>16.2f} {s:>15.2f} {s / k:>10.2f}")
            record.add(name, "kalemtri", k, n)
            record.add(name, "scipy Rotation", s, n)
        sys.stdout.flush()
    record.write()


if __name__ == "__main__":
    main("--quick" in sys.argv)
