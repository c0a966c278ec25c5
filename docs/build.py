"""Builds the documentation site strictly into site/.

Run from anywhere: python docs/build.py [extra mkdocs build options]
Needs the packages of docs/requirements.txt in the running interpreter. The reference is generated
from the stub package in kalemtri-py/python, so no build of the module is needed here. Strict: a
warning fails the build, and the hooks in docs/_ext warn on a broken link or cross-reference, a
public member without a docstring, or one that no page renders.
"""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main(argv):
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1")
    command = [sys.executable, "-m", "mkdocs", "build", "--strict", "--clean"]
    command += ["--config-file", str(ROOT / "mkdocs.yml"), "--site-dir", str(ROOT / "site")]
    result = subprocess.run(command + argv[1:], cwd=ROOT, env=env, check=False)
    if result.returncode == 0:
        print(f"site built in {ROOT / 'site'}")
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
