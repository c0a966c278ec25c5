"""mypy over the project's own Python, as the lint stage and the pre-commit hook run it.

    python .ci/typecheck.py

The settings are mypy.ini's. The stub package kalemtri_py-stubs is found by mypy only when
installed; here it is put on mypy's path under the module's own name, so that nothing needs to be
built.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "kalemtri-py" / "python" / "kalemtri_py-stubs"
# Each run: its files, the folders its imports are found in, and its own options. The tests of
# the module are not checked: they call it with wrong types on purpose, and stubtest checks the
# stubs against it. The benchmarks and examples are checked where annotated.
PACKAGES = "kalemtri-py/python"
RUNS = [
    (
        [f"{PACKAGES}/kalemtri_dask", "noxfile.py", ".ci", "tests/tooling"],
        [PACKAGES, ".ci", "tests/tooling"],
        [],
    ),
    (["bench", "examples"], [PACKAGES, "bench"], ["--no-check-untyped-defs"]),
]


def stub_path(build: Path) -> Path:
    """A folder holding the stubs as the package kalemtri_py."""
    link = build / "kalemtri_py"
    build.mkdir(parents=True, exist_ok=True)
    if not (link.is_symlink() and link.resolve() == STUBS):
        link.unlink(missing_ok=True)
        link.symlink_to(STUBS, target_is_directory=True)
    return build


def main() -> int:
    stubs = stub_path(ROOT / "build" / "mypy-path")
    failed = 0
    for files, path, options in RUNS:
        env = {**os.environ, "MYPYPATH": os.pathsep.join([str(stubs), *path])}
        mypy = [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", *options, *files]
        failed |= subprocess.run(mypy, cwd=ROOT, env=env).returncode
    return failed


if __name__ == "__main__":
    sys.exit(main())
