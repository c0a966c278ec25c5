"""kalemtri_dask on a LocalCluster against one VecList of the same points, and against Dask's own
floor and element-wise addition on the same chunks.

Run: python bench/bench_dask.py [POINTS] [--chunk CHUNK] [--repeat R] [--workers W] [--quick]
POINTS defaults to 1e8 (2.4 GB of float64) in chunks of 5e6, on 2 worker processes of one thread
each. Both sides hold the points at once, and each rotate or addition makes a new copy while it
runs, so allow about 10 GB. `--quick` is 1e6 points in chunks of 5e4 (the same 20 chunks), for a
run in seconds. The cluster's points are made on the workers, chunk by chunk, with the same
generator as the one VecList's, so both sides see the same points; the answers are checked to be
equal. The sides take turns, one repeat each, so that all see the same load on a shared machine.

Measured, best and median wall time of each:
- floor: a trivial task per chunk (its length) and one task summing them, as a graph of the same
  shape as nearest's, with fresh keys each time: what any reduction over the chunks costs;
- nearest: one VecList's `minimum_distance_to` against `kalemtri_dask.nearest`;
- rotate: one VecList's `rotate` against `kalemtri_dask.rotate`, persisted, and Dask's own
  `points + c` over the same chunks, persisted.
Targets: nearest ≤ floor + 1.25 × one VecList; rotate ≤ 1.25 × Dask's addition. `--stream` also
prints, from Dask's task stream of each operation's last repeat, where its time went.
"""

import argparse
import gc
import math
import os
import statistics
import time

import dask
import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.delayed import Delayed
from dask.distributed import Client, LocalCluster, wait
from dask.highlevelgraph import HighLevelGraph

import kalemtri_dask
from kalemtri_py import Quat, Vec3d, VecList
from results import Recorder

SEED = 2026
TARGET = Vec3d(0.5, -0.5, 0.25)
# A new target, quaternion and addend for every repeat: the cluster would hand back a result it
# still holds.
TARGETS = [Vec3d(0.5 + r * 1e-9, -0.5, 0.25) for r in range(1, 101)]
QUATS = [Quat(math.cos(a), 0.0, math.sin(a) * 0.6, math.sin(a) * 0.8) for a in range(1, 101)]
ADDENDS = [np.array([r * 1e-3, -0.5, 0.25]) for r in range(1, 101)]


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


def _length(block, r):
    return len(block)


def _total(lengths):
    return sum(lengths)


def floor(data, r):
    """A trivial task per chunk and one sum: the graph a reduction cannot do without."""
    token = tokenize(data.name, r, "floor")
    name, total = f"floor-chunk-{token}", f"floor-sum-{token}"
    layer = {(name, i): (_length, key, r) for i, (key,) in enumerate(data.__dask_keys__())}
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[data])
    graph = HighLevelGraph(
        {**graph.layers, total: {total: (_total, list(layer))}},
        {**graph.dependencies, total: {name}},
    )
    return Delayed(total, graph, layer=total).compute()


def stream_summary(records, start, end, workers):
    """Where one operation's wall time went, from its task-stream records."""
    # The scheduler hands over records by when they arrived; keep what ran in the window.
    spans = [
        (s, rec["worker"])
        for rec in records
        for s in rec["startstops"]
        if start <= s["start"] and s["stop"] <= end
    ]
    computing = [(s["start"], s["stop"], w) for s, w in spans if s["action"] == "compute"]
    transfers = sum(s["stop"] - s["start"] for s, _ in spans if s["action"] == "transfer")
    if not computing:
        return "no tasks recorded"
    first = min(c[0] for c in computing)
    last = max(c[1] for c in computing)
    per_worker = {}
    for s, e, w in computing:
        per_worker[w] = per_worker.get(w, 0.0) + (e - s)
    busy = " + ".join(f"{v * 1e3:.1f}" for v in sorted(per_worker.values(), reverse=True))
    return (
        f"{len(computing)} tasks; to first task {(first - start) * 1e3:.1f} ms, tasks "
        f"{(last - first) * 1e3:.1f} ms (computing {busy} ms on {len(per_worker)} of {workers} "
        f"workers, transfers {transfers * 1e3:.1f} ms), after last {(end - last) * 1e3:.1f} ms"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("points", type=float, nargs="?", default=None)
    parser.add_argument("--chunk", type=float, default=None, help="points per chunk")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--quick", action="store_true", help="1e6 points in chunks of 5e4")
    parser.add_argument("--stream", action="store_true", help="print task-stream figures")
    parser.add_argument("--json", metavar="PATH", help="also write the times for bench/plot.py")
    args = parser.parse_args()
    points = int(args.points or (1e6 if args.quick else 1e8))
    chunk = int(args.chunk or points // 20)

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
        floor(data, -1)  # the workers' first tasks import what the tasks need

        def rotate_on_cluster(r):
            wait(client.persist(kalemtri_dask.rotate(data, QUATS[r])))

        def add_on_cluster(r):
            wait(client.persist(data + ADDENDS[r]))

        operations = {
            "nearest": {
                "floor": lambda r: floor(data, r),
                "one VecList": lambda r: one.minimum_distance_to(TARGETS[r], 1),
                "cluster": lambda r: kalemtri_dask.nearest(data, TARGETS[r]),
            },
            "rotate": {
                "dask points + c": add_on_cluster,
                "one VecList": lambda r: one.rotate(QUATS[r]),
                "cluster": rotate_on_cluster,
            },
        }
        times, streams = {}, {}
        if args.stream:
            client.get_task_stream()  # the first call starts the scheduler's recording
        for name, sides in operations.items():
            runs = {side: [] for side in sides}
            for r in range(args.repeat):
                for side, fn in sides.items():
                    if args.stream and r == args.repeat - 1 and side != "one VecList":
                        begin = time.time()
                        runs[side].append(timed(fn, r))
                        end = begin + runs[side][-1]
                        records = client.get_task_stream(start=begin)
                        streams[name, side] = stream_summary(records, begin, end, args.workers)
                    else:
                        runs[side].append(timed(fn, r))
            times[name] = runs

    print(
        f"{points:.0e} points ({points * 24 / 1e9:.2f} GB) in chunks of {chunk:.0e} on "
        f"{args.workers} workers of one thread; best and median of {args.repeat}, taken in turns; "
        f"load average {os.getloadavg()[0]:.2f}"
    )
    print(f"{'operation':<10} {'side':<17} {'best':>9} {'median':>9}")
    for name, runs in times.items():
        for side, values in runs.items():
            print(
                f"{name:<10} {side:<17} {min(values):>7.3f} s {statistics.median(values):>7.3f} s"
            )
    near, rot = times["nearest"], times["rotate"]
    bound = min(near["floor"]) + 1.25 * min(near["one VecList"])
    print(
        f"nearest: cluster {min(near['cluster']):.3f} s against floor + 1.25 × one VecList "
        f"{bound:.3f} s ({'met' if min(near['cluster']) <= bound else 'missed'})"
    )
    bound = 1.25 * min(rot["dask points + c"])
    print(
        f"rotate: cluster {min(rot['cluster']):.3f} s against 1.25 × dask's addition "
        f"{bound:.3f} s ({'met' if min(rot['cluster']) <= bound else 'missed'})"
    )
    for (name, side), summary in streams.items():
        print(f"{name} {side}: {summary}")
    record = Recorder("dask", "s")
    for name, runs in times.items():
        for side, values in runs.items():
            record.add(name, side, min(values), points=points, chunk=chunk)
    record.write()


if __name__ == "__main__":
    main()
