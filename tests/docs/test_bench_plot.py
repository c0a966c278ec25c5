"""The benchmarks' JSON output and the chart step that reads it."""

import json
import sys

import pytest

from docsite import ROOT

sys.path.insert(0, str(ROOT / "bench"))
pytest.importorskip("matplotlib")
plot = pytest.importorskip("plot")
results = pytest.importorskip("results")


@pytest.mark.parametrize(
    ("argv", "path"),
    [
        (["bench.py"], None),
        (["bench.py", "--quick", "--json", "out/x.json"], "out/x.json"),
        (["bench.py", "--json=out/y.json", "--quick"], "out/y.json"),
        (["bench.py", "--json"], None),
    ],
)
def test_json_path(argv, path):
    assert results.json_path(argv) == path


def test_recorder_writes_a_measurement_document(tmp_path):
    path = tmp_path / "deeper" / "vec3d.json"
    record = results.Recorder("vec3d", "ns per call", argv=["b", "--json", str(path)])
    record.add("a + b", "kalemtri", 27.5)
    record.add("a + b", "numpy", None)  # not measured: no row
    record.add("a + b", "PyGLM", float("nan"))
    record.add("v + o", "kalemtri", 0.61, n=1000, section="batch", returns="VecList")
    assert record.write() == str(path)
    doc = json.loads(path.read_text())
    assert doc["benchmark"] == "vec3d" and doc["unit"] == "ns per call"
    assert doc["rows"] == [
        {"case": "a + b", "impl": "kalemtri", "value": 27.5},
        {
            "case": "v + o",
            "impl": "kalemtri",
            "value": 0.61,
            "n": 1000,
            "section": "batch",
            "returns": "VecList",
        },
    ]
    assert doc["python"].startswith("CPython ") or doc["python"]
    assert doc["machine"]["cores"] >= 1 and doc["date"].endswith("Z")


def test_recorder_without_json_writes_nothing(tmp_path):
    assert results.Recorder("vec3d", "ns", argv=["b"]).write() is None


def _doc(benchmark, rows, date="2026-12-08T08:00:00Z", load=1.5):
    return {
        "benchmark": benchmark,
        "date": date,
        "python": "CPython 3.11.7",
        "machine": {"cpu": "Test CPU", "cores": 2, "system": "Linux", "load_average": [load]},
        "versions": {"kalemtri": "0.1.0", "kernel_level": "avx2", "numpy": "2.4.6"},
        "unit": "ns per element",
        "rows": rows,
    }


def _batch(n, kal, num, copy):
    return [
        {"section": "batch", "case": "v + o", "impl": "kalemtri", "n": n, "value": kal},
        {"section": "batch", "case": "v + o", "impl": "numpy", "n": n, "value": num},
        {"section": "batch", "case": "copy", "impl": "numpy copy", "n": n, "value": copy},
    ]


def test_merge_keeps_the_best_of_each_measurement():
    first = _doc("vec_list", _batch(1000, 0.9, 5.0, 0.5), "2026-12-08T08:00:00Z", 9.0)
    second = _doc("vec_list", _batch(1000, 0.6, 7.0, 0.4), "2026-12-08T08:30:00Z", 3.0)
    merged = plot.merge([first, second])
    best = {(r["case"], r["impl"]): r["value"] for r in merged["rows"]}
    assert best == {
        ("v + o", "kalemtri"): 0.6,
        ("v + o", "numpy"): 5.0,
        ("copy", "numpy copy"): 0.4,
    }
    assert "best of 2 runs" in merged["date"] and merged["date"].startswith("2026-12-08T08:00")
    assert merged["machine"]["load_average"] == [3.0]
    assert first["rows"][0]["value"] == 0.9  # the inputs are left as they were


def test_provenance_names_machine_interpreter_and_date():
    text = plot.provenance(_doc("vec3d", []))
    for part in ("Test CPU", "2 cores", "CPython 3.11.7", "avx2", "2026-12-08T08:00:00Z", "numpy"):
        assert part in text


def test_plot_all_charts_what_is_there_and_skips_the_rest(tmp_path, capsys):
    source, out = tmp_path / "json", tmp_path / "charts"
    source.mkdir()
    rows = _batch(1000, 0.5, 4.0, 0.4) + _batch(10**6, 0.6, 8.0, 1.5)
    rows.append({"section": "objects", "case": ".list", "impl": "kalemtri", "n": 10, "value": 20})
    (source / "vec_list.json").write_text(json.dumps(_doc("vec_list", rows)))
    (source / "vec_list-2.json").write_text(json.dumps(_doc("vec_list", rows[:3])))
    calls = [{"case": "a + b", "impl": i, "value": v} for i, v in (("kalemtri", 27), ("PyGLM", 44))]
    (source / "vec3d.json").write_text(json.dumps(_doc("vec3d", calls)))
    # A benchmark this step has no special chart for: one panel per case, a line per impl.
    tree = [
        {"case": "query", "impl": impl, "n": n, "value": n * k}
        for impl, k in (("kalemtri", 1), ("cKDTree", 3), ("pykdtree", 2))
        for n in (10**3, 10**5)
    ]
    (source / "tree.json").write_text(json.dumps(_doc("tree", tree)))
    # Rows without N become bars.
    dask = [{"case": "nearest", "impl": "2 workers", "value": 0.48}]
    (source / "dask.json").write_text(json.dumps(_doc("dask", dask)))
    (source / "broken.json").write_text("{not json")
    (source / "other.json").write_text(json.dumps({"rows": [{"case": "x"}]}))

    written = plot.plot_all(source, out)

    names = sorted(p.name for p in written)
    assert names == ["batch.png", "dask.png", "objects.png", "tree.png", "vec3d.png"]
    for path in written:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 5000
    copied = sorted(p.name for p in out.glob("*.json"))
    assert copied == ["dask.json", "tree.json", "vec3d.json", "vec_list-2.json", "vec_list.json"]
    for name in copied:  # rewritten one row a line, the same data
        assert json.loads((out / name).read_text()) == json.loads((source / name).read_text())
    err = capsys.readouterr().err
    assert "skipping" in err and "broken.json" in err and "other.json" in err


def test_main_reports_missing_measurements(tmp_path):
    assert plot.main(["plot.py", str(tmp_path / "absent"), str(tmp_path / "out")]) == 1
    (tmp_path / "empty").mkdir()
    assert plot.main(["plot.py", str(tmp_path / "empty"), str(tmp_path / "out")]) == 1


def test_committed_charts_come_with_their_measurements():
    charts = ROOT / "docs" / "benchmarks"
    page = (ROOT / "docs" / "benchmarks.md").read_text(encoding="utf-8")
    for name in ("vec3d", "batch", "objects", "data_io"):
        assert f"benchmarks/{name}.png" in page
        assert (charts / f"{name}.png").is_file()
    measured = {json.loads(p.read_text())["benchmark"] for p in charts.glob("*.json")}
    assert {"vec3d", "vec_list", "data_io"} <= measured


def test_run_recorded_names_what_the_script_timed(tmp_path, monkeypatch):
    import types

    timings = {"k()": 30.0, "p()": 200.0, "g()": 45.0}
    bench = types.SimpleNamespace(
        CASES={"op": ("k()", "p()", None), "other": ("k2()", None, None)},
        QUAT_CASES={"q op": ("k()", "g()", "absent()")},
    )
    bench.ns_per_op = lambda stmt, ns, number=1: timings.get(stmt)

    def main():
        for case in list(bench.CASES.values()) + list(bench.QUAT_CASES.values()):
            for stmt in case:
                bench.ns_per_op(stmt, {})

    bench.main = main
    original = bench.ns_per_op
    path = tmp_path / "vec3d.json"
    monkeypatch.setattr(sys, "argv", ["bench_vec3d.py", "--json", str(path)])

    def extra(module, record):
        assert module is bench
        record.add("op", "PyGLM", module.ns_per_op("g()", {}))

    results.run_recorded(bench, "vec3d", extra=extra)
    rows = {(r["case"], r["impl"]): r["value"] for r in json.loads(path.read_text())["rows"]}
    assert rows == {
        ("op", "kalemtri"): 30.0,
        ("op", "Python class"): 200.0,
        ("q op", "kalemtri"): 30.0,
        ("q op", "PyGLM"): 45.0,
        ("op", "PyGLM"): 45.0,
    }
    assert bench.ns_per_op is original  # the script's timer is given back
