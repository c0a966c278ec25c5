"""Single-object operations: kalemtri_py against a pure-Python class and numpy 3-element arrays.

Run: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/bench_vec3d.py
Prints ns per operation (best of several repeats) and the ratio of each alternative to kalemtri_py.
"""

import math
import sys
import timeit

from kalemtri_py import AngleRadians, Quat, Vec3d

try:
    import numpy as np
except ImportError:  # numpy is optional here
    np = None


class PyVec:
    __slots__ = ("x", "y", "z")

    def __init__(self, x, y, z):
        self.x, self.y, self.z = x, y, z

    def __add__(self, o):
        return PyVec(self.x + o.x, self.y + o.y, self.z + o.z)

    def __mul__(self, s):
        return PyVec(self.x * s, self.y * s, self.z * s)

    def dot(self, o):
        return (self.x * o.x + self.y * o.y) + self.z * o.z

    def cross(self, o):
        return PyVec(
            self.y * o.z - self.z * o.y, self.z * o.x - self.x * o.z, self.x * o.y - self.y * o.x
        )

    def magnitude(self):
        return math.sqrt((self.x * self.x + self.y * self.y) + self.z * self.z)

    def normalize(self):
        m = self.magnitude()
        return PyVec(self.x / m, self.y / m, self.z / m)

    def __repr__(self):
        return f"Vec3d({self.x!r}, {self.y!r}, {self.z!r})"


# name: (kalemtri statement, pure-Python statement, numpy statement or None)
CASES = {
    "construct": ("Vec3d(1.0, 2.0, 3.0)", "PyVec(1.0, 2.0, 3.0)", "np.array((1.0, 2.0, 3.0))"),
    "a + b": ("a + b", "pa + pb", "na + nb"),
    "a * 2.0": ("a * 2.0", "pa * 2.0", "na * 2.0"),
    "a.dot(b)": ("a.dot(b)", "pa.dot(pb)", "na.dot(nb)"),
    "a.cross(b)": ("a.cross(b)", "pa.cross(pb)", "np.cross(na, nb)"),
    "a.magnitude()": ("a.magnitude()", "pa.magnitude()", "np.linalg.norm(na)"),
    "a.normalize()": ("a.normalize()", "pa.normalize()", "na / np.linalg.norm(na)"),
    "a.x": ("a.x", "pa.x", "na[0]"),
    "repr(a)": ("repr(a)", "repr(pa)", "repr(na)"),
    "q.rotate(a)": ("q.rotate(a)", None, "R @ na"),
    "Quat.from_axis_angle": ("Quat.from_axis_angle(b, t)", None, None),
    "a.angle_to(b)": (
        "a.angle_to(b)",
        None,
        "np.arccos(np.clip(na.dot(nb) / (np.linalg.norm(na) * np.linalg.norm(nb)), -1, 1))",
    ),
}


def setup_namespace():
    ns = {"Vec3d": Vec3d, "PyVec": PyVec, "np": np, "Quat": Quat}
    ns["a"], ns["b"] = Vec3d(1.5, -2.25, 3.0), Vec3d(0.5, 4.0, -1.0)
    ns["pa"], ns["pb"] = PyVec(1.5, -2.25, 3.0), PyVec(0.5, 4.0, -1.0)
    if np is not None:
        ns["na"], ns["nb"] = np.array((1.5, -2.25, 3.0)), np.array((0.5, 4.0, -1.0))
    try:
        ns["t"] = AngleRadians(0.75)
        ns["q"] = Quat.from_axis_angle(Vec3d(0.0, 0.0, 1.0), AngleRadians(0.75))
        if np is not None:
            ns["R"] = np.array(ns["q"].to_rotation_matrix()).T
    except TypeError:  # a build without the angle and quaternion classes
        pass
    return ns


def ns_per_op(stmt, ns, number=200_000, repeat=5):
    if stmt is None:
        return None
    try:
        best = min(timeit.repeat(stmt, globals=ns, number=number, repeat=repeat))
    except Exception:  # a statement for a class this build lacks
        return None
    return best / number * 1e9


def main():
    ns = setup_namespace()
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__ if np else 'absent'}")
    print(
        f"{'operation':<24}{'kalemtri ns':>12}{'python ns':>11}{'ratio':>8}{'numpy ns':>11}{'ratio':>8}"
    )
    for name, (ours, python, numpy_stmt) in CASES.items():
        k = ns_per_op(ours, ns)
        p = ns_per_op(python, ns)
        n = ns_per_op(numpy_stmt, ns, number=50_000) if np is not None else None

        def cell(v, width):
            return f"{v:>{width}.1f}" if v is not None else f"{'-':>{width}}"

        def ratio(v):
            return f"{v / k:>7.1f}x" if v is not None and k else f"{'-':>8}"

        print(f"{name:<24}{cell(k, 12)}{cell(p, 11)}{ratio(p)}{cell(n, 11)}{ratio(n)}")


if __name__ == "__main__":
    # --json PATH also writes the measurements, with a PyGLM dvec3 table, for bench/plot.py.
    from results import run_recorded
    from vec3d_pyglm import table

    run_recorded(sys.modules[__name__], "vec3d", extra=table)
