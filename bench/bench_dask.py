"""kalemtri_dask on a 2-worker LocalCluster against one VecList of the same points in one process.

Run: python bench/bench_dask.py [POINTS] [--chunk CHUNK] [--repeat R]
POINTS defaults to 1e8 (2.4 GB of float64; the one-process side holds the points twice while it
builds its VecList, and rotate makes a second copy on both sides, so allow about 10 GB).
The one-process side runs first and frees its memory before the cluster starts. The cluster's
points are made on the workers, chunk by chunk, with the same generator, so both sides see the
same points; the answers are checked to be equal. Prints the best wall time of each operation
and the ratio cluster / one process (on 2 cores the cluster cannot be faster than one process
whose pool already uses both cores; the ratio is the cost of going through Dask).
"""

import argparse
import gc
import math
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


def best(fn, repeat):
    times = []
    for r in range(repeat):
        start = time.perf_counter()
        result = fn(r)
        times.append(time.perf_counter() - start)
        del result
        gc.collect()
    return min(times)


def one_process(points, chunk, repeat):
    with dask.config.set(scheduler="threads"):
        array = cloud(points, chunk).compute()
    one = VecList.from_buffer(array)
    del array
    answer = one.minimum_distance_to(TARGET, 1)
    times = {
        "nearest": best(lambda r: one.minimum_distance_to(TARGETS[r], 1), repeat),
        "rotate": best(lambda r: one.rotate(QUATS[r]), repeat),
    }
    return times, answer


def on_cluster(points, chunk, repeat, workers):
    cluster = LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, Client(cluster) as client:
        data = client.persist(cloud(points, chunk))
        wait(data)
        answer = kalemtri_dask.nearest(data, TARGET)

        def rotate(r):
            rotated = client.persist(kalemtri_dask.rotate(data, QUATS[r]))
            wait(rotated)

        times = {
            "nearest": best(lambda r: kalemtri_dask.nearest(data, TARGETS[r]), repeat),
            "rotate": best(rotate, repeat),
        }
    return times, answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("points", type=float, nargs="?", default=1e8)
    parser.add_argument("--chunk", type=float, default=5e6, help="points per chunk")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--json", metavar="PATH", help="also write the times for bench/plot.py")
    args = parser.parse_args()
    points, chunk = int(args.points), int(args.chunk)

    alone, answer_alone = one_process(points, chunk, args.repeat)
    gc.collect()
    spread, answer_spread = on_cluster(points, chunk, args.repeat, args.workers)
    if answer_alone != answer_spread:
        raise SystemExit(f"answers differ: one VecList {answer_alone}, cluster {answer_spread}")

    print(
        f"{points:.0e} points ({points * 24 / 1e9:.2f} GB) in chunks of {chunk:.0e}; best of {args.repeat}"
    )
    print(f"{'operation':<10} {'one VecList':>12} {f'{args.workers} workers':>12} {'ratio':>7}")
    for name in alone:
        a, s = alone[name], spread[name]
        print(f"{name:<10} {a:>10.3f} s {s:>10.3f} s {s / a:>7.2f}")
    record = Recorder("dask", "s")
    for name in alone:
        record.add(name, "one VecList", alone[name], points=points, chunk=chunk)
        record.add(name, f"{args.workers} workers", spread[name], points=points, chunk=chunk)
    record.write()


if __name__ == "__main__":
    main()
