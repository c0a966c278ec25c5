"""What ./dev test runs covers what ./dev wheel ships."""

import importlib.util
from pathlib import Path

import pytest

nox = pytest.importorskip("nox")
from nox import registry  # noqa: E402


@pytest.fixture(scope="module")
def sessions():
    registry.reset()
    path = Path(__file__).resolve().parents[2] / "noxfile.py"
    found = importlib.util.spec_from_file_location("noxfile", path)
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
