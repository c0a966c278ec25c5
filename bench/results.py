"""Benchmark measurements as JSON, for bench/plot.py.

Every bench script takes `--json PATH` and then writes one file:

    {"benchmark": "vec_list", "date": "2026-12-08T07:50:00Z",
     "python": "CPython 3.11.2", "machine": {"cpu": ..., "cores": 2, "system": ..., ...},
     "versions": {"kalemtri": "0.1.0", "numpy": ..., "kernel_level": "avx2"},
     "unit": "ns per element",
     "rows": [{"section": "batch", "case": "v + o", "impl": "kalemtri", "n": 1000,
               "value": 0.61}, ...]}

`impl` names what was measured (kalemtri, numpy, numpy copy, Python class, PyGLM, cKDTree, ...);
`n` is the problem size where there is one; `value` is the best time in `unit`.

`best_ns_per_element` is the timing loop the per-element benchmarks share.
"""

import datetime
import gc
import math
import os
import platform
import sys
import time


def json_path(argv):
    """The PATH of `--json PATH` (or `--json=PATH`) in argv, or None."""
    for i, arg in enumerate(argv):
        if arg == "--json" and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith("--json="):
            return arg.split("=", 1)[1]
    return None


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            names = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
        if names:
            cpu = names[0]
    except OSError:
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()} {platform.machine()}",
        "load_average": [round(x, 2) for x in os.getloadavg()],
    }


def versions():
    from importlib.metadata import PackageNotFoundError, version

    found = {}
    try:
        found["kalemtri"] = version("kalemtri")
    except PackageNotFoundError:  # a build tree without installed metadata
        pass
    try:
        import kalemtri_py

        found["kernel_level"] = getattr(kalemtri_py, "_kernel_level", "baseline")
    except ImportError:
        pass
    # Versions of the peers a benchmark imported.
    for module, distribution in (
        ("numpy", "numpy"),
        ("glm", "PyGLM"),
        ("scipy", "scipy"),
        ("pykdtree", "pykdtree"),
        ("dask", "dask"),
        ("open3d", "open3d"),
    ):
        if module in sys.modules:
            try:
                found[distribution] = version(distribution)
            except PackageNotFoundError:
                pass
    return found


def dumps(doc):
    """The measurement document as JSON text, one row a line: readable, and small enough to keep
    beside the charts."""
    import json

    doc = dict(doc)
    rows = doc.pop("rows", [])
    head = json.dumps(doc, indent=1)[:-2]
    if not rows:
        return f'{head},\n "rows": []\n}}\n'
    body = ",\n".join(f"  {json.dumps(row)}" for row in rows)
    return f'{head},\n "rows": [\n{body}\n ]\n}}\n'


class Recorder:
    """Collects rows and writes them to the `--json` path of argv, when one was given."""

    def __init__(self, benchmark, unit, argv=None):
        self.benchmark, self.unit = benchmark, unit
        self.path = json_path(sys.argv if argv is None else argv)
        self.rows = []
        self.started = datetime.datetime.now(datetime.timezone.utc)

    def add(self, case, impl, value, n=None, section=None, **extra):
        if value is None or math.isnan(value):  # not measured
            return
        row = {"case": case, "impl": impl, "value": float(value)}
        if n is not None:
            row["n"] = int(n)
        if section is not None:
            row["section"] = section
        row.update(extra)
        self.rows.append(row)

    def document(self):
        return {
            "benchmark": self.benchmark,
            "date": self.started.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "python": f"{platform.python_implementation()} {platform.python_version()}",
            "machine": machine(),
            "versions": versions(),
            "unit": self.unit,
            "rows": self.rows,
        }

    def write(self):
        if self.path is None:
            return None
        directory = os.path.dirname(self.path)
        if directory:
            os.makedirs(directory, exist_ok=True)
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(dumps(self.document()))
        print(f"measurements written to {self.path}")
        return self.path


# The case tables of bench_vec3d.py: which implementation each statement column times.
COLUMNS = {
    "CASES": ("kalemtri", "Python class", "numpy"),
    "QUAT_CASES": ("kalemtri", "PyGLM", "numpy-quaternion"),
}


def run_recorded(module, benchmark, unit="ns per call", extra=None):
    """Runs module.main() as it is and records what its ns_per_op timed.

    The script's own tables and printing stay as they are: each timed statement is found again
    in the module's case tables (COLUMNS) to name its case and implementation. extra(module,
    record), when given, runs afterwards and may add rows of its own.
    """
    record = Recorder(benchmark, unit)
    timed, original = {}, module.ns_per_op

    def ns_per_op(stmt, ns, *args, **kwargs):
        value = original(stmt, ns, *args, **kwargs)
        if value is not None:
            timed[stmt] = min(value, timed.get(stmt, value))
        return value

    module.ns_per_op = ns_per_op
    try:
        module.main()
        for table, impls in COLUMNS.items():
            for case, statements in getattr(module, table, {}).items():
                for impl, stmt in zip(impls, statements):
                    if stmt in timed:
                        record.add(case, impl, timed[stmt], statement=stmt)
        if extra is not None:
            extra(module, record)
    finally:
        module.ns_per_op = original
    record.write()
    return record


def best_ns_per_element(fn, n, budget, max_reps, three_from=None):
    """Best wall time of fn() over repeats, in ns per element. Calls shorter than a millisecond
    run in loops; repeats go on for `budget` seconds, at least 3 and at most `max_reps`, or just
    3 where n is at least `three_from`."""
    t = time.perf_counter()
    fn()
    once = time.perf_counter() - t
    number = max(1, int(1e-3 / max(once, 1e-9)))
    reps, times = 0, []
    start = time.perf_counter()
    while reps < 3 or (time.perf_counter() - start < budget and reps < max_reps):
        t = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t) / number)
        reps += 1
        if three_from is not None and n >= three_from and reps >= 3:
            break
    return min(times) * 1e9 / n


def best(fn, repeats):
    """The best wall time of fn() over `repeats` calls, each after a garbage collection, in s."""
    times = []
    for _ in range(repeats):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)
