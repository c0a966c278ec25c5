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


def probe(executable: str) -> tuple[str, str] | None:
    """The "X.Y" and the installation's own executable of a CPython that runs, else None.

    Not sys.executable: pyenv's shims start the interpreter under its bare name, which it then
    looks up on PATH, finding whatever is first there (the shim, a link to it)."""
    code = "import os, sys, platform; assert platform.python_implementation() == 'CPython'; "
    code += "v = '%d.%d' % sys.version_info[:2]; "
    code += "own = os.path.join(sys.base_prefix, 'bin', 'python' + v); "
    code += "print(v, own if os.access(own, os.X_OK) else sys.executable)"
    try:
        result = subprocess.run([executable, "-c", code], capture_output=True, text=True)
    except OSError:
        return None
    words = result.stdout.split(maxsplit=1)
    return (words[0], words[1].strip()) if result.returncode == 0 and len(words) == 2 else None


def python_version(executable: str) -> str | None:
    found = probe(executable)
    return found[0] if found else None


def find_interpreters(versions: list[str], pyenv_root: Path | None = None) -> dict[str, str]:
    """The executable of each version found: on PATH, else installed by pyenv (whose shims answer
    only for the versions selected in pyenv), else Debian's."""
    if pyenv_root is None:
        pyenv_root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    found = {}
    for version in versions:
        pyenv = sorted(pyenv_root.glob(f"versions/{version}.*/bin/python{version}"), reverse=True)
        candidates = [shutil.which(f"python{version}"), *pyenv, f"/usr/bin/python{version}"]
        for candidate in map(str, filter(None, candidates)):
            answer = probe(candidate) if os.access(candidate, os.X_OK) else None
            if answer and answer[0] == version and os.access(answer[1], os.X_OK):
                found[version] = answer[1]
                break
    return found


def newest(versions) -> str:
    return max(versions, key=lambda v: tuple(map(int, v.split("."))))
