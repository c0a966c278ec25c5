"""Debian chroots for the architectures and interpreters the host does not have.

A chroot is made once with debootstrap and reused by later runs; a readiness stamp marks one that
is complete, so an interrupted creation is never mistaken for a working chroot. Nothing of the
host is bound into it: debootstrap --variant=minbase makes the device nodes, and every command
runs in a private mount namespace of its own with `proc` and a `/dev/shm` tmpfs, so the mounts
vanish with the command however it ends and no removal can reach the host through them.

    python3 .ci/chroot.py --arch i386 --suite bookworm --personality linux32 \\
        --root /var/tmp/kalemtri-i386 --package python3 -- python3 -c 'import platform; ...'

From Python (the noxfile)::

    box = Chroot(Path("/var/tmp/kalemtri-i386"), arch="i386", suite="bookworm",
                 packages=["python3"], personality=["linux32"])
    with box.opened():
        box.copy_tree(repository, "/build/src")
        box.run(["python3", "-V"], cwd="/build/src")
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Callable

STAMP = ".kalemtri-ready"
APT_SOURCES = Path("/etc/apt")
# What the host's apt and pip trust (a site's own CA among them) and how to reach the network.
HOST_FILES = ("/etc/resolv.conf", "/etc/ssl/certs/ca-certificates.crt", "/etc/pip.conf")
ENVIRONMENT = {
    "HOME": "/root",
    "LANG": "C.UTF-8",
    "TERM": "dumb",
    "DEBIAN_FRONTEND": "noninteractive",
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
}


def say(message: str) -> None:
    print(f"chroot: {message}", file=sys.stderr, flush=True)


def apt_install(packages: Sequence[str], log: Callable[[str], None] = say) -> None:
    """Installs the Debian packages that are not installed yet on the host."""
    missing = [p for p in packages if not dpkg_installed(p)]
    if not missing:
        return
    log(f"installing {' '.join(missing)}")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    apt = [*sudo, "apt-get", "-o", "DPkg::Lock::Timeout=600", "-qq"]
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    subprocess.run([*apt, "update"], check=True, env=env)
    subprocess.run(
        [*apt, "install", "-y", "--no-install-recommends", *missing],
        check=True,
        env=env,
        stdout=subprocess.DEVNULL,
    )


def dpkg_installed(package: str) -> bool:
    # Asked of dpkg itself: an interrupted apt-get can exit with status 0.
    result = subprocess.run(
        ["dpkg-query", "-W", "-f=${db:Status-Abbrev}", package],
        capture_output=True,
        text=True,
    )
    return result.returncode == 0 and result.stdout.startswith("ii")


# Debian's archive, on any mirror or snapshot of it: not debian-security, nor another vendor's.
_ARCHIVE = re.compile(r"^[a-z]+://[^ ]*/debian(/[0-9]{8}T[0-9]{6}Z)?/?$")
# Suites the archive itself does not serve: the security archive's, and an old name of them.
_NOT_ARCHIVE_SUITE = re.compile(r"-security$|/updates$")


def host_mirror(sources: Sequence[str]) -> str:
    """The host's Debian mirror: the first URI of a binary source of Debian's archive (which
    serves every architecture and suite), from sources.list texts and deb822 .sources texts."""
    for text in sources:
        for uris, suites in _binary_sources(text):
            if all(_NOT_ARCHIVE_SUITE.search(suite) for suite in suites):
                continue
            for uri in uris:
                if _ARCHIVE.match(uri):
                    return uri
    raise RuntimeError(
        "found no Debian archive among the host's apt sources (/etc/apt/sources.list and "
        "sources.list.d/*.list or *.sources) to make the chroot from: configure one there, or "
        "name a mirror (Chroot(mirror=...), --mirror)"
    )


def _binary_sources(text: str) -> Iterator[tuple[list[str], list[str]]]:
    """(URIs, suites) of each enabled `deb` entry, one-line or deb822."""
    fields: dict[str, str] = {}
    for line in [*text.splitlines(), ""]:
        words = line.split("#", 1)[0].split()
        if words[:1] == ["deb"]:
            # deb [option=value ...] uri suite [component ...]
            rest = " ".join(words[1:])
            if rest.startswith("["):
                rest = rest.partition("]")[2]
            yield rest.split()[:1], rest.split()[1:2]
        elif ":" in (words[0] if words else "") and not line[:1].isspace():
            key, _, value = line.partition(":")
            fields[key.strip().lower()] = value.split("#", 1)[0].strip()
        elif not line.strip() and fields:
            # The end of a deb822 stanza.
            if "deb" in fields.get("types", "").split() and fields.get("enabled", "yes") != "no":
                yield fields.get("uris", "").split(), fields.get("suites", "").split()
            fields = {}


def read_host_sources(apt: Path = APT_SOURCES) -> list[str]:
    """The texts of apt's sources.list and sources.list.d/*.list and *.sources, in apt's order."""
    paths = [apt / "sources.list", *sorted((apt / "sources.list.d").glob("*"))]
    return [p.read_text() for p in paths if p.suffix in (".list", ".sources") and p.is_file()]


def unescape_mount(field: str) -> str:
    # /proc/self/mounts writes space, tab, newline and backslash as octal escapes.
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)


def mounts_under(directory: Path, mounts_text: str | None = None) -> list[str]:
    """Mount points at or below `directory`, deepest first."""
    if mounts_text is None:
        mounts_text = Path("/proc/self/mounts").read_text()
    prefix = str(directory).rstrip("/") + "/"
    points = []
    for line in mounts_text.splitlines():
        fields = line.split()
        if len(fields) >= 2:
            point = unescape_mount(fields[1])
            if (point + "/").startswith(prefix):
                points.append(point)
    return sorted(points, key=lambda p: (p.count("/"), p), reverse=True)


def unmount_all(directory: Path, log: Callable[[str], None] = say) -> None:
    """Unmounts whatever is left below `directory` (an older script's /dev bind, an interrupted
    debootstrap's proc), deepest first, without letting the unmount reach the host's mounts."""
    for point in mounts_under(directory):
        log(f"unmounting the leftover {point}")
        # A leftover recursive bind of /dev could still be shared with the host's /dev: make it
        # a slave first, so unmounting it takes nothing from the host.
        subprocess.run(["mount", "--make-rslave", point], stderr=subprocess.DEVNULL)
        if subprocess.run(["umount", point], stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["umount", "-l", point], check=True)


def remove_tree(directory: Path, log: Callable[[str], None] = say) -> None:
    """Deletes a tree that may have been a chroot, never following a mount out of it."""
    if not directory.exists() and not directory.is_symlink():
        return
    unmount_all(directory, log)
    left = mounts_under(directory)
    if left:
        raise RuntimeError(f"not removing {directory}: still mounted below it: {left}")
    subprocess.run(["rm", "-rf", "--one-file-system", "--", str(directory)], check=True)


def worktree_files(source: Path) -> list[str]:
    """The working tree as it is now: tracked files with their uncommitted changes and new files
    that are not ignored, but not the ones deleted in the working tree."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=source,
        check=True,
        capture_output=True,
    ).stdout
    names = sorted({n for n in listed.decode().split("\0") if n})
    return [n for n in names if os.path.lexists(source / n) and not (source / n).is_dir()]


def copy_worktree(source: Path, dest: Path) -> None:
    """Copies the working tree into a fresh `dest`, keeping modification times so that a build
    directory kept elsewhere rebuilds only what changed."""
    remove_tree(dest)
    for name in worktree_files(source):
        target = dest / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source / name, target, follow_symlinks=False)


class Chroot:
    """A Debian chroot of one architecture and suite at `root`, with `packages` installed.

    apt_options go to every apt-get in it (e.g. ["-o", "Acquire::Check-Valid-Until=false"] for a
    suite whose Release file is past its date); personality prefixes every command (["linux32"]
    makes a 32-bit userland see i686 in `uname -m`); qemu names the qemu-user emulator of a
    foreign architecture ("aarch64"), registered with binfmt_misc on the host.
    """

    def __init__(
        self,
        root: Path,
        *,
        arch: str,
        suite: str,
        packages: Sequence[str] = (),
        apt_options: Sequence[str] = (),
        personality: Sequence[str] = (),
        qemu: str | None = None,
        mirror: str | None = None,
        log: Callable[[str], None] = say,
    ) -> None:
        self.root = Path(root)
        self.arch = arch
        self.suite = suite
        self.packages = list(packages)
        self.apt_options = list(apt_options)
        self.personality = list(personality)
        self.qemu = qemu
        self.mirror = mirror
        self.log = log

    def path(self, inside: str) -> Path:
        """The host's path of a path inside the chroot."""
        return self.root / inside.lstrip("/")

    @contextlib.contextmanager
    def opened(self) -> Iterator[Chroot]:
        """Locks the chroot for this process (one run at a time: runs from two clones would
        share its copy of the tree), creates it if missing, installs missing packages and copies
        in the host's network and certificate settings."""
        self.root.parent.mkdir(parents=True, exist_ok=True)
        with open(f"{self.root}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                self.host_tools()
                unmount_all(self.root, self.log)
                self._ensure()
                self._prepare(self.root)
                yield self
            finally:
                # Every mount lives in a command's own namespace; this catches anything else.
                unmount_all(self.root, self.log)

    def make(self) -> None:
        """Creates the chroot if missing and installs missing packages, under the same lock as
        opened(): a stage that opens it meanwhile waits for it instead of making it again."""
        with self.opened():
            pass

    def run(
        self,
        argv: Sequence[str],
        *,
        cwd: str = "/",
        env: dict[str, str] | None = None,
        check: bool = True,
        root: Path | None = None,
        **kwargs,
    ) -> subprocess.CompletedProcess:
        """Runs argv inside the chroot, from cwd, in a clean environment (ENVIRONMENT and env)."""
        root = root or self.root
        # Tests of process limits learn that the emulator shares the process with them.
        emulated = {"KALEMTRI_QEMU_USER": self.qemu} if self.qemu else {}
        variables = [f"{k}={v}" for k, v in {**ENVIRONMENT, **emulated, **(env or {})}.items()]
        mount = (
            'mount -t proc proc "$1/proc" && '
            'mount -t tmpfs -o mode=1777,nosuid,nodev shm "$1/dev/shm" && shift && exec "$@"'
        )
        command = [
            "unshare", "--mount", "--propagation", "private", "--",
            "sh", "-c", mount, "sh", str(root),
            *self.personality, "chroot", str(root),
            "/usr/bin/env", "-i", "-C", cwd, *variables, *argv,
        ]  # fmt: skip
        return subprocess.run(command, check=check, **kwargs)

    def copy_tree(self, source: Path, inside: str) -> None:
        copy_worktree(Path(source), self.path(inside))

    # -- creation ---------------------------------------------------------------------------

    def host_tools(self) -> None:
        """Installs what making and entering the chroot takes on the host (apt-get, so call it
        from one thread at a time)."""
        if os.geteuid() != 0:
            raise PermissionError(f"the {self.arch} chroot needs root: debootstrap, chroot, mount")
        packages = ["debootstrap", "util-linux", "git"]
        if self.qemu:
            packages += ["qemu-user-static", "binfmt-support"]
        apt_install(packages, self.log)
        if self.qemu:
            binfmt = Path("/proc/sys/fs/binfmt_misc")
            if not (binfmt / "register").exists():
                subprocess.run(
                    ["mount", "-t", "binfmt_misc", "binfmt_misc", str(binfmt)], check=True
                )
            subprocess.run(["update-binfmts", "--enable", f"qemu-{self.qemu}"], check=False)

    def _ensure(self) -> None:
        """Creates the chroot in a side directory and moves it into place only when complete."""
        if (self.root / STAMP).exists():
            self.log(f"reusing {self.root}")
            return
        if self.root.exists():
            self.log(f"removing the incomplete {self.root}")
            remove_tree(self.root, self.log)
        partial = self.root.with_name(self.root.name + ".partial")
        remove_tree(partial, self.log)
        mirror = self.mirror or host_mirror(read_host_sources())
        self.log(f"creating {self.root}: Debian {self.suite} {self.arch} from {mirror}")
        # debootstrap mounts proc and sys in the new tree: in a namespace of its own, they go
        # when it ends, even if it is interrupted.
        subprocess.run(
            [
                "unshare", "--mount", "--propagation", "private", "--",
                "debootstrap", f"--arch={self.arch}", "--variant=minbase",
                self.suite, str(partial), mirror,
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )  # fmt: skip
        self._prepare(partial)
        (partial / STAMP).touch()
        partial.rename(self.root)

    def _prepare(self, root: Path) -> None:
        # Again after apt: installing ca-certificates rewrites the bundle without the host's CA.
        self._copy_host_files(root)
        if self._install_packages(root):
            self._copy_host_files(root)

    def _copy_host_files(self, root: Path) -> None:
        files = [Path(f) for f in HOST_FILES]
        # pip.conf may name a certificate bundle of its own.
        pip_conf = Path("/etc/pip.conf")
        if pip_conf.is_file():
            files += [
                Path(c) for c in re.findall(r"(?m)^\s*cert\s*=\s*(\S+)", pip_conf.read_text())
            ]
        for host in files:
            if host.is_file():
                target = root / str(host).lstrip("/")
                target.parent.mkdir(parents=True, exist_ok=True)
                if target.is_symlink():
                    target.unlink()
                shutil.copyfile(host, target)

    def _missing_packages(self, root: Path) -> list[str]:
        result = self.run(
            ["dpkg-query", "-W", "-f=${db:Status-Abbrev} ${Package}\\n", *self.packages],
            root=root,
            check=False,
            capture_output=True,
            text=True,
        )
        installed = {f[1] for f in map(str.split, result.stdout.splitlines()) if f[0] == "ii"}
        return [p for p in self.packages if p not in installed]

    def _install_packages(self, root: Path) -> bool:
        missing = self._missing_packages(root)
        if not missing:
            return False
        self.log(f"installing {' '.join(missing)}")
        apt = ["apt-get", "-qq", "-o", "DPkg::Lock::Timeout=600", *self.apt_options]
        self.run(["dpkg", "--configure", "-a"], root=root, stdout=subprocess.DEVNULL)
        self.run([*apt, "update"], root=root)
        self.run(
            [*apt, "install", "-y", "--no-install-recommends", *self.packages],
            root=root,
            stdout=subprocess.DEVNULL,
        )
        self.run(["apt-get", "clean"], root=root)
        missing = self._missing_packages(root)
        if missing:
            raise RuntimeError(f"apt-get did not install {' '.join(missing)}")
        return True


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Run a command in a reusable Debian chroot.")
    parser.add_argument("--root", type=Path, required=True)
    parser.add_argument("--arch", required=True)
    parser.add_argument("--suite", required=True)
    parser.add_argument("--package", action="append", default=[])
    parser.add_argument("--apt-option", action="append", default=[], help="apt-get -o VALUE")
    parser.add_argument("--personality", action="append", default=[])
    parser.add_argument("--qemu")
    parser.add_argument("--mirror", help="Debian's archive (default: the host's apt sources')")
    parser.add_argument("--copy", metavar="INSIDE", help="copy this working tree there first")
    parser.add_argument("--cwd", default="/")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args(argv)
    box = Chroot(
        args.root,
        arch=args.arch,
        suite=args.suite,
        packages=args.package,
        apt_options=[w for o in args.apt_option for w in ("-o", o)],
        personality=args.personality,
        qemu=args.qemu,
        mirror=args.mirror,
    )
    with box.opened():
        if args.copy:
            box.copy_tree(Path.cwd(), args.copy)
        return box.run(args.command, cwd=args.cwd, check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
