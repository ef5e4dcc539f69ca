"""CPython's upstream source, as Debian's source packages carry it."""

from __future__ import annotations

from pathlib import Path

from . import debian
from .cache import CACHE


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
