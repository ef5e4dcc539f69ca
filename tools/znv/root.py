"""A Debian sid root in the cache, for the interpreters Debian ships only there.

Sid's python3.14 and python3.15 need sid's C library, newer than the host's, so
they live in a root made with debootstrap and are entered by chroot inside a
private mount namespace: every mount made to enter it vanishes with the
namespace, and nothing is ever mounted on the host. Inside, the repository is
at the same path and /tmp is the host's, so paths mean the same on both sides.
"""

from __future__ import annotations

import datetime
import os
import shutil
from collections.abc import Sequence
from pathlib import Path

from .cache import (
    CACHE,
    COMPILER_CACHE,
    LOGS,
    REPO,
    apt_install,
    locked,
    log,
    mark_complete,
    marker,
    run_step,
)

ROOT = CACHE / "roots" / "sid"
MIRROR = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# The interpreters sid ships, and what building, testing and measuring the
# module needs (libcrypt-dev: the uWSGI the tests build links it; sid's libc
# no longer pulls it in; valgrind: tools/bench --instructions; ccache: the
# builds inside share the host's compiler cache).
MINORS = ("3.14", "3.15")
PACKAGES = sorted(
    [f"python{minor}{part}" for minor in MINORS for part in ("", "-dev", "-venv")]
    + [
        "g++",
        "cmake",
        "ccache",
        "ninja-build",
        "libgtest-dev",
        "procps",
        "git",
        "ca-certificates",
        "libcrypt-dev",
        "valgrind",
    ]
)
# Sid's release files are published past their Valid-Until date; the archive's
# signature still vouches for them.
APT_CONF = 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n'
TAG = "root"
_refreshed = False  # once a run is enough

# Runs as root in a fresh private mount namespace: mounts what the root needs
# from the host, then runs the command chrooted, in the caller's directory when
# that is visible inside (the repository or /tmp), else in the repository.
# The root is bind-mounted onto itself first so that it is a mount point of its
# own and the mounts below it stay inside it.
_ENTER = r"""
set -e
root=$1 repo=$2 shares=$3; shift 3
cwd=$(pwd -P)
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount --bind /tmp "$root/tmp"
mkdir -p "$root$repo"  # a clone elsewhere needs a mount point of its own
mount --bind "$repo" "$root$repo"
for share in $shares; do mkdir -p "$root$share" && mount --bind "$share" "$root$share"; done
# pip inside needs the host's resolver and certificate authorities. Copies,
# never mounts: the root's packages rewrite these files (ca-certificates its
# bundle), and through a mount they would rewrite the host's. Each copy is
# renamed into place, so a command already inside never reads half a file.
copy_in() { cp "$1" "$root$1.host.$$" && mv -f "$root$1.host.$$" "$root$1"; }
copy_in /etc/resolv.conf
copy_in /etc/ssl/certs/ca-certificates.crt
case $cwd in "$repo"|"$repo"/*|/tmp|/tmp/*) ;; *) cwd=$repo ;; esac
exec chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$@"
"""


def command(argv: Sequence[str | os.PathLike[str]], shares: Sequence[Path] = ()) -> list[str]:
    """ARGV run inside the root (which must be provisioned); SHARES are more
    directories of the host's it sees at the same path (no blanks in them),
    besides the compiler cache."""
    COMPILER_CACHE.mkdir(parents=True, exist_ok=True)
    return [
        "unshare",
        "--mount",
        "--propagation",
        "private",
        "sh",
        "-c",
        _ENTER,
        "sh",
        str(ROOT),
        str(REPO),
        " ".join(map(str, [COMPILER_CACHE, *shares])),
        *map(str, argv),
    ]


def _installed() -> set[str]:
    """The packages the root was last completed with (none when unfinished)."""
    return set(filter(None, marker(ROOT).get("packages", "").split(";")))


def ready() -> bool:
    """Made, with every package it is meant to have (checkouts whose lists
    differ share the root: each finds its own among those recorded)."""
    return set(PACKAGES) <= _installed()


def provision(refresh: bool = False) -> None:
    """Make the root once, install packages added to PACKAGES since; with
    REFRESH, bring its packages up to date."""
    refresh = refresh and not _refreshed
    if ready() and not refresh:
        return
    with locked("root-sid"):
        if not marker(ROOT):
            _bootstrap()
        elif refresh or not ready():
            _install(upgrade=refresh)


def _bootstrap() -> None:
    apt_install(TAG, ["debootstrap", "debian-archive-keyring", "ca-certificates"])
    log(TAG, f"making a Debian sid root in {ROOT} (log: {LOGS}/root-sid.log)")
    # What is left of an interrupted run holds no mounts: they died with its
    # namespace.
    shutil.rmtree(ROOT, ignore_errors=True)
    ROOT.parent.mkdir(parents=True, exist_ok=True)
    logfile = LOGS / "root-sid.log"
    logfile.unlink(missing_ok=True)
    # debootstrap mounts /proc and /sys inside the new root for its second
    # stage: in a namespace of its own those mounts never reach the host.
    run_step(
        TAG,
        "debootstrap",
        [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            "debootstrap",
            "--variant=minbase",
            f"--keyring={KEYRING}",
            "sid",
            ROOT,
            MIRROR,
        ],
        logfile,
    )
    (ROOT / "etc/apt/apt.conf.d/99setzentrave").write_text(APT_CONF)
    (ROOT / "etc/ssl/certs").mkdir(parents=True, exist_ok=True)
    # A link would take the copies of the host's files elsewhere.
    (ROOT / "etc/resolv.conf").unlink(missing_ok=True)
    _install(upgrade=False)


def _install(upgrade: bool) -> None:
    global _refreshed
    logfile = LOGS / "root-sid.log"
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    run_step(TAG, "apt-get update", command(["apt-get", "update", "-q"]), logfile, env=env)
    if upgrade:
        run_step(
            TAG,
            "apt-get full-upgrade",
            command(["apt-get", "full-upgrade", "-y", "-q"]),
            logfile,
            env=env,
        )
    run_step(
        TAG,
        f"apt-get install ({len(PACKAGES)} packages and what they need)",
        command(["apt-get", "install", "-y", "-q", *PACKAGES]),
        logfile,
        env=env,
    )
    run_step(TAG, "apt-get clean", command(["apt-get", "clean"]), logfile, env=env)
    mark_complete(
        ROOT,
        packages=";".join(sorted(_installed() | set(PACKAGES))),
        updated=datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%MZ"),
    )
    _refreshed = True
    log(TAG, f"root ready: {ROOT}")


def python(minor: str) -> list[str]:
    """The root's interpreter of MINOR, as an argv prefix for command()."""
    return [f"/usr/bin/python{minor}"]
