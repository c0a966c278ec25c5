"""Moving data in and out of VecList against numpy's own copy of the same array.

Run: python bench/bench_data_io.py [--quick]
For N = 1e4 .. 1e7 points prints the best wall time in ms of: ndarray.copy() of an (N, 3) float64
array (the reference), VecList.from_buffer of that array in C and in Fortran order, the same of
its float32 version (half the bytes read, each value widened) next to numpy's own widening
(astype), and pickle dumps + loads round trips of a VecList at protocol 4 (bytes), protocol 5 in
band and protocol 5 out of band, with the same round trip of the ndarray for comparison; then each
time divided by the copy's.
"""

import pickle
import sys
import time

import numpy as np

from kalemtri_py import VecList
from results import Recorder

SIZES = [10**4, 10**5, 10**6, 10**7]
BUDGET = 0.3  # seconds of repeats per measurement


def best(fn):
    """Best wall time of fn() in ms; at least 3 runs, more while within the budget."""
    times = []
    start = time.perf_counter()
    while len(times) < 3 or (time.perf_counter() - start < BUDGET and len(times) < 100):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times) * 1e3


def round_trip(obj, protocol, out_of_band=False):
    if out_of_band:
        buffers = []
        data = pickle.dumps(obj, protocol=protocol, buffer_callback=buffers.append)
        return pickle.loads(data, buffers=buffers)
    return pickle.loads(pickle.dumps(obj, protocol=protocol))


def main():
    sizes = SIZES[:-1] if "--quick" in sys.argv else SIZES
    rng = np.random.default_rng(1)
    cases = [
        ("from_buffer (C order)", lambda d: VecList.from_buffer(d["a"])),
        ("from_buffer (Fortran order)", lambda d: VecList.from_buffer(d["f"])),
        ("from_buffer float32 (C order)", lambda d: VecList.from_buffer(d["a32"])),
        ("from_buffer float32 (Fortran order)", lambda d: VecList.from_buffer(d["f32"])),
        ("float32 ndarray.astype(float64)", lambda d: d["a32"].astype(np.float64)),
        ("pickle VecList, protocol 4", lambda d: round_trip(d["v"], 4)),
        ("pickle VecList, protocol 5", lambda d: round_trip(d["v"], 5)),
        ("pickle VecList, protocol 5 out of band", lambda d: round_trip(d["v"], 5, True)),
        ("pickle ndarray, protocol 5", lambda d: round_trip(d["a"], 5)),
    ]
    print(f"{'N':>9} {'ndarray.copy() ms':>18}")
    rows = []
    for n in sizes:
        a = rng.standard_normal((n, 3))
        a32 = a.astype(np.float32)
        d = {"a": a, "f": np.asfortranarray(a), "v": VecList.from_buffer(a)}
        d.update(a32=a32, f32=np.asfortranarray(a32))
        copy_ms = best(lambda: a.copy())
        times = [best(lambda c=c: c[1](d)) for c in cases]
        rows.append((n, copy_ms, times))
        print(f"{n:>9} {copy_ms:>18.3f}")
    print()
    header = "| operation | " + " | ".join(f"N = {n:.0e}" for n, _, _ in rows) + " |"
    print(header)
    print("|---" * (len(rows) + 1) + "|")
    print("| `ndarray.copy()` ms | " + " | ".join(f"{c:.3f}" for _, c, _ in rows) + " |")
    for i, (name, _) in enumerate(cases):
        cells = [f"{t[i]:.3f} ({t[i] / c:.2f}x)" for _, c, t in rows]
        print(f"| {name} ms (x copy) | " + " | ".join(cells) + " |")
    # --json PATH: the measurements for bench/plot.py, each case with the copy as its bound.
    record = Recorder("data_io", "ms")
    for n, copy_ms, times in rows:
        for (name, _), t in zip(cases, times):
            ours = "VecList" in name or "from_buffer" in name
            record.add(name, "kalemtri" if ours else "numpy", t, n)
            record.add(name, "ndarray.copy()", copy_ms, n)
    record.write()


if __name__ == "__main__":
    main()
