"""The noxfile: what ./dev test runs covers what ./dev wheel ships, and the checks it shares."""

import importlib.metadata
import importlib.util
import re
from pathlib import Path

import pytest

nox = pytest.importorskip("nox")
from nox import registry  # noqa: E402


@pytest.fixture(scope="module")
def sessions():
    registry.reset()
    path = Path(__file__).resolve().parents[2] / "noxfile.py"
    found = importlib.util.spec_from_file_location("noxfile", path)
    assert found and found.loader
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module, registry.get()


def test_every_shipped_wheel_is_built_and_tested_by_ci(sessions):
    _, funcs = sessions
    tested = [f for f in funcs.values() if "test" in f.tags]
    for name, func in funcs.items():
        if "wheel" not in func.tags or "test" in func.tags:
            continue
        # Not a CI stage itself: then a stage needs it for each of its interpreters.
        needing = [t for t in tested if f"{name}-{{python}}" in t._requires]
        assert any(t.python == func.python for t in needing), f"CI never runs {name}"


def test_each_supported_version_has_its_wheel_tests(sessions):
    module, funcs = sessions
    assert funcs["tests"].python == funcs["wheel"].python == module.PYTHONS
    assert module.PYTHONS[0] == "3.9" and len(module.PYTHONS) >= 5


def test_versions_this_machine_lacks_come_from_debian_unstable(sessions):
    module, funcs = sessions
    for version in module.PYTHONS:
        if module.version_key(version) >= (3, 14):
            assert (version in module.INTERPRETERS) != (version in module.SID_PYTHONS)
    for version in module.SID_PYTHONS:
        assert {f"python{version}-dev", f"python{version}-venv"} <= set(module.SID.packages)
    # Both the wheels' builds and their tests, in CI and in ./dev wheel.
    for name in ("sid", "i386", "arm64"):
        assert {"test", "wheel"} <= set(funcs[name].tags)


class Ended(Exception):
    pass


class FakeSession:
    def error(self, message):
        raise Ended(message)


@pytest.mark.parametrize(
    "where, ok",
    [
        ("/opt/kalemtri-venv/lib/python3.11/site-packages/kalemtri_py.so", True),
        ("/opt/kalemtri-venv2/lib/python3.11/site-packages/kalemtri_py.so", False),
        ("/build/kalemtri/kalemtri_py.so", False),
    ],
    ids=["venv", "sibling-prefix", "tree"],
)
def test_the_module_must_come_from_the_venv(sessions, where, ok):
    module, _ = sessions
    calls = []

    def run(*argv, cwd):
        calls.append(cwd)
        return f"a warning\n{where}\n"

    check = module.check_module_from_venv
    if ok:
        check(FakeSession(), run, "python", "/opt/kalemtri-venv", "i386: ")
    else:
        with pytest.raises(Ended, match=f"^i386: kalemtri_py was imported from {where}, not"):
            check(FakeSession(), run, "python", "/opt/kalemtri-venv", "i386: ")
    assert calls == ["/opt/kalemtri-venv"]  # asked from inside the venv, off the tree


def test_pre_commit_pins_the_lint_stages_tools(sessions):
    module, _ = sessions
    config = (module.ROOT / ".pre-commit-config.yaml").read_text()
    pinned = set(re.findall(r"\b[\w-]+==[\w.]+", config))
    assert set(module.LINTERS) <= pinned
    assert f"nox=={importlib.metadata.version('nox')}" in pinned
    # The lint stage's clang-format is Debian's clang-format-14.
    assert {p for p in pinned if p.startswith("clang-format==")} == {"clang-format==14.0.6"}
    assert '"clang-format-14"' in (module.ROOT / "noxfile.py").read_text()
