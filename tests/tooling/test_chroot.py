"""The chroot helper: what it mounts, what it removes, what it copies in, and when it reuses."""

import concurrent.futures
import fcntl
import os
import subprocess
import time
from pathlib import Path

import pytest

import chroot

as_root = pytest.mark.skipif(os.geteuid() != 0, reason="mounts need root")


HOST = """Types: deb
# http://snapshot.debian.org/archive/debian/20250520T000000Z
URIs: http://m.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://m.example/debian-security
Suites: bookworm-security
Components: main
"""


@pytest.mark.parametrize(
    "sources, mirror",
    [
        (
            ["deb [arch=amd64 signed-by=/k.gpg] http://m.example/debian bookworm main\n"],
            "http://m.example/debian",
        ),
        (
            ["Types: deb\nURIs: http://m.example/debian/\nSuites: bookworm\n"],
            "http://m.example/debian/",
        ),
        ([HOST], "http://m.example/debian"),
        # Other repositories are not Debian's archive; the first Debian one wins.
        (
            [
                "deb https://p.example.com/apt cloud-sdk main\n# deb http://old/debian x y\n",
                "Types: deb\nURIs: http://a.example/debian-security\nSuites: bookworm-security\n",
                "Types: deb\nURIs: http://b.example/debian\nSuites: bookworm\n",
            ],
            "http://b.example/debian",
        ),
        # Security suites, sources of source packages and disabled entries are passed over.
        (
            [
                "deb http://s.example/debian bookworm-security main\n"
                "deb http://s.example/debian bookworm/updates main\n"
                "deb-src http://src.example/debian bookworm main\n",
                "Types: deb-src\nURIs: http://src.example/debian\nSuites: bookworm\n\n"
                "Enabled: no\nTypes: deb\nURIs: http://off.example/debian\nSuites: bookworm\n\n"
                "Types: deb\nURIs: http://on.example/debian\nSuites: bookworm\n",
            ],
            "http://on.example/debian",
        ),
        (
            ["deb http://snapshot.example/archive/debian/20250520T000000Z/ bookworm main\n"],
            "http://snapshot.example/archive/debian/20250520T000000Z/",
        ),
    ],
    ids=["one-line", "deb822", "host", "first-debian", "passed-over", "snapshot"],
)
def test_the_hosts_mirror(sources, mirror):
    assert chroot.host_mirror(sources) == mirror


@pytest.mark.parametrize(
    "sources",
    [
        [],
        [""],
        ["Types: deb\nURIs: http://m.example/debian-security\nSuites: bookworm-security\n"],
        ["deb http://archive.example/ubuntu noble main\n", "# deb http://m.example/debian x y\n"],
    ],
    ids=["none", "empty", "security-only", "not-debian"],
)
def test_no_mirror_among_the_hosts_sources_is_an_error(sources):
    with pytest.raises(RuntimeError, match="found no Debian archive among the host's apt sources"):
        chroot.host_mirror(sources)


def test_the_hosts_sources_are_read_in_apts_order(tmp_path):
    listed = tmp_path / "sources.list.d"
    listed.mkdir()
    (listed / "b.sources").write_text(HOST)
    (listed / "a.list").write_text("deb https://p.example.com/apt cloud-sdk main\n")
    (listed / "c.list.disabled").write_text("deb http://off.example/debian bookworm main\n")
    (listed / "d.list.save").write_text("deb http://old.example/debian bookworm main\n")
    sources = chroot.read_host_sources(tmp_path)
    assert sources == [(listed / "a.list").read_text(), HOST]
    assert chroot.host_mirror(sources) == "http://m.example/debian"
    (tmp_path / "sources.list").write_text("deb http://first.example/debian bookworm main\n")
    assert chroot.host_mirror(chroot.read_host_sources(tmp_path)) == "http://first.example/debian"


def test_mounts_below_a_directory_deepest_first_and_not_its_siblings():
    mounts = "\n".join(
        [
            "proc /var/tmp/k-i386/proc proc rw 0 0",
            "udev /var/tmp/k-i386/dev devtmpfs rw 0 0",
            "devpts /var/tmp/k-i386/dev/pts devpts rw 0 0",
            "proc /var/tmp/k-i386.partial/proc proc rw 0 0",
            "proc /var/tmp/k-i386-other/proc proc rw 0 0",
            "tmpfs /var/tmp/k-i386/with\\040space tmpfs rw 0 0",
            "tmpfs /var/tmp/k-i386 tmpfs rw 0 0",
        ]
    )
    assert chroot.mounts_under(Path("/var/tmp/k-i386"), mounts) == [
        "/var/tmp/k-i386/dev/pts",
        "/var/tmp/k-i386/with space",
        "/var/tmp/k-i386/proc",
        "/var/tmp/k-i386/dev",
        "/var/tmp/k-i386",
    ]


@as_root
def test_a_removal_never_reaches_through_a_bind_mount(tmp_path):
    # Stands for the host's /dev bound into a chroot by an older script.
    host = tmp_path / "host"
    host.mkdir()
    (host / "null").write_text("the host's own node")
    tree = tmp_path / "chroot"
    (tree / "dev").mkdir(parents=True)
    subprocess.run(["mount", "--bind", str(host), str(tree / "dev")], check=True)
    try:
        chroot.remove_tree(tree, log=lambda message: None)
    finally:
        if chroot.mounts_under(tree):
            subprocess.run(["umount", "-l", str(tree / "dev")])
    assert not tree.exists()
    assert (host / "null").read_text() == "the host's own node"


def git(cwd, *args):
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *args], cwd=cwd, check=True)


def test_the_working_tree_is_copied_as_it_is_now(tmp_path):
    source, dest = tmp_path / "src", tmp_path / "dest"
    (source / "sub").mkdir(parents=True)
    for name in ["kept.txt", "changed.txt", "deleted.txt", "sub/old.txt"]:
        (source / name).write_text("committed")
    (source / ".gitignore").write_text("ignored.txt\n")
    git(source, "init", "-q")
    git(source, "add", ".")
    git(source, "commit", "-q", "-m", "c")
    (source / "changed.txt").write_text("changed")
    (source / "deleted.txt").unlink()
    (source / "new.txt").write_text("new")
    (source / "ignored.txt").write_text("ignored")
    past = time.time() - 3600
    os.utime(source / "kept.txt", (past, past))
    (dest / "stale").mkdir(parents=True)
    chroot.copy_worktree(source, dest)
    copied = sorted(str(p.relative_to(dest)) for p in dest.rglob("*") if p.is_file())
    assert copied == [".gitignore", "changed.txt", "kept.txt", "new.txt", "sub/old.txt"]
    assert (dest / "changed.txt").read_text() == "changed"
    # Kept times let a build directory outside the copy rebuild only what changed.
    assert (dest / "kept.txt").stat().st_mtime == pytest.approx(past)


def test_commands_run_in_a_namespace_of_their_own_and_bind_nothing(monkeypatch):
    calls = []
    monkeypatch.setattr(subprocess, "run", lambda argv, **kw: calls.append(argv))
    box = chroot.Chroot(Path("/var/tmp/k"), arch="i386", suite="bookworm", personality=["linux32"])
    box.run(["uname", "-m"], cwd="/build", env={"X": "1"})
    (argv,) = calls
    assert argv[:5] == ["unshare", "--mount", "--propagation", "private", "--"]
    script = argv[7]
    assert 'mount -t proc proc "$1/proc"' in script
    assert 'mount -t tmpfs -o mode=1777,nosuid,nodev shm "$1/dev/shm"' in script
    assert "bind" not in " ".join(argv)
    rest = argv[argv.index("linux32") :]
    assert rest[:3] == ["linux32", "chroot", "/var/tmp/k"]
    assert rest[3:7] == ["/usr/bin/env", "-i", "-C", "/build"]
    assert "X=1" in rest and "PATH=" + chroot.ENVIRONMENT["PATH"] in rest
    assert rest[-2:] == ["uname", "-m"]


@pytest.fixture
def quiet_box(tmp_path, monkeypatch):
    box = chroot.Chroot(tmp_path / "box", arch="i386", suite="bookworm", log=lambda m: None)
    monkeypatch.setattr(box, "host_tools", lambda: None)
    monkeypatch.setattr(box, "_prepare", lambda root: None)
    return box


def test_a_ready_chroot_is_reused_and_locked_while_open(quiet_box, monkeypatch):
    quiet_box.root.mkdir()
    (quiet_box.root / chroot.STAMP).touch()
    (quiet_box.root / "kept").touch()
    monkeypatch.setattr(subprocess, "run", lambda *a, **k: pytest.fail(f"ran {a}"))
    monkeypatch.setattr(chroot, "mounts_under", lambda directory: [])
    with quiet_box.opened():
        with open(f"{quiet_box.root}.lock") as other:
            with pytest.raises(BlockingIOError):
                fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
    assert (quiet_box.root / "kept").exists()
    with open(f"{quiet_box.root}.lock") as other:
        fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)


def test_an_incomplete_chroot_is_made_afresh_beside_and_moved_into_place(quiet_box, monkeypatch):
    quiet_box.root.mkdir()
    (quiet_box.root / "half-made").touch()
    partial = quiet_box.root.with_name("box.partial")
    real_run = subprocess.run

    def run(argv, **kwargs):
        if "debootstrap" in argv:
            assert argv[:2] == ["unshare", "--mount"] and str(partial) in argv
            assert not quiet_box.root.exists(), "the incomplete chroot is removed first"
            (partial / "etc").mkdir(parents=True)
            return None
        return real_run(argv, **kwargs)

    monkeypatch.setattr(subprocess, "run", run)
    with quiet_box.opened():
        assert (quiet_box.root / chroot.STAMP).exists()
        assert (quiet_box.root / "etc").is_dir() and not partial.exists()


def test_a_chroot_made_in_the_background_is_waited_for_not_made_twice(quiet_box, monkeypatch):
    made = []
    real_run = subprocess.run

    def run(argv, **kwargs):
        if "debootstrap" in argv:
            made.append(argv)
            time.sleep(0.3)  # the other thread asks meanwhile
            (Path(argv[-2]) / "etc").mkdir(parents=True)
            return None
        return real_run(argv, **kwargs)

    monkeypatch.setattr(subprocess, "run", run)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for future in [pool.submit(quiet_box.make) for _ in range(2)]:
            future.result(timeout=30)
    assert len(made) == 1
    assert (quiet_box.root / chroot.STAMP).exists()
