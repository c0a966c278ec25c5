"""A point cloud on a Dask cluster: rotate it, normalise it, find the point nearest to a target.

    pip install kalemtri[dask]
    python examples/dask_cloud.py                       # a 2-process LocalCluster on this machine
    python examples/dask_cloud.py --points 100000000    # 10^8 points (2.4 GB on the workers)
    python examples/dask_cloud.py --scheduler tcp://10.0.0.5:8786   # an existing cluster

The cloud is made on the workers, chunk by chunk; only the answers come back.
"""

import argparse
import math
import os
import time

import dask.array as da
from dask.distributed import Client, LocalCluster, wait

import kalemtri_dask
from kalemtri_py import AngleRadians, Quat, Vec3d, VecList


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10_000_000, help="number of points")
    parser.add_argument("--chunk", type=int, default=2_000_000, help="points per chunk")
    parser.add_argument(
        "--scheduler", help="address of a running scheduler (default: start a LocalCluster)"
    )
    parser.add_argument(
        "--check",
        action=argparse.BooleanOptionalAction,
        help="compare with one VecList in this process (default: up to 2e7 points)",
    )
    args = parser.parse_args()

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        # Each worker's tasks run kalemtri on that worker's threads: together, the cores.
        threads = max(len(os.sched_getaffinity(0)) // 2, 1)
        cluster = LocalCluster(
            n_workers=2, threads_per_worker=threads, processes=True, dashboard_address=None
        )
        client = Client(cluster)
    print(f"cluster: {len(client.scheduler_info()['workers'])} workers")

    def timed(label, fn):
        start = time.perf_counter()
        result = fn()
        print(f"{label:<28} {time.perf_counter() - start:8.3f} s")
        return result

    def persisted(array):
        array = client.persist(array)
        wait(array)
        return array

    # Points around a sphere of radius 1000, made on the workers chunk by chunk and kept there.
    rng = da.random.default_rng(2026)
    cloud = rng.normal(size=(args.points, 3), chunks=(args.chunk, 3)) * 1000.0
    cloud = timed(f"make {args.points:,} points", lambda: persisted(cloud))

    quat = Quat.from_axis_angle(Vec3d(1.0, 1.0, 0.0).normalize(), AngleRadians(math.pi / 5))
    rotated = timed("rotate", lambda: persisted(kalemtri_dask.rotate(cloud, quat)))
    unit = timed(
        "normalize",
        lambda: persisted(kalemtri_dask.map_vec_list(rotated, lambda v: v.normalize())),
    )
    target = Vec3d(0.5, -0.5, math.sqrt(0.5))
    index, distance = timed("nearest to the target", lambda: kalemtri_dask.nearest(unit, target))
    x, y, z = unit[index].compute().tolist()
    print(f"nearest: point {index:,} ({x!r}, {y!r}, {z!r}) at distance {distance!r}")

    check = args.check if args.check is not None else args.points <= 20_000_000
    if check:
        one = VecList.from_buffer(unit.compute())
        same = one.minimum_distance_to(target, 1) == (index, distance)
        print(f"one VecList of the same points here gives the same answer: {same}")

    client.close()


if __name__ == "__main__":
    main()
