"""The CPython versions kalemtri supports, and where this machine has them.

The one list is pyproject.toml's "Programming Language :: Python :: 3.X" classifiers; its
requires-python must admit exactly those versions (a test holds the two in step).
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path


def supported_versions(pyproject: str) -> list[str]:
    """The "3.X" of every version classifier, oldest first."""
    found = re.findall(r'"Programming Language :: Python :: (3\.\d+)"', pyproject)
    return sorted(set(found), key=lambda v: int(v.split(".")[1]))


def requires_python(pyproject: str) -> str:
    match = re.search(r'(?m)^requires-python\s*=\s*"([^"]*)"', pyproject)
    return match.group(1) if match else ""


def python_version(executable: str) -> str | None:
    """The "X.Y" of a CPython interpreter that runs, else None."""
    probe = "import sys, platform; assert platform.python_implementation() == 'CPython'; "
    probe += "print('%d.%d' % sys.version_info[:2])"
    try:
        result = subprocess.run([executable, "-c", probe], capture_output=True, text=True)
    except OSError:
        return None
    return result.stdout.strip() if result.returncode == 0 else None


def find_interpreters(versions: list[str], pyenv_root: Path | None = None) -> dict[str, str]:
    """The executable of each version found: on PATH, else installed by pyenv (whose shims answer
    only for the versions selected in pyenv), else Debian's."""
    if pyenv_root is None:
        pyenv_root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    found = {}
    for version in versions:
        pyenv = sorted(pyenv_root.glob(f"versions/{version}.*/bin/python{version}"), reverse=True)
        candidates = [shutil.which(f"python{version}"), *pyenv, f"/usr/bin/python{version}"]
        for candidate in filter(None, map(str, filter(None, candidates))):
            if os.access(candidate, os.X_OK) and python_version(candidate) == version:
                found[version] = candidate
                break
    return found


def newest(versions) -> str:
    return max(versions, key=lambda v: tuple(map(int, v.split("."))))
