"""CPython's upstream source, as Debian's source packages carry it.

Interim: the download itself is still done by tools/provision-interpreters
(which keeps every tarball it fetched under CACHE/sources); this module only
finds the tarball, asking that script to fetch it when it is not there yet.
"""

from __future__ import annotations

import subprocess
from pathlib import Path

from .cache import CACHE, REPO


def cpython_tarball(minor: str) -> Path:
    """The upstream tarball of the newest downloadable python MINOR (e.g. "3.13")."""
    found = _cached(minor)
    if not found:
        # Provisioning the free-threaded flavour always fetches the source.
        subprocess.run(
            [REPO / "tools" / "provision-interpreters", f"{minor}t"],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        found = _cached(minor)
    if not found:
        raise RuntimeError(f"no cached source of python{minor}")
    return found[-1]


def _cached(minor: str) -> list[Path]:
    pattern = f"python{minor}_*/python{minor}_*.orig.tar.*"
    return sorted(p for p in (CACHE / "sources").glob(pattern) if not p.name.endswith(".asc"))
