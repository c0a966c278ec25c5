"""Charts of the benchmarks' JSON measurements (written by `bench_*.py --json PATH`).

Run: python bench/plot.py [JSON_DIR [OUT_DIR]]   (defaults: build/bench and docs/benchmarks)
Reads every *.json in JSON_DIR and writes PNG charts, with a copy of the JSON they come from, into
OUT_DIR:

- vec_list.json: batch.png, per-element time against N for each batch operation, with numpy's
  equivalent and numpy's copy of the same bytes (the memory-bandwidth bound) as lines; and
  objects.png, the steps that make one Python object per element;
- vec3d.json: vec3d.png, per-call time of single-object operations against PyGLM, numpy and a
  plain Python class;
- any other benchmark (the spatial index, Dask, data in and out): one panel per case, time
  against N with one line per implementation, or bars where rows have no N.

Several files of one benchmark (vec_list.json, vec_list-2.json, ...) are runs of it: each chart
shows the best value of every measurement over the runs. A benchmark whose JSON is absent is
skipped. Every chart states the machine, interpreter and date
of its measurements.
"""

import json
import os
import sys
import textwrap
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
from matplotlib.ticker import FuncFormatter, NullFormatter

from results import dumps

COLOURS = {
    "kalemtri": "#3949ab",
    "one VecList": "#3949ab",
    "numpy": "#e65100",
    "numpy copy": "#757575",
    "ndarray.copy()": "#757575",
    "Python class": "#2e7d32",
    "PyGLM": "#8e24aa",
    "cKDTree": "#c62828",
    "pykdtree": "#00838f",
}
PLAIN = FuncFormatter(lambda v, _: f"{v:g}")
# Label the minor ticks 2 and 5 of each decade only: a log axis spanning less than a decade
# otherwise has no label at all.
PLAIN_MINOR = FuncFormatter(lambda v, _: f"{v:g}" if f"{v:.0e}"[0] in "25" else "")
DASHED = {"numpy copy", "ndarray.copy()"}


def provenance(doc):
    """One line on where and when the measurements were taken."""
    m = doc.get("machine", {})
    v = doc.get("versions", {})
    level = f" ({v['kernel_level']} kernels)" if "kernel_level" in v else ""
    peers = ", ".join(f"{k} {v[k]}" for k in sorted(v) if k not in ("kalemtri", "kernel_level"))
    load = m.get("load_average")
    text = (
        f"{m.get('cpu', '?')}, {m.get('cores', '?')} cores, {m.get('system', '?')}; "
        f"{doc.get('python', '?')}; kalemtri {v.get('kalemtri', '?')}{level}"
        f"{'; ' + peers if peers else ''}; measured {doc.get('date', '?')}"
        f"{f'; load average {load[0]:.1f} (a shared machine)' if load else ''}"
    )
    return "\n".join(textwrap.wrap(text, 150))


def colour(impl, others):
    if impl in COLOURS:
        return COLOURS[impl]
    palette = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    return palette[sorted(others).index(impl) % len(palette)]


def finish(fig, doc, title, path):
    fig.suptitle(title, fontsize=13, fontweight="bold")
    fig.text(0.5, 0.005, provenance(doc), ha="center", va="bottom", fontsize=7.5, color="#444")
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"wrote {path}")


def grid(count, ncols=4, size=(3.6, 2.8)):
    ncols = max(1, min(ncols, count))
    nrows = (count + ncols - 1) // ncols
    fig, axes = plt.subplots(
        nrows, ncols, figsize=(size[0] * ncols, size[1] * nrows + 1.2), squeeze=False
    )
    for ax in axes.flat[count:]:
        ax.set_visible(False)
    return fig, list(axes.flat[:count])


def lines_against_n(doc, rows, cases, title, path, bound=None, ylabel=None):
    """One panel per case: value against n, one line per implementation (log-log)."""
    impls = sorted({r["impl"] for r in rows})
    fig, axes = grid(len(cases))
    for ax, case in zip(axes, cases):
        series = {}
        for r in rows:
            if r["case"] == case and "n" in r:
                series.setdefault(r["impl"], []).append((r["n"], r["value"]))
        if bound:
            series.setdefault(bound[0], []).extend(bound[1])
        for impl, points in sorted(series.items(), key=lambda kv: kv[0] != "kalemtri"):
            points.sort()
            ax.plot(
                [n for n, _ in points],
                [v for _, v in points],
                marker="o",
                markersize=3,
                linewidth=1.6,
                linestyle="--" if impl in DASHED else "-",
                color=colour(impl, impls + ([bound[0]] if bound else [])),
                label=impl,
            )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(PLAIN)
        low, high = ax.get_ylim()
        ax.yaxis.set_minor_formatter(PLAIN_MINOR if high < 30 * low else NullFormatter())
        ax.set_title(case, fontsize=10, family="monospace")
        ax.grid(True, which="major", alpha=0.3)
        ax.tick_params(labelsize=8)
        ax.set_xlabel("N", fontsize=8)
        if ylabel:
            ax.set_ylabel(ylabel, fontsize=8)
    handles = {}
    for ax in axes:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(label, handle)
    fig.legend(handles.values(), handles.keys(), loc="upper right", fontsize=9, ncol=len(handles))
    fig.tight_layout(rect=(0, 0.05, 1, 0.95))
    finish(fig, doc, title, path)


def bars(doc, rows, cases, title, path, xlabel):
    """Horizontal bars per case, one per implementation (log scale: they span decades)."""
    impls = []
    for r in rows:
        if r["impl"] not in impls:
            impls.append(r["impl"])
    value = {(r["case"], r["impl"]): r["value"] for r in rows}
    height = 0.8 / len(impls)
    fig, ax = plt.subplots(figsize=(10, 0.55 * len(cases) * max(1, len(impls) / 3) + 1.8))
    for j, impl in enumerate(impls):
        ys = [i + j * height for i, c in enumerate(cases) if (c, impl) in value]
        xs = [value[(c, impl)] for c in cases if (c, impl) in value]
        ax.barh(ys, xs, height=height, color=colour(impl, impls), label=impl)
        for y, x in zip(ys, xs):
            ax.text(x * 1.05, y, f"{x:.0f}" if x >= 100 else f"{x:.3g}", va="center", fontsize=7)
    ax.set_yticks([i + 0.4 - height / 2 for i in range(len(cases))])
    ax.set_yticklabels(cases, family="monospace", fontsize=9)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlim(right=max(value.values()) * 4)  # room for the last label
    ax.set_xlabel(xlabel, fontsize=9)
    ax.grid(True, axis="x", which="major", alpha=0.3)
    fig.tight_layout(rect=(0, 0.06, 1, 0.92))
    fig.legend(loc="upper center", bbox_to_anchor=(0.5, 0.955), fontsize=9, ncol=len(impls))
    finish(fig, doc, title, path)


def ordered_cases(rows):
    cases = []
    for r in rows:
        if r["case"] not in cases:
            cases.append(r["case"])
    return cases


def plot_vec_list(doc, out):
    batch = [r for r in doc["rows"] if r.get("section") == "batch"]
    copy = [(r["n"], r["value"]) for r in batch if r["impl"] == "numpy copy"]
    ops = [r for r in batch if r["impl"] != "numpy copy" and not r["case"].startswith("tolist")]
    written = []
    if ops:
        path = out / "batch.png"
        lines_against_n(
            doc,
            ops,
            ordered_cases(ops),
            "VecList batch operations: time per element (lower is better)",
            path,
            bound=("numpy copy", copy) if copy else None,
            ylabel=f"{doc.get('unit', 'ns per element')}",
        )
        written.append(path)
    objects = [r for r in doc["rows"] if r.get("section") == "objects"]
    if objects:
        path = out / "objects.png"
        lines_against_n(
            doc,
            objects,
            ordered_cases(objects),
            "VecList steps through Python objects: time per element",
            path,
            ylabel=f"{doc.get('unit', 'ns per element')}",
        )
        written.append(path)
    return written


def plot_vec3d(doc, out):
    rows = doc["rows"]
    if not rows:
        return []
    path = out / "vec3d.png"
    bars(
        doc,
        rows,
        ordered_cases(rows),
        "Single objects: time per call (lower is better)",
        path,
        f"{doc.get('unit', 'ns per call')} (log scale)",
    )
    return [path]


def plot_generic(doc, out):
    rows = doc["rows"]
    if not rows:
        return []
    name = doc.get("benchmark", "benchmark")
    path = out / f"{name}.png"
    unit = doc.get("unit", "")
    title = TITLES.get(name, f"{name}: {unit}" if unit else name)
    if all("n" in r for r in rows):
        lines_against_n(doc, rows, ordered_cases(rows), title, path, ylabel=unit)
    else:
        bars(doc, rows, ordered_cases(rows), title, path, unit)
    return [path]


TITLES = {
    "data_io": "Points into and out of VecList: time per call, against numpy's copy",
    "tree": "Spatial index: time against N",
    "dask": "kalemtri_dask against one VecList",
}
PLOTTERS = {"vec_list": plot_vec_list, "vec3d": plot_vec3d}


def merge(docs):
    """Several runs of one benchmark as one: the best value of each measurement.

    On a shared machine a single run catches other jobs at random moments; the minimum over runs
    is the closest to the machine's own speed, as timeit's best-of-N is within one run.
    """
    if len(docs) == 1:
        return docs[0]
    best = {}
    for doc in docs:
        for row in doc["rows"]:
            key = (row.get("section"), row["case"], row["impl"], row.get("n"))
            if key not in best or row["value"] < best[key]["value"]:
                best[key] = row
    merged = dict(docs[0])
    merged["rows"] = list(best.values())
    dates = sorted(d.get("date", "?") for d in docs)
    merged["date"] = f"{dates[0]} to {dates[-1]}, best of {len(docs)} runs"
    loads = [d.get("machine", {}).get("load_average") for d in docs]
    loads = [load for load in loads if load]
    if loads:
        merged["machine"] = dict(merged.get("machine", {}))
        merged["machine"]["load_average"] = min(loads)
    return merged


def read_measurements(source):
    """{benchmark: [(path, document)]} of every measurement file in source."""
    found = {}
    for path in sorted(Path(source).glob("*.json")):
        try:
            doc = json.loads(path.read_text(encoding="utf-8"))
            valid = isinstance(doc["rows"], list) and all(
                isinstance(r, dict) and {"case", "impl", "value"} <= r.keys() for r in doc["rows"]
            )
        except (ValueError, KeyError, TypeError) as e:
            print(f"skipping {path}: not a benchmark measurement ({e})", file=sys.stderr)
            continue
        if not valid:
            print(f"skipping {path}: rows without case, impl and value", file=sys.stderr)
            continue
        found.setdefault(doc.get("benchmark", path.stem), []).append((path, doc))
    return found


def plot_all(source, out):
    source, out = Path(source), Path(out)
    out.mkdir(parents=True, exist_ok=True)
    written = []
    for benchmark, runs in sorted(read_measurements(source).items()):
        doc = merge([doc for _, doc in runs])
        doc.setdefault("benchmark", benchmark)
        charts = PLOTTERS.get(benchmark, plot_generic)(doc, out)
        if charts and source.resolve() != out.resolve():
            for path, run in runs:
                (out / path.name).write_text(dumps(run), encoding="utf-8")
        written += charts
    return written


def main(argv):
    source = argv[1] if len(argv) > 1 else os.path.join("build", "bench")
    out = argv[2] if len(argv) > 2 else os.path.join("docs", "benchmarks")
    if not os.path.isdir(source):
        print(f"no measurements in {source}: run the benchmarks with --json first", file=sys.stderr)
        return 1
    if not plot_all(source, out):
        print(f"no charts: {source} holds no benchmark measurements", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
