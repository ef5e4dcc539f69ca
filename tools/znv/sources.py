"""Upstream sources, as Debian's source packages carry them."""

from __future__ import annotations

import shutil
from pathlib import Path

from . import debian
from .cache import CACHE, run_step


def cpython_tarball(minor: str) -> Path:
    """The upstream tarball of the newest downloadable python MINOR (e.g. "3.13")."""
    found = _cached(minor)
    if found:
        return found[-1]
    version = debian.newest_version(minor)
    tarball = version and debian.fetch_orig(f"python{minor}", version)
    if not tarball:
        raise RuntimeError(f"no downloadable Debian source of python{minor}")
    return tarball


def _cached(minor: str) -> list[Path]:
    pattern = f"python{minor}_*/python{minor}_*.orig.tar.*"
    return sorted(p for p in (CACHE / "sources").glob(pattern) if not p.name.endswith(".asc"))


def unpack_debian_source(tag: str, package: str, work: Path, logfile: Path) -> tuple[str, Path]:
    """The newest downloadable upstream tarball of Debian's PACKAGE, unpacked
    into WORK; returns its version and source directory."""
    debian.update()
    for version in debian.versions(package):
        tarball = debian.fetch_orig(package, version)
        if tarball:
            shutil.rmtree(work, ignore_errors=True)
            work.mkdir(parents=True)
            run_step(tag, f"unpacking {tarball.name}", ["tar", "-xf", tarball], logfile, cwd=work)
            (source,) = [p for p in work.iterdir() if p.is_dir()]
            return version, source
    raise RuntimeError(f"no downloadable Debian source of {package}")
