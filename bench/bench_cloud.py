"""Point-cloud work against Open3D and scipy's cKDTree, in the same run.

Run: python bench/bench_cloud.py [--quick] [--json PATH]   (needs numpy; open3d and scipy when
present; Open3D on Debian needs libusb-1.0-0, libgl1 and libgomp1)
Prints the best wall time of each case for kalemtri and each peer, and the peer's time over
kalemtri's (above 1: kalemtri faster):
  - ICP, 30 point-to-point iterations of a moved copy of N = 2e5 points onto the points, every
    point matched, the tree build included (Open3D's registration_icp builds its own);
  - normals with k = 16 on N = 1e6 points, the tree build included (estimate_normals builds one);
  - voxel thinning of N = 1e6 points in [-10, 10]^3 into cubes of 0.1 (Open3D, and numpy's
    unique with add.at);
  - M = N = 1e6 nearest-point queries (k = 1) on a built index: cKDTree (workers=-1) and Open3D's
    tensor NearestNeighborSearch;
  - bounded nearest queries (cKDTree's distance_upper_bound) and neighbour counts within a radius
    (cKDTree's query_ball_point with return_length), where VecTree has those methods.
Where VecTree has no icp(), ICP is the Python loop of nearest_many and Pose.fit. The ICP row also
gives the largest difference between kalemtri's and Open3D's pose matrices. --quick divides every
size by 10.
"""

import math
import sys
import time

import numpy as np

import kalemtri_py
from results import Recorder, best

try:
    from scipy.spatial import cKDTree
except ImportError:
    cKDTree = None
try:
    import open3d as o3d
except ImportError:
    o3d = None

VecList, VecTree, Pose = kalemtri_py.VecList, kalemtri_py.VecTree, kalemtri_py.Pose
ITERATIONS = 30


def moved(points, rng):
    """The points turned by a few degrees and shifted a little: every point finds a match."""
    angle = np.deg2rad(4.0)
    c, s = np.cos(angle), np.sin(angle)
    rotation = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
    return points @ rotation.T + rng.normal(scale=0.02, size=3)


def icp_loop(target, source):
    """ICP as a Python loop: nearest_many, then Pose.fit of the matched pairs."""
    tree = VecTree(target)
    src = VecList.from_buffer(source)
    pose = Pose.identity()
    for _ in range(ITERATIONS):
        now = pose.apply(src)
        index, _ = tree.nearest_many(now)
        pose = pose.then(Pose.fit(now, target[np.asarray(index)]))
    return pose


def icp_kalemtri(target, source):
    if hasattr(VecTree, "icp"):
        return VecTree(target).icp(source, iterations=ITERATIONS).pose
    return icp_loop(target, source)


def icp_open3d(target, source):
    reg = o3d.pipelines.registration
    criteria = reg.ICPConvergenceCriteria(
        relative_fitness=0.0, relative_rmse=0.0, max_iteration=ITERATIONS
    )
    result = reg.registration_icp(
        o3d_cloud(source), o3d_cloud(target), 1e6, np.eye(4),
        reg.TransformationEstimationPointToPoint(), criteria,
    )  # fmt: skip
    return np.asarray(result.transformation)


def o3d_cloud(points):
    return o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))


def case_icp(n, rng, reps):
    target = rng.uniform(-10, 10, (n, 3))
    source = moved(target, rng)
    label = "ICP, 30 iterations" + ("" if hasattr(VecTree, "icp") else " (Python loop)")
    rows = {"kalemtri": best(lambda: icp_kalemtri(target, source), reps)}
    note = ""
    if o3d:
        rows["Open3D"] = best(lambda: icp_open3d(target, source), reps)
        mine = np.array(icp_kalemtri(target, source).to_matrix())
        note = f"pose differs by {np.abs(mine - icp_open3d(target, source)).max():.1e}"
    return label, n, rows, note


def case_normals(n, rng, reps):
    points = rng.uniform(-10, 10, (n, 3))
    rows = {"kalemtri": best(lambda: VecTree(points).normals(16), reps)}
    if o3d:
        param = o3d.geometry.KDTreeSearchParamKNN(16)
        times = []
        for _ in range(reps):
            cloud = o3d_cloud(points)  # fresh: existing normals would steer the orientation
            t = time.perf_counter()
            cloud.estimate_normals(param)
            times.append(time.perf_counter() - t)
        rows["Open3D"] = min(times)
    return "normals, k = 16", n, rows, "tree build included"


def numpy_voxels(points, size):
    cube = np.floor(points / size)
    keys, inverse, counts = np.unique(cube, axis=0, return_inverse=True, return_counts=True)
    sums = np.zeros((len(keys), 3))
    np.add.at(sums, inverse.reshape(-1), points)
    return sums / counts[:, None]


def case_voxels(n, rng, reps):
    points = rng.uniform(-10, 10, (n, 3))
    v = VecList.from_buffer(points)
    rows = {"kalemtri": best(lambda: v.voxel_down_sample(0.1), reps)}
    if o3d:
        cloud = o3d_cloud(points)
        rows["Open3D"] = best(lambda: cloud.voxel_down_sample(0.1), reps)
    rows["numpy unique"] = best(lambda: numpy_voxels(points, 0.1), reps)
    return "voxels of 0.1", n, rows, f"{len(v.voxel_down_sample(0.1))} cubes"


def query_cases(n, rng, reps):
    points, queries = rng.random((n, 3)), rng.random((n, 3))
    tree = VecTree(points)
    ck = cKDTree(points) if cKDTree else None
    # About 8 points within r of a typical target.
    r = (8 / n * 3 / (4 * math.pi)) ** (1 / 3)
    rows = {"kalemtri": best(lambda: tree.nearest_many(queries), reps)}
    if ck:
        rows["cKDTree"] = best(lambda: ck.query(queries, k=1, workers=-1), reps)
    if o3d:
        nns = o3d.core.nns.NearestNeighborSearch(o3d.core.Tensor(points))
        nns.knn_index()
        q = o3d.core.Tensor(queries)
        rows["Open3D"] = best(lambda: nns.knn_search(q, 1), reps)
    out = [("nearest, k = 1", n, rows, "index built")]
    bound = r / 2
    rows = {}
    try:
        rows["kalemtri"] = best(lambda: tree.nearest_many(queries, max_distance=bound), reps)
    except TypeError:  # no bounded form yet
        pass
    if rows and ck:
        rows["cKDTree"] = best(
            lambda: ck.query(queries, k=1, distance_upper_bound=bound, workers=-1), reps
        )
    if rows:
        out.append(("nearest within a bound", n, rows, "about 1 point in 16 matched"))
    if hasattr(VecTree, "count_within_many"):
        rows = {"kalemtri": best(lambda: tree.count_within_many(queries, r), reps)}
        if ck:
            rows["cKDTree"] = best(
                lambda: ck.query_ball_point(queries, r, workers=-1, return_length=True), reps
            )
        out.append(("count within a radius", n, rows, "about 8 points each"))
    return out


def fmt(seconds):
    return f"{seconds * 1e3:.0f} ms" if seconds >= 0.01 else f"{seconds * 1e3:.2f} ms"


def main():
    scale = 10 if "--quick" in sys.argv else 1
    rng = np.random.default_rng(20261209)
    reps = 3
    cases = [
        case_icp(200_000 // scale, rng, reps),
        case_normals(1_000_000 // scale, rng, reps),
        case_voxels(1_000_000 // scale, rng, reps),
        *query_cases(1_000_000 // scale, rng, reps),
    ]
    record = Recorder("cloud", "s")
    for case, n, rows, _ in cases:
        for impl, value in rows.items():
            record.add(case, impl, value, n)
    record.write()
    if not o3d:
        print("open3d is not installed: no Open3D columns")
    print("| case | N | kalemtri | peer | peer time | peer / kalemtri | note |")
    print("|---|---|---|---|---|---|---|")
    for case, n, rows, note in cases:
        mine = rows["kalemtri"]
        peers = [(name, t) for name, t in rows.items() if name != "kalemtri"] or [("-", math.nan)]
        for name, t in peers:
            ratio = f"{t / mine:.2f}" if t == t else "-"
            peer_time = fmt(t) if t == t else "-"
            print(f"| {case} | {n:.0e} | {fmt(mine)} | {name} | {peer_time} | {ratio} | {note} |")


if __name__ == "__main__":
    main()
