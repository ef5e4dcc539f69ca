"""Zig from PyPI, the one C and C++ toolchain of the builds for other C libraries.

It is kept in a cached tool venv beside cmake and ninja, and entered through
small wrapper scripts, one per tool, that name the target: a build system
given them as its compilers builds for that target without knowing of Zig.
"""

from __future__ import annotations

import shlex
from collections.abc import Mapping, Sequence
from pathlib import Path

from .cache import tool_venv

TOOLS = ["ziglang==0.17.1", "cmake>=3.26", "ninja"]
COMPILERS = ("cc", "c++")


def tools() -> Path:
    """The bin directory of the tool venv: cmake, ninja (and Zig's package)."""
    return tool_venv("zig", TOOLS).parent


def wrappers(
    bindir: Path, target: str, names: Mapping[str, str], flags: Sequence[str] = ()
) -> Path:
    """Write BINDIR/NAME for each NAME -> Zig command ("cc", "c++", "ar",
    "ranlib"); the compilers build for TARGET with FLAGS. Returns BINDIR."""
    zig = next(tools().parent.glob("lib/python3*/site-packages/ziglang/zig"))
    bindir.mkdir(parents=True, exist_ok=True)
    for name, command in names.items():
        if command in COMPILERS:
            command = shlex.join([command, "-target", target, *flags])
        # Zig's own cache (the target's C library, its C++ runtime) beside
        # everything else the build reuses.
        text = (
            f"#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR='{bindir.parent / 'zig-cache'}'\n"
            f"exec '{zig}' {command} \"$@\"\n"
        )
        wrapper = bindir / name
        if not wrapper.exists() or wrapper.read_text() != text:
            wrapper.write_text(text)
            wrapper.chmod(0o755)
    return bindir
