"""Wheels for interpreters this machine cannot run: CPython versions it does not have (Debian
unstable's 3.14 and 3.15 on x86-64) and other architectures (arm64 under qemu-user).

The interpreter lives in a Debian chroot, but the wheel is built on the host with the compiler of
the host's own wheels (Zig's for x86-64, .ci/zig.py; Debian 12's cross compiler for arm64): a
build inside Debian unstable would link against its newer glibc and libstdc++. The build needs three things of the
target interpreter, taken from its chroot: its headers (Debian's multiarch pyconfig.h resolved to
the target's own), its extension suffix and its platform. scikit-build-core runs under a host
interpreter, is told not to hand that interpreter to CMake (which then configures from the
headers alone) and tags the wheel for the target. auditwheel then proves the tag on the host, and
the wheel is installed and tested inside the chroot.

The bit-identity probe compares another architecture's results with x86-64's: the module's own
arithmetic must agree to the bit, the platform's libm may differ and is listed.
"""

from __future__ import annotations

import json
import shutil
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

# Printed by the target interpreter inside its chroot.
PROBE = """
import json, sys, sysconfig
print(json.dumps({
    "version": "%d.%d" % sys.version_info[:2],
    "ext_suffix": sysconfig.get_config_var("EXT_SUFFIX"),
    "include": sysconfig.get_paths()["include"],
    "multiarch": sysconfig.get_config_var("MULTIARCH") or "",
    "platform": sysconfig.get_platform(),
    "gil_disabled": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
}))
"""


@dataclass(frozen=True)
class Target:
    """An interpreter a wheel is built for, as its chroot describes it."""

    version: str  # "3.14"
    ext_suffix: str  # ".cpython-314-x86_64-linux-gnu.so"
    include: str  # inside the chroot: "/usr/include/python3.14"
    multiarch: str  # "x86_64-linux-gnu"
    platform: str  # "linux-x86_64"
    gil_disabled: bool = False

    @classmethod
    def from_probe(cls, output: str) -> Target:
        return cls(**json.loads(output))

    @property
    def soabi(self) -> str:
        """The extension suffix without its extension: "cpython-314-x86_64-linux-gnu"."""
        stem = self.ext_suffix[: -len(".so")] if self.ext_suffix.endswith(".so") else ""
        if not stem.startswith(".cpython-"):
            raise ValueError(f"not a CPython extension suffix: {self.ext_suffix!r}")
        return stem[1:]

    @property
    def wheel_tag(self) -> str:
        """cp314-cp314-linux_x86_64; auditwheel turns the platform into manylinux_*."""
        if self.gil_disabled:
            # The module relies on the interpreter lock; it declares no free-threaded support.
            raise ValueError(f"Python {self.version} is a free-threaded build")
        cp = "cp" + self.version.replace(".", "")
        return f"{cp}-{cp}-{self.platform.replace('-', '_').replace('.', '_')}"


def stage_headers(target: Target, chroot_root: Path, dest: Path) -> Path:
    """Copies the target's headers out of its chroot into dest/include and returns that. Debian's
    pyconfig.h only picks <multiarch>/pythonX.Y/pyconfig.h by the compiler's macros, and that path
    would resolve against the host's /usr/include: the target's own file replaces it."""
    source = chroot_root / target.include.lstrip("/")
    include = dest.resolve() / "include"
    if include.exists():
        shutil.rmtree(include)
    shutil.copytree(source, include, symlinks=False)
    if target.multiarch:
        real = chroot_root / "usr/include" / target.multiarch / f"python{target.version}"
        if (real / "pyconfig.h").is_file():
            shutil.copyfile(real / "pyconfig.h", include / "pyconfig.h")
    if not (include / "Python.h").is_file():
        raise FileNotFoundError(f"no Python.h in {source}: is python{target.version}-dev there?")
    return include


def build_settings(
    target: Target, include: Path, build_dir: str, toolchain: Path | None = None
) -> list[str]:
    """pip's --config-settings for scikit-build-core (1.1 or later) to build `target`'s wheel."""
    settings = {
        "build-dir": build_dir,
        # No host interpreter for CMake: it configures from the target's headers and suffix.
        "cmake.python-hints": "false",
        "cmake.define.Python_INCLUDE_DIR": str(include),
        "cmake.define.Python_SOABI": target.soabi,
        "wheel.tags": target.wheel_tag,
    }
    if toolchain:
        settings["cmake.define.CMAKE_TOOLCHAIN_FILE"] = str(toolchain)
    return [f"--config-settings={k}={v}" for k, v in settings.items()]


@dataclass
class ProbeComparison:
    own: int  # lines of the module's own arithmetic compared
    libm: int  # lines through the platform's libm compared
    own_differences: list[tuple[str, str]]
    libm_differences: list[tuple[str, str]]

    @property
    def ok(self) -> bool:
        return not self.own_differences

    def report(self, name: str) -> str:
        lines = [
            (
                f"{name} against x86-64: {self.own} results of the module's own arithmetic, "
                f"{len(self.own_differences)} differ; {self.libm} through libm, "
                f"{len(self.libm_differences)} differ"
            )
        ]
        for kind, differences in (("own", self.own_differences), ("libm", self.libm_differences)):
            for reference, other in differences:
                lines += [f"  {kind} x86-64: {reference}", f"  {kind} {name}: {other}"]
        return "\n".join(lines)


def compare_probe(reference: Sequence[str], other: Sequence[str]) -> ProbeComparison:
    """Compares two runs of tests/python/bits_probe.py line by line. Every line starts with its
    kind ("own" or "libm") and names its computation, so the runs must list the same ones."""
    if len(reference) != len(other):
        raise ValueError(f"the probes differ in length: {len(reference)} and {len(other)} lines")
    counts = {"own": 0, "libm": 0}
    differences: dict[str, list[tuple[str, str]]] = {"own": [], "libm": []}
    for a, b in zip(reference, other):
        kind, name = a.split(" ", 2)[:2]
        if b.split(" ", 2)[:2] != [kind, name] or kind not in counts:
            raise ValueError(f"the probes list different computations: {a!r} and {b!r}")
        counts[kind] += 1
        if a != b:
            differences[kind].append((a, b))
    return ProbeComparison(counts["own"], counts["libm"], differences["own"], differences["libm"])
