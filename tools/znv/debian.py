"""Debian's source packages, fetched by apt with a private state, cache and
sources list, so the machine's own apt configuration is never touched."""

from __future__ import annotations

import functools
import re
import shutil
import subprocess
import time
from pathlib import Path

from .cache import CACHE, LOGS, log

APT = CACHE / "apt"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
SUITES = ("trixie", "sid")


def _options(apt: Path) -> list[str]:
    """apt's options for a private state, cache and sources list under APT."""
    return [
        "-o",
        f"Dir::State={apt}/state",
        "-o",
        f"Dir::Cache={apt}/cache",
        "-o",
        f"Dir::Etc::SourceList={apt}/etc/sources.list",
        "-o",
        "Dir::Etc::SourceParts=/dev/null",
        "-o",
        "APT::Sandbox::User=root",
    ]


_OPTIONS = _options(APT)
TAG = "debian"
# None: not tried in this run; then True or False.
_state: dict[str, bool | None] = {"updated": None}


def update() -> bool:
    """Bring the private list of sources up to date (once a run; lists younger
    than an hour are kept). False if Debian could not be asked."""
    if _state["updated"] is not None:
        return bool(_state["updated"])
    for sub in ("state/lists/partial", "cache/archives/partial", "etc"):
        (APT / sub).mkdir(parents=True, exist_ok=True)
    (APT / "etc/sources.list").write_text(
        "".join(
            f"deb-src [signed-by={KEYRING}] http://deb.debian.org/debian {suite} main\n"
            for suite in SUITES
        )
    )
    stamp = APT / "updated"
    if stamp.exists() and time.time() - stamp.stat().st_mtime < 3600:
        _state["updated"] = True
        return True
    log(TAG, "updating the private list of Debian sources")
    LOGS.mkdir(parents=True, exist_ok=True)
    with open(LOGS / "apt-update.log", "w") as out:
        done = subprocess.run(
            ["apt-get", *_OPTIONS, "update", "--error-on=any"], stdout=out, stderr=subprocess.STDOUT
        )
    _state["updated"] = done.returncode == 0
    if done.returncode:
        log(TAG, f"warning: apt-get update had errors (see {LOGS}/apt-update.log)")
    else:
        stamp.touch()
    return bool(_state["updated"])


def _compare(a: str, b: str) -> int:
    if a == b:
        return 0
    newer = subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0
    return 1 if newer else -1


def versions(package: str) -> list[str]:
    """The versions of source PACKAGE in the private lists, newest first."""
    shown = subprocess.run(
        ["apt-cache", *_OPTIONS, "showsrc", package], capture_output=True, text=True
    ).stdout
    found = set(re.findall(r"^Version: (\S+)$", shown, re.MULTILINE))
    return sorted(found, key=functools.cmp_to_key(_compare), reverse=True)


def _orig(directory: Path, package: str) -> Path | None:
    found = sorted(p for p in directory.glob(f"{package}_*.orig.tar.*") if p.suffix != ".asc")
    return found[0] if found else None


def fetch_orig(package: str, version: str) -> Path | None:
    """The upstream tarball of PACKAGE=VERSION, downloaded once into the cache;
    None if Debian will not let it be downloaded."""
    directory = CACHE / "sources" / f"{package}_{version}"
    tarball = _orig(directory, package)
    if tarball:
        return tarball
    partial = directory.with_name(directory.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    logfile = LOGS / f"download-{package}_{version}.log"
    with open(logfile, "w") as out:
        done = subprocess.run(
            ["apt-get", *_OPTIONS, "source", "--download-only", f"{package}={version}"],
            cwd=partial,
            stdout=out,
            stderr=subprocess.STDOUT,
        )
    if done.returncode:
        why = re.search(r"\d{3} +[A-Z][a-z]+( [A-Z][a-z]+)*", logfile.read_text(errors="replace"))
        reason = why.group(0) if why else f"see {logfile}"
        log(TAG, f"  {package} {version}: not downloadable ({reason})")
        shutil.rmtree(partial)
        return None
    shutil.rmtree(directory, ignore_errors=True)
    partial.rename(directory)
    tarball = _orig(directory, package)
    if not tarball:
        raise RuntimeError(f"no upstream orig tarball among the sources of {package} {version}")
    return tarball


def newest_version(minor: str, built: str = "") -> str | None:
    """The newest version of python MINOR that is already built (BUILT) or
    whose source can be downloaded."""
    update()
    for version in versions(f"python{minor}"):
        if version == built or fetch_orig(f"python{minor}", version):
            return version
    return None


def minors(first: int) -> list[str]:
    """Minors 3.FIRST, 3.FIRST+1, ... that Debian has a source package for, newest first."""
    update()
    found: list[str] = []
    n, misses = first, 0
    while misses < 3:
        if versions(f"python3.{n}"):
            found.insert(0, f"3.{n}")
            misses = 0
        else:
            misses += 1
        n += 1
    return found


def fetch_deb(package: str, suite: str = "trixie") -> Path:
    """Debian's binary PACKAGE for amd64 from SUITE, downloaded once into the
    cache (never installed). Its own private lists: binary indexes only for
    SUITE, so the source lists above stay small."""
    directory = CACHE / "debs" / f"{package}_{suite}"
    found = sorted(directory.glob(f"{package}_*.deb"))
    if found:
        return found[-1]
    apt = CACHE / "apt-deb" / suite
    for sub in ("state/lists/partial", "cache/archives/partial", "etc"):
        (apt / sub).mkdir(parents=True, exist_ok=True)
    (apt / "etc/sources.list").write_text(
        f"deb [signed-by={KEYRING} arch=amd64] http://deb.debian.org/debian {suite} main\n"
    )
    logfile = LOGS / f"download-{package}_{suite}.log"
    logfile.parent.mkdir(parents=True, exist_ok=True)
    partial = directory.with_name(directory.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    log(TAG, f"downloading Debian's {package} package from {suite}")
    with open(logfile, "w") as out:
        for argv in (["update", "--error-on=any"], ["download", f"{package}:amd64"]):
            done = subprocess.run(
                ["apt-get", *_options(apt), *argv],
                cwd=partial,
                stdout=out,
                stderr=subprocess.STDOUT,
            )
            if done.returncode:
                shutil.rmtree(partial)
                raise RuntimeError(
                    f"cannot download Debian's {package} from {suite}, see {logfile}"
                )
    shutil.rmtree(directory, ignore_errors=True)
    partial.rename(directory)
    return next(directory.glob(f"{package}_*.deb"))
