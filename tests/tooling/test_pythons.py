"""The list of supported versions, and finding their interpreters on a machine."""

import os
import stat
import sys
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

import pythons

PYPROJECT = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text()


def test_requires_python_admits_exactly_the_classified_versions():
    # Adding a version is adding its classifier; requires-python must follow, or pip would
    # refuse (or accept) an interpreter that CI does not (or does) test.
    versions = pythons.supported_versions(PYPROJECT)
    admitted = SpecifierSet(pythons.requires_python(PYPROJECT))
    assert [f"3.{m}" for m in range(40) if f"3.{m}.0" in admitted] == versions
    minors = [int(v.split(".")[1]) for v in versions]
    assert minors == list(range(minors[0], minors[-1] + 1)), "no gap in the supported versions"


def test_versions_are_ordered_by_number_not_by_text():
    text = "\n".join(
        f'    "Programming Language :: Python :: {v}",' for v in ["3.13", "3.9", "3.10", "3.9"]
    )
    text += '\n    "Programming Language :: Python :: 3 :: Only",'
    assert pythons.supported_versions(text) == ["3.9", "3.10", "3.13"]
    assert pythons.newest(["3.9", "3.13", "3.10"]) == "3.13"


def script(path: Path, body: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


@pytest.mark.parametrize("shim_works", [False, True])
def test_a_pyenv_shim_is_passed_over_for_the_interpreter_it_stands_for(
    tmp_path, monkeypatch, shim_works
):
    # pyenv's shim is on PATH for every installed version but fails for those not selected, and
    # runs the real interpreter for those that are.
    installed = tmp_path / "pyenv" / "versions" / "3.42.1" / "bin" / "python3.42"
    script(installed, 'echo 3.42 "$0"')
    shim = tmp_path / "shims" / "python3.42"
    failing = "echo 'pyenv: python3.42: command not found' >&2; exit 127"
    script(shim, f"echo 3.42 {installed}" if shim_works else failing)
    script(tmp_path / "pyenv" / "versions" / "3.43.0" / "bin" / "python3.43", 'echo 3.41 "$0"')
    monkeypatch.setenv("PATH", f"{shim.parent}{os.pathsep}{os.environ['PATH']}")
    found = pythons.find_interpreters(["3.42", "3.43", "3.44"], tmp_path / "pyenv")
    # An interpreter that reports another version is not taken for the one asked for.
    assert found == {"3.42": str(installed)}


def test_only_a_cpython_that_runs_counts(tmp_path):
    script(tmp_path / "broken", "exit 1")
    assert pythons.python_version(str(tmp_path / "broken")) is None
    assert pythons.python_version(str(tmp_path / "missing")) is None
    assert (
        pythons.python_version(os.path.realpath(sys.executable))
        == f"{sys.version_info[0]}.{sys.version_info[1]}"
    )


def test_a_link_on_path_gives_way_to_the_installation_it_leads_to(tmp_path, monkeypatch):
    # A link named like the interpreter (as nox's own lookup directory has) must never be taken
    # for the interpreter: relinking it to itself would make a loop.
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    own = os.path.join(sys.base_prefix, "bin", f"python{version}")
    if not os.access(own, os.X_OK):
        pytest.skip(f"no {own}")
    (tmp_path / f"python{version}").symlink_to(own)
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    assert pythons.find_interpreters([version], tmp_path / "no-pyenv") == {version: own}
