"""The compiler of the x86-64 wheels: Zig's clang, from PyPI's ziglang, for glibc 2.28.

Debian 12's g++ links against its glibc 2.36 and libstdc++, which makes manylinux_2_34 wheels at
best. Zig carries stubs of every glibc version and links its libc++ in statically: its binaries
for x86_64-linux-gnu.2.28 need nothing newer than glibc 2.28, the floor PyPI's tbb wheel (which
the x86-64 wheels depend on) sets anyway. cmake/zig-x86_64-linux-gnu.2.28.cmake makes CMake use it
through the wrapper written here, build/zig/x86_64-linux-gnu.2.28/c++.

    python .ci/zig.py      installs the pinned Zig under build/zig and writes the wrapper
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ZIGLANG = "ziglang==0.17.0"
TARGET = "x86_64-linux-gnu.2.28"
TOOLCHAIN = ROOT / "cmake" / f"zig-{TARGET}.cmake"
# The manylinux tag the wheels then claim: auditwheel is told it, and fails if any symbol needs
# more. The module itself needs glibc 2.17 only, but PyPI's tbb, which it loads, needs 2.28: the
# wheel claims no older tag (auditwheel's --only-plat), where it could not be installed whole.
PLATFORM = "manylinux_2_28_x86_64"


def zig_home(root: Path = ROOT) -> Path:
    """Where the pinned ziglang is installed: one directory per version."""
    return root / "build" / "zig" / ZIGLANG.replace("==", "-")


def wrapper_text(zig: Path) -> str:
    return f'#!/bin/sh\nexec "{zig}" c++ -target {TARGET} "$@"\n'


def prepare(python: str = sys.executable, root: Path = ROOT) -> Path:
    """Installs ziglang (with `python`'s pip) unless it is there, writes the compiler wrapper and
    returns the CMake toolchain file that uses it."""
    home = zig_home(root)
    zig = home / "ziglang" / "zig"
    if not zig.is_file():
        partial = home.with_name(home.name + ".partial")
        subprocess.run(["rm", "-rf", "--one-file-system", str(partial)], check=True)
        subprocess.run(
            [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-deps",
             "--target", str(partial), ZIGLANG],
            check=True,
        )  # fmt: skip
        subprocess.run(["rm", "-rf", "--one-file-system", str(home)], check=True)
        partial.rename(home)
    wrapper = root / "build" / "zig" / TARGET / "c++"
    wrapper.parent.mkdir(parents=True, exist_ok=True)
    text = wrapper_text(zig)
    if not wrapper.is_file() or wrapper.read_text() != text:
        wrapper.write_text(text)
        wrapper.chmod(0o755)
    return TOOLCHAIN


def wheel_settings(python: str) -> list[str]:
    """pip's or uv's --config-settings that build a wheel with Zig (installed with `python`'s pip
    if need be)."""
    return [f"--config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE={prepare(python)}"]


# auditwheel repair's options for such a wheel: it fails if the symbols need more than the tag.
REPAIR = ["--plat", PLATFORM, "--only-plat"]


if __name__ == "__main__":
    print(prepare())
