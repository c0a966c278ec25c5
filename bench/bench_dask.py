"""kalemtri_dask on a 2-worker LocalCluster against one VecList of the same points in one process.

Run: python bench/bench_dask.py [POINTS] [--chunk CHUNK] [--repeat R] [--workers W]
POINTS defaults to 1e8 (2.4 GB of float64). Both sides hold the points at once, and each rotate
makes a new copy while it runs, so allow about 8 GB. The cluster's points are made on the workers,
chunk by chunk, with the same generator as the one VecList's, so both sides see the same points;
the answers are checked to be equal. The two sides take turns, one repeat each, so that both see
the same load on a shared machine. Prints the best and the median wall time of each operation and
the ratio of the best times, cluster / one process (on 2 cores the cluster cannot be faster than
one process whose pool already uses both cores; the ratio is the cost of going through Dask).
"""

import argparse
import gc
import math
import statistics
import time

import dask
import dask.array as da
from dask.distributed import Client, LocalCluster, wait

import kalemtri_dask
from kalemtri_py import Quat, Vec3d, VecList
from results import Recorder

SEED = 2026
TARGET = Vec3d(0.5, -0.5, 0.25)
# A new target and quaternion for every repeat: the cluster would hand back a result it still
# holds.
TARGETS = [Vec3d(0.5 + r * 1e-9, -0.5, 0.25) for r in range(1, 101)]
QUATS = [Quat(math.cos(a), 0.0, math.sin(a) * 0.6, math.sin(a) * 0.8) for a in range(1, 101)]


def cloud(points, chunk):
    return da.random.default_rng(SEED).normal(size=(points, 3), chunks=(chunk, 3))


def timed(fn, r):
    start = time.perf_counter()
    result = fn(r)
    elapsed = time.perf_counter() - start
    del result
    gc.collect()
    return elapsed


def one_vec_list(points, chunk):
    with dask.config.set(scheduler="threads"):
        array = cloud(points, chunk).compute()
    one = VecList.from_buffer(array)
    del array
    gc.collect()
    return one


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("points", type=float, nargs="?", default=1e8)
    parser.add_argument("--chunk", type=float, default=5e6, help="points per chunk")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--json", metavar="PATH", help="also write the times for bench/plot.py")
    args = parser.parse_args()
    points, chunk = int(args.points), int(args.chunk)

    one = one_vec_list(points, chunk)
    cluster = LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, Client(cluster) as client:
        data = client.persist(cloud(points, chunk))
        wait(data)
        answer_alone = one.minimum_distance_to(TARGET, 1)
        answer_spread = kalemtri_dask.nearest(data, TARGET)
        if answer_alone != answer_spread:
            raise SystemExit(f"answers differ: one VecList {answer_alone}, cluster {answer_spread}")

        def rotate_on_cluster(r):
            wait(client.persist(kalemtri_dask.rotate(data, QUATS[r])))

        operations = {
            "nearest": (
                lambda r: one.minimum_distance_to(TARGETS[r], 1),
                lambda r: kalemtri_dask.nearest(data, TARGETS[r]),
            ),
            "rotate": (lambda r: one.rotate(QUATS[r]), rotate_on_cluster),
        }
        times = {}
        for name, sides in operations.items():
            runs = [[timed(side, r) for side in sides] for r in range(args.repeat)]
            times[name] = list(zip(*runs))

    print(
        f"{points:.0e} points ({points * 24 / 1e9:.2f} GB) in chunks of {chunk:.0e}; "
        f"best and median of {args.repeat}, taken in turns"
    )
    print(f"{'':<10} {'one VecList':>17} {f'{args.workers} workers':>17}")
    print(f"{'operation':<10} {'best  median':>17} {'best  median':>17} {'ratio':>7}")
    for name, (alone, spread) in times.items():
        a, s = min(alone), min(spread)
        print(
            f"{name:<10} {a:>7.3f} s {statistics.median(alone):>6.3f} s "
            f"{s:>7.3f} s {statistics.median(spread):>6.3f} s {s / a:>7.2f}"
        )
    record = Recorder("dask", "s")
    for name, (alone, spread) in times.items():
        record.add(name, "one VecList", min(alone), points=points, chunk=chunk)
        record.add(name, f"{args.workers} workers", min(spread), points=points, chunk=chunk)
    record.write()


if __name__ == "__main__":
    main()
