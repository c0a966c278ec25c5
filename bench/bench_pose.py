"""Pose and PoseList against scipy's RigidTransform, and Pose.fit against numpy Kabsch, in one run.

Run: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/bench_pose.py [--quick] [--json PATH]
Prints the best time of each case for kalemtri and its peer, and peer/kalemtri (above 1: kalemtri
faster): single poses in ns per call; 1e6 poses or pairs in ms. Needs numpy; scipy >= 1.16 for
RigidTransform (its column is otherwise empty).
"""

import os
import sys
import timeit

import numpy as np

import kalemtri_py
from kalemtri_py import Quat, Vec3d, VecList
from results import Recorder

try:
    from scipy.spatial.transform import RigidTransform, Rotation
except ImportError:
    RigidTransform = Rotation = None

BUDGET = 0.2  # seconds of repeats per measurement


def best_ns(fn):
    """Best time of one call of fn, in ns, over rounds of a calibrated loop."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    rounds = max(3, int(BUDGET / max(timer.timeit(number) / number, 1e-9) / number))
    return min(timer.repeat(repeat=min(rounds, 20), number=number)) / number * 1e9


def best_ms(fn, repeats=5):
    return min(timeit.repeat(fn, number=1, repeat=repeats)) * 1e3


def kabsch(source, target):
    """The numpy code a user writes: centre, 3x3 SVD, reflection fixed."""
    cs, ct = source.mean(axis=0), target.mean(axis=0)
    u, _, vt = np.linalg.svd((source - cs).T @ (target - ct))
    d = np.diag([1.0, 1.0, np.sign(np.linalg.det(vt.T @ u.T))])
    r = vt.T @ d @ u.T
    return r, ct - r @ cs


def main(quick):
    Pose, PoseList = kalemtri_py.Pose, kalemtri_py.PoseList
    rng = np.random.default_rng(1)
    record = Recorder("pose", "ns per call or ms per batch")
    print(f"kernel level: {kalemtri_py._kernel_level}; load average {os.getloadavg()[0]:.2f}")
    print(f"{'case':<34}{'kalemtri':>12}{'peer':>12}{'peer/kal':>10}  peer")

    def row(case, unit, ours, theirs, peer):
        k = ours()
        s = theirs() if theirs else float("nan")
        print(f"{case:<34}{k:>10.2f}{unit:>2}{s:>10.2f}{unit:>2}{s / k:>10.2f}  {peer}")
        record.add(case, "kalemtri", k, section=unit.strip())
        record.add(case, peer, s, section=unit.strip())
        sys.stdout.flush()

    def random_pose():
        q = rng.standard_normal(4)
        return Pose(Quat(*(q / np.linalg.norm(q))), Vec3d(*rng.standard_normal(3)))

    a, b, v = random_pose(), random_pose(), Vec3d(1.0, 2.0, 3.0)

    def scipy_of(p):
        rotation = Rotation.from_quat(p.rotation.to_xyzw())
        t = p.translation
        return RigidTransform.from_components([t.x, t.y, t.z], rotation)

    sa, sb, sv = (scipy_of(a), scipy_of(b), np.array([1.0, 2.0, 3.0])) if Rotation else (0, 0, 0)
    have = RigidTransform is not None
    row(
        "a.then(b)",
        "ns",
        lambda: best_ns(lambda: a.then(b)),
        have and (lambda: best_ns(lambda: sb * sa)),
        "RigidTransform",
    )
    row(
        "a.apply(v)",
        "ns",
        lambda: best_ns(lambda: a.apply(v)),
        have and (lambda: best_ns(lambda: sa.apply(sv))),
        "RigidTransform",
    )
    row(
        "a.inverse()",
        "ns",
        lambda: best_ns(lambda: a.inverse()),
        have and (lambda: best_ns(lambda: sa.inv())),
        "RigidTransform",
    )
    qa, qb = a.rotation, b.rotation
    row("Quat.then (for scale)", "ns", lambda: best_ns(lambda: qa.then(qb)), None, "-")

    n = 10**5 if quick else 10**6
    xyzw = rng.standard_normal((n, 4))
    xyzw /= np.linalg.norm(xyzw, axis=1)[:, None]
    translations = rng.standard_normal((n, 3)) * 10
    rows = np.column_stack([xyzw[:, 3], -xyzw[:, :3], translations])
    poses = PoseList.from_buffer(rows)
    points = rng.standard_normal((n, 3)) * 10
    vl = VecList.from_buffer(points)
    many = RigidTransform.from_components(translations, Rotation.from_quat(xyzw)) if have else 0
    tag = f"1e{len(str(n)) - 1}"
    row(
        f"PoseList.then(p), {tag}",
        "ms",
        lambda: best_ms(lambda: poses.then(b)),
        have and (lambda: best_ms(lambda: sb * many)),
        "RigidTransform",
    )
    row(
        f"PoseList.apply(vectors), {tag}",
        "ms",
        lambda: best_ms(lambda: poses.apply(vl)),
        have and (lambda: best_ms(lambda: many.apply(points))),
        "RigidTransform",
    )
    row(
        f"PoseList.inverse(), {tag}",
        "ms",
        lambda: best_ms(lambda: poses.inverse()),
        have and (lambda: best_ms(lambda: many.inv())),
        "RigidTransform",
    )
    row(
        f"Pose.apply(VecList), {tag}",
        "ms",
        lambda: best_ms(lambda: a.apply(vl)),
        lambda: best_ms(lambda: vl.rotated(a.rotation)),
        "VecList.rotated",
    )
    row(
        f"Pose.apply(VecList), {tag}",
        "ms",
        lambda: best_ms(lambda: a.apply(vl)),
        have and (lambda: best_ms(lambda: sa.apply(points))),
        "RigidTransform",
    )
    target = np.asarray(a.apply(vl)) + rng.standard_normal((n, 3)) * 0.01
    row(
        f"Pose.fit, {tag} pairs",
        "ms",
        lambda: best_ms(lambda: Pose.fit(vl, target)),
        lambda: best_ms(lambda: kabsch(points, target)),
        "numpy Kabsch",
    )
    record.write()


if __name__ == "__main__":
    main("--quick" in sys.argv)
