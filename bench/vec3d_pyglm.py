"""The single-vector operations of bench_vec3d.py with PyGLM's double-precision dvec3.

PyGLM is optional: without it this table is left out. Run through bench_vec3d.py.
"""

# case name of bench_vec3d.CASES: the same operation on glm.dvec3
CASES = {
    "construct": "glm.dvec3(1.0, 2.0, 3.0)",
    "a + b": "ga + gb",
    "a * 2.0": "ga * 2.0",
    "a.dot(b)": "glm.dot(ga, gb)",
    "a.cross(b)": "glm.cross(ga, gb)",
    "a.magnitude()": "glm.length(ga)",
    "a.normalize()": "glm.normalize(ga)",
    "a.x": "ga.x",
    "repr(a)": "repr(ga)",
    # glm rotates by q v conj(q); conj(q) applies what kalemtri's q.rotate does.
    "q.rotate(a)": "gq * ga",
    "Quat.from_axis_angle": "glm.angleAxis(0.75, gz)",
}


def table(bench, record):
    """Times CASES with bench's own timer, prints them beside kalemtri's, records them."""
    try:
        import glm
    except ImportError:
        print("\nPyGLM absent: no dvec3 comparison")
        return
    ns = bench.setup_namespace()
    ns.update(glm=glm, gz=glm.dvec3(0.0, 0.0, 1.0))
    ns["ga"], ns["gb"] = glm.dvec3(1.5, -2.25, 3.0), glm.dvec3(0.5, 4.0, -1.0)
    if "q" in ns:
        q = ns["q"]
        ns["gq"] = glm.dquat(q.w, -q.i, -q.j, -q.k)
    print(f"\nPyGLM {glm.__version__} dvec3 and dquat (double precision)")
    print(f"{'operation':<24}{'kalemtri ns':>12}{'PyGLM ns':>11}{'ratio':>8}")
    for name, stmt in CASES.items():
        ours = bench.CASES.get(name, (None,))[0]
        k = bench.ns_per_op(ours, ns)
        g = bench.ns_per_op(stmt, ns)
        record.add(name, "PyGLM", g, statement=stmt)
        cells = [f"{v:>{w}.1f}" if v is not None else f"{'-':>{w}}" for v, w in ((k, 12), (g, 11))]
        ratio = f"{g / k:>7.1f}x" if k and g else f"{'-':>8}"
        print(f"{name:<24}{cells[0]}{cells[1]}{ratio}")
