"""Single-object operations: kalemtri_py against a pure-Python class and numpy 3-element arrays;
the quaternion calls against PyGLM's dquat and numpy-quaternion (each optional).

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
    np = None  # type: ignore[assignment]
try:
    import glm
except ImportError:
    glm = None
try:
    import quaternion as npq  # numpy-quaternion
except ImportError:
    npq = None


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


# name: (kalemtri statement, PyGLM statement, numpy-quaternion statement); None where a library has
# no such call. Compositions are written in each library's order for "q, then p".
QUAT_CASES = {
    "q.then(p)": ("q.then(p)", "gp * gq", "nP * nq"),
    "q.inverse()": ("q.inverse()", "glm.inverse(gq)", "nq.inverse()"),
    "q.rotate(a)": ("q.rotate(a)", "gq * ga", "npq.rotate_vectors(nq, na)"),
    "q.to_matrix()": ("q.to_matrix()", "glm.mat3_cast(gq)", "npq.as_rotation_matrix(nq)"),
    "from_rotation_matrix(list)": ("Quat.from_rotation_matrix(m)", "glm.quat_cast(gm)", None),
    "from_rotation_matrix(array)": (
        "Quat.from_rotation_matrix(M)",
        None,
        "npq.from_rotation_matrix(M)",
    ),
    "q.axis_angle()": (
        "q.axis_angle()",
        "(glm.axis(gq), glm.angle(gq))",
        "npq.as_rotation_vector(nq)",
    ),
    "Quat.slerp(q, p, 0.3)": (
        "Quat.slerp(q, p, 0.3)",
        "glm.slerp(gq, gp, 0.3)",
        "npq.slerp_evaluate(nq, nP, 0.3)",
    ),
    "Quat.from_euler": (
        "Quat.from_euler('xyz', t, t, t)",
        "glm.dquat(ge)",
        "npq.from_euler_angles(0.75, 0.75, 0.75)",
    ),
    "q.to_euler('xyz')": ("q.to_euler('xyz')", "glm.eulerAngles(gq)", "npq.as_euler_angles(nq)"),
    "Quat.between(a, b)": ("Quat.between(a, b)", "glm.dquat(gna, gnb)", None),
}


def quat_namespace(ns):
    """PyGLM and numpy-quaternion copies of q, p, a, b and the matrices, where installed."""
    q, p = ns["q"], ns["q"].then(Quat(0.9, 0.1, -0.3, 0.2).normalize())
    ns.update(p=p, m=q.to_matrix(), glm=glm, npq=npq)
    # PyGLM and numpy-quaternion rotate by q v conj(q): the conjugate applies what q.rotate does.
    if glm is not None:
        ns["gq"], ns["gp"] = (glm.dquat(x.w, -x.i, -x.j, -x.k) for x in (q, p))
        ns["ga"] = glm.dvec3(1.5, -2.25, 3.0)
        ns["gna"], ns["gnb"] = glm.normalize(ns["ga"]), glm.normalize(glm.dvec3(0.5, 4.0, -1.0))
        ns["gm"], ns["ge"] = glm.mat3_cast(ns["gq"]), glm.dvec3(0.75, 0.75, 0.75)
    if npq is not None and np is not None:
        ns["nq"], ns["nP"] = (np.quaternion(x.w, -x.i, -x.j, -x.k) for x in (q, p))
        ns["M"] = np.array(ns["m"])
    return ns


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
    except Exception:  # noqa: BLE001 - a statement for a class this build lacks
        return None
    return best / number * 1e9


def cell(v, width):
    return f"{v:>{width}.1f}" if v is not None else f"{'-':>{width}}"


def ratio_to(k):
    return lambda v: f"{v / k:>7.1f}x" if v is not None and k else f"{'-':>8}"


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
        ratio = ratio_to(k)
        print(f"{name:<24}{cell(k, 12)}{cell(p, 11)}{ratio(p)}{cell(n, 11)}{ratio(n)}")
    if "q" not in ns:
        return
    ns = quat_namespace(ns)
    print(
        f"\nPyGLM {glm.__version__ if glm else 'absent'}, numpy-quaternion "
        f"{getattr(npq, '__version__', '?') if npq else 'absent'}"
    )
    print(
        f"{'operation':<28}{'kalemtri ns':>12}{'PyGLM ns':>10}{'ratio':>8}{'npq ns':>10}{'ratio':>8}"
    )
    for name, (ours, g, nq) in QUAT_CASES.items():
        k = ns_per_op(ours, ns)
        p = ns_per_op(g, ns) if glm is not None else None
        n = ns_per_op(nq, ns, number=50_000) if npq is not None else None
        ratio = ratio_to(k)
        print(f"{name:<28}{cell(k, 12)}{cell(p, 10)}{ratio(p)}{cell(n, 10)}{ratio(n)}")


if __name__ == "__main__":
    # --json PATH also writes the measurements, with a PyGLM dvec3 table, for bench/plot.py.
    from results import run_recorded
    from vec3d_pyglm import table

    run_recorded(sys.modules[__name__], "vec3d", extra=table)
