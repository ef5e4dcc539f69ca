"""The virtual environment .venv/<flavour>/ of each flavour, in the repository:
the test dependency group, and the module installed from the working tree.

A venv is reused while its interpreter and the dependency group are unchanged
(its stamp says what it was made from). The module is reinstalled whenever a
file it is built from changed, without build isolation, so scikit-build-core's
build directory per interpreter keeps rebuilds incremental.
"""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
import tomllib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .cache import REPO, locked, log

VENVS = REPO / ".venv"
STAMP_RECIPE = "2"  # bump when the way venvs are made changes
TAG = "venv"
# Files the module is built from: a change to any of them means a reinstall.
MODULE_INPUTS = ("src", "CMakeLists.txt", "cmake", "pyproject.toml")
# pip reads dependency groups from 25.1 on.
PIP = "pip>=25.1"
# The project's own builds fail on any warning.
BUILD_ENV = {
    "SKBUILD_CMAKE_DEFINE": "ZNV_WERROR=ON",
    "PIP_DISABLE_PIP_VERSION_CHECK": "1",
    "PIP_NO_INPUT": "1",
}

Enter = Callable[[Sequence[str | os.PathLike[str]]], list[str]]


def venv_python(flavour: str) -> Path:
    return VENVS / flavour / "bin" / "python"


def _pyproject() -> dict[str, Any]:
    with open(REPO / "pyproject.toml", "rb") as handle:
        return tomllib.load(handle)


def build_requires() -> list[str]:
    """The build backend the module's builds need (pyproject's build-system)."""
    requires: list[str] = _pyproject().get("build-system", {}).get("requires", [])
    return requires


def python_version(enter: Enter, base: Sequence[str]) -> str:
    """sys.version of the base interpreter BASE, run through ENTER."""
    return subprocess.run(
        enter([*base, "-c", "import sys; print(sys.version)"]),
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()


def _stamp(base: Sequence[str], version: str) -> str:
    group = json.dumps(_pyproject().get("dependency-groups", {}).get("test", []))
    return (
        f"recipe {STAMP_RECIPE}\npython {' '.join(base)}\nversion {version}\n"
        f"test group {hashlib.sha256(group.encode()).hexdigest()}\n"
    )


def _module_stamp() -> str:
    digest = hashlib.sha256()
    for name in MODULE_INPUTS:
        path = REPO / name
        for file in sorted(path.rglob("*")) if path.is_dir() else [path]:
            if file.is_file():
                info = file.stat()
                entry = f"{file.relative_to(REPO)} {info.st_size} {info.st_mtime_ns}\n"
                digest.update(entry.encode())
    return digest.hexdigest()


def _run(enter: Enter, argv: Sequence[str | os.PathLike[str]]) -> None:
    # Standard output belongs to whatever the caller runs next (tools/python).
    subprocess.run(enter(argv), env=dict(os.environ, **BUILD_ENV), check=True, stdout=sys.stderr)


@dataclass(frozen=True)
class Installer:
    """How a flavour's venv gets its packages: pip(venv, args) runs `pip
    install ARGS` into it, module(venv) installs the module from the working
    tree. By default the venv's own pip does both, in the flavour's world."""

    pip: Callable[[Path, Sequence[str | os.PathLike[str]]], None]
    module: Callable[[Path], None]


def in_world(enter: Enter) -> Installer:
    """The venv's own pip, run through ENTER, installs everything."""

    def pip(venv: Path, args: Sequence[str | os.PathLike[str]]) -> None:
        _run(enter, [venv / "bin" / "python", "-m", "pip", "install", "-q", *args])

    def module(venv: Path) -> None:
        requires = build_requires()
        if requires:
            # Cheap when already satisfied: pip does not even ask PyPI then.
            pip(venv, requires)
        pip(venv, ["--no-build-isolation", REPO])

    return Installer(pip, module)


def ensure(
    flavour: str,
    enter: Enter,
    base: Sequence[str],
    version: str | None = None,
    installer: Installer | None = None,
) -> None:
    """Make or reuse .venv/FLAVOUR from the base interpreter BASE (run through
    ENTER; VERSION is its sys.version when known without running it), and
    install the module when its sources changed. INSTALLER (in_world() by
    default) fills the venv; when it is another's, the venv gets no pip of its
    own from the venv module, but the one the installer puts there."""
    venv = VENVS / flavour
    python = venv_python(flavour)
    own = installer or in_world(enter)
    with locked(f"venv-{hashlib.sha256(str(REPO).encode()).hexdigest()[:12]}-{flavour}"):
        stamp = _stamp(base, version or python_version(enter, base))
        stamp_file = venv / ".znv-stamp"
        fresh = (
            not (python.is_symlink() or python.exists())
            or not stamp_file.exists()
            or stamp_file.read_text() != stamp
        )
        if fresh:
            log(TAG, f"{flavour}: creating .venv/{flavour} with {' '.join(base)}")
            without_pip = ["--without-pip"] if installer else []
            _run(enter, [*base, "-m", "venv", "--clear", *without_pip, venv])
            own.pip(venv, [PIP])
            # hypothesis's newest release may come only as a source needing Rust.
            group = f"{REPO / 'pyproject.toml'}:test"
            own.pip(venv, ["--only-binary", "hypothesis", "--group", group])
            (venv / ".znv-module").unlink(missing_ok=True)
            stamp_file.write_text(stamp)
        module_stamp_file = venv / ".znv-module"
        module_stamp = _module_stamp()
        if module_stamp_file.exists() and module_stamp_file.read_text() == module_stamp:
            return
        log(TAG, f"{flavour}: installing the module from the working tree")
        module_stamp_file.unlink(missing_ok=True)
        own.module(venv)
        module_stamp_file.write_text(module_stamp)
