"""The interpreters that live on the host, each with its headers:

  3.13   a normal build found on the machine, else built from source
  3.13t  free-threaded 3.13 built from source
  3.Nt   the free-threaded build of the newest minor whose source Debian offers

Sources are the upstream tarballs of Debian's source packages. Builds go to
CACHE/python/<flavour> and are reused; ZNV_REFRESH=1 asks Debian again and
rebuilds a flavour whose newest obtainable version changed.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import threading
import time
from collections.abc import Sequence
from pathlib import Path

from . import debian
from .cache import CACHE, LOGS, apt_install, locked, log, mark_complete, marker, run_step

FIRST_MINOR = 13
TAG = "provision"
LIST_FILE = CACHE / "interpreters.list"
NEWEST_T_FILE = CACHE / "newest-t"
# What building CPython (with ctypes, ssl, ...) needs, and what the tests need
# on the host (gtest for the C++ unit tests, ps).
SYSTEM_PACKAGES = [
    "build-essential",
    "pkg-config",
    "xz-utils",
    "libffi-dev",
    "libssl-dev",
    "zlib1g-dev",
    "libbz2-dev",
    "liblzma-dev",
    "libsqlite3-dev",
    "libreadline-dev",
    "libncurses-dev",
    "uuid-dev",
    "libgdbm-dev",
    "libgtest-dev",
    "procps",
    "ca-certificates",
]
_CHECK = """\
import sys, os, sysconfig, venv, ensurepip, ctypes, ssl
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert ft == (sys.argv[1] == "1"), "wrong GIL flavour"
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")), "no Python.h"
print("%d.%d.%d" % sys.version_info[:3])
"""


def refresh() -> bool:
    return os.environ.get("ZNV_REFRESH") == "1"


def parse(flavour: str) -> tuple[str, bool]:
    """ "3.13t" -> ("3.13", True)."""
    match = re.fullmatch(r"(3\.\d+)(t?)", flavour)
    if not match:
        raise ValueError(f"unknown flavour '{flavour}' (expected e.g. 3.13 or 3.13t)")
    return match.group(1), bool(match.group(2))


def check_python(python: str | Path, free_threaded: bool) -> str | None:
    """The version of a usable interpreter (runs, GIL flavour as expected,
    headers, venv/ensurepip, ctypes, ssl), else None."""
    if not os.access(python, os.X_OK):
        return None
    done = subprocess.run(
        [python, "-", "1" if free_threaded else "0"], input=_CHECK, capture_output=True, text=True
    )
    return done.stdout.strip() if done.returncode == 0 else None


def _version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in re.findall(r"\d+", version))


def find_local(minor: str) -> Path | None:
    """The newest normal build of python MINOR already on the machine."""
    pyenv = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv")
    candidates = [
        Path(f"/usr/bin/python{minor}"),
        Path(f"/usr/local/bin/python{minor}"),
        *sorted(pyenv.glob(f"versions/{minor}*/bin/python{minor}")),
    ]
    best: Path | None = None
    best_version: tuple[int, ...] = ()
    for python in candidates:
        version = check_python(python, False)
        if version and (best is None or _version_key(version) > best_version):
            best, best_version = python, _version_key(version)
    return best


def _build(flavour: str, minor: str, version: str, free_threaded: bool) -> None:
    """Build python MINOR VERSION into CACHE/python/FLAVOUR. The prefix is wiped
    first and the marker written last, so an interrupted build is redone."""
    prefix, scratch = CACHE / "python" / flavour, CACHE / "build" / flavour
    logfile = LOGS / f"build-{flavour}.log"
    log(TAG, f"building {flavour} from Debian's python{minor} {version} (log: {logfile})")
    tarball = debian.fetch_orig(f"python{minor}", version)
    if not tarball:
        raise RuntimeError(f"cannot download python{minor} {version}")
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    logfile.parent.mkdir(parents=True, exist_ok=True)
    logfile.write_text("")
    run_step(TAG, "unpack", ["tar", "-xf", tarball], logfile, cwd=scratch)
    source = next(scratch.glob("*/configure")).parent
    options = [
        f"--prefix={prefix}",
        "--with-ensurepip=install",
        "--enable-shared",
        f"LDFLAGS=-Wl,-rpath,{prefix}/lib",
    ]
    if free_threaded:
        options.append("--disable-gil")
    run_step(TAG, "configure", ["./configure", *options], logfile, cwd=source)
    run_step(TAG, "make", ["make", f"-j{os.cpu_count() or 1}"], logfile, cwd=source)
    run_step(TAG, "install", ["make", "install"], logfile, cwd=source)
    python = prefix / "bin" / f"python{minor}{'t' if free_threaded else ''}"
    if not check_python(python, free_threaded):
        raise RuntimeError(f"the new {flavour} interpreter fails its checks: {python}")
    shutil.rmtree(scratch)
    mark_complete(prefix, version=version, python=str(python))
    log(TAG, f"built {flavour}: {python}")


def provision(flavour: str) -> Path:
    """The base interpreter of host FLAVOUR, building it when needed."""
    apt_install(TAG, SYSTEM_PACKAGES)
    python = _provision(flavour)
    _record(flavour, python)
    return python


def _provision(flavour: str) -> Path:
    minor, free_threaded = parse(flavour)
    if not free_threaded:
        local = find_local(minor)
        if local:
            return local
    built = marker(CACHE / "python" / flavour)
    if built and not refresh():
        return Path(built["python"])
    with locked("interpreters"):
        built = marker(CACHE / "python" / flavour)
        if built and not refresh():
            return Path(built["python"])
        log(TAG, f"{flavour}: looking for the newest python{minor} source in Debian")
        version = debian.newest_version(minor, built.get("version", ""))
        if not version:
            raise RuntimeError(f"no downloadable Debian source for python{minor}")
        if version != built.get("version"):
            _build(flavour, minor, version, free_threaded)
        return Path(marker(CACHE / "python" / flavour)["python"])


def newest_t() -> str:
    """The free-threaded flavour of the newest minor whose source can be had.

    The choice is recorded so later runs need no network; one made only because
    newer sources failed to download is a fallback, looked at again daily.
    """
    lines = NEWEST_T_FILE.read_text().split() if NEWEST_T_FILE.exists() else []
    have = lines[0] if lines and marker(CACHE / "python" / lines[0]) else ""
    if have and not refresh():
        stale = time.time() - NEWEST_T_FILE.stat().st_mtime > 86400
        if lines[1:] != ["fallback"] or not stale:
            return have
        log(
            TAG,
            f"{have} was chosen because newer sources failed to download: checking again (daily)",
        )
        NEWEST_T_FILE.touch()
    with locked("interpreters"):
        if not debian.update() and have:
            log(TAG, f"warning: cannot ask Debian now; keeping {have}")
            return have
        listed = debian.minors(FIRST_MINOR)
        for minor in listed:
            log(TAG, f"newest free-threaded flavour: trying python{minor}")
            built = marker(CACHE / "python" / f"{minor}t").get("version", "")
            if debian.newest_version(minor, built):
                if minor == listed[0]:
                    NEWEST_T_FILE.write_text(f"{minor}t\n")
                else:
                    log(
                        TAG,
                        f"warning: Debian lists python{listed[0]} but no newer source "
                        f"than python{minor} could be downloaded",
                    )
                    NEWEST_T_FILE.write_text(f"{minor}t\nfallback\n")
                return f"{minor}t"
    if not have:
        raise RuntimeError(f"no python3 source from 3.{FIRST_MINOR} on can be downloaded")
    log(TAG, f"warning: no listed source can be downloaded now; keeping {have}")
    return have


def default_flavours() -> list[str]:
    names = [f"3.{FIRST_MINOR}", f"3.{FIRST_MINOR}t", newest_t()]
    return list(dict.fromkeys(names))


def recorded() -> dict[str, str]:
    """The recorded "<flavour> <python>" list, flavour to interpreter."""
    if not LIST_FILE.exists():
        return {}
    pairs = (line.split(" ", 1) for line in LIST_FILE.read_text().splitlines() if " " in line)
    return dict(pairs)


def _record(flavour: str, python: Path) -> None:
    entries = recorded()
    if entries.get(flavour) == str(python):
        return
    entries[flavour] = str(python)
    CACHE.mkdir(parents=True, exist_ok=True)
    # Its own file: another thread or run may be writing the list too.
    tmp = LIST_FILE.with_suffix(f".{os.getpid()}-{threading.get_ident()}.tmp")
    tmp.write_text("".join(f"{k} {v}\n" for k, v in entries.items()))
    tmp.rename(LIST_FILE)


def main(args: Sequence[str]) -> int:
    """tools/provision-interpreters [--names | --list | FLAVOUR...]."""
    from . import root

    if args[:1] in (["-h"], ["--help"]):
        print(__doc__)
        return 0
    if args[:1] == ["--list"]:
        if not LIST_FILE.exists():
            log(TAG, "ERROR: nothing provisioned yet")
            return 1
        print(LIST_FILE.read_text(), end="")
        return 0
    if args[:1] == ["--names"]:
        print("\n".join(default_flavours()))
        return 0
    lines = []
    for flavour in args or [*default_flavours(), *root.MINORS]:
        if flavour in root.MINORS:
            root.provision(refresh=refresh())
            lines.append(f"{flavour} {' '.join(root.python(flavour))} (in {root.ROOT})")
        else:
            lines.append(f"{flavour} {provision(flavour)}")
    log(TAG, f"ready: {' '.join(line.split()[0] for line in lines)} (list: {LIST_FILE})")
    print("\n".join(lines))
    return 0
