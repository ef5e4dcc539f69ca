"""What a FreeBSD object of the module must be, read from its ELF with binutils.

The object cannot be loaded here, so these checks stand in for loading it: the
libraries and symbol versions FreeBSD's runtime linker will be asked for, the
names it exports, and the reference counting its interpreter calls reveal.
"""

from __future__ import annotations

import re
import subprocess
from collections.abc import Callable, Iterator
from pathlib import Path

# FreeBSD's C library, and its thread library for pthread_atfork.
LIBRARIES = {"libc.so.7", "libthr.so.3"}
EXPORTS = {"PyInit__setzentrave", "znv_strlcpy", "PyFile_FromString"}
# Names only Linux's C library has: linked here, each would fail to bind at load.
LINUX_ONLY = {"prctl", "getauxval", "program_invocation_name", "program_invocation_short_name"}
# The C library's calls the FreeBSD backend makes, at the versions its libc.so.7
# defines them: the title, its limit and the program name before it, and the
# auxiliary vector's stack window and ps_strings record (elf_aux_info since
# FreeBSD 12).
PLATFORM_CALLS = {
    "setproctitle": "FBSD_1.0",
    "sysctlbyname": "FBSD_1.0",
    "getprogname": "FBSD_1.0",
    "elf_aux_info": "FBSD_1.5",
}
# Defined by the program's start-up code on FreeBSD, not by a library, so
# imported without a version.
FROM_THE_PROGRAM = {"environ"}
# Free-threaded reference counting hands objects another thread owns to
# _Py_DecRefShared; with the GIL, a count that reaches zero calls _Py_Dealloc.
FREE_THREADED_ONLY = "_Py_DecRefShared"
GIL_ONLY = "_Py_Dealloc"


def _tool(*argv: str | Path) -> str:
    return subprocess.run(
        [str(a) for a in argv], stdout=subprocess.PIPE, text=True, check=True
    ).stdout


class Elf:
    def __init__(self, path: Path) -> None:
        self.path = path
        self.header = _tool("readelf", "-h", "-W", path)
        dynamic = _tool("readelf", "-d", "-W", path)
        self.needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
        self.version_files = re.findall(r"File: (\S+)", _tool("readelf", "-V", "-W", path))
        self.version_names = re.findall(r"Name: (\S+)\s+Flags", _tool("readelf", "-V", "-W", path))
        self.defined = set(
            _tool("nm", "-D", "--defined-only", "--format=just-symbols", path).split()
        )
        # name -> version ("" when unversioned), as "name@VERSION" in nm's listing
        self.imports: dict[str, str] = {}
        for entry in _tool("nm", "-D", "--undefined-only", "--format=just-symbols", path).split():
            name, _, version = entry.partition("@")
            self.imports[name] = version


def _machine(elf: Elf, free_threaded: bool) -> list[str]:
    wanted = {
        "Class": "ELF64",
        "Type": "DYN (Shared object file)",
        "Machine": "Advanced Micro Devices X86-64",
    }
    found = dict(re.findall(r"^\s*(\w+):\s+(.*?)\s*$", elf.header, re.MULTILINE))
    return [
        f"{key} is {found.get(key)!r}, not {value!r}"
        for key, value in wanted.items()
        if found.get(key) != value
    ]


def _libraries(elf: Elf, free_threaded: bool) -> list[str]:
    problems = [f"needs {name}" for name in elf.needed if name not in LIBRARIES]
    if "libc.so.7" not in elf.needed:
        problems.append(f"does not need libc.so.7 (needs {elf.needed})")
    problems += [
        f"asks {name} for symbol versions" for name in elf.version_files if name not in LIBRARIES
    ]
    problems += [
        f"asks for version {name}" for name in elf.version_names if not name.startswith("FBSD_")
    ]
    return problems


def _exports(elf: Elf, free_threaded: bool) -> list[str]:
    problems = [f"exports {name}" for name in sorted(elf.defined - EXPORTS)]
    problems += [f"does not export {name}" for name in sorted(EXPORTS - elf.defined)]
    return problems


def _platform_calls(elf: Elf, free_threaded: bool) -> list[str]:
    problems = []
    for name, wanted in PLATFORM_CALLS.items():
        version = elf.imports.get(name)
        if version is None:
            problems.append(f"does not import {name}")
        elif version != wanted:
            problems.append(f"imports {name}@{version!r}, not @{wanted}")
    return problems


def _imports(elf: Elf, free_threaded: bool) -> list[str]:
    # Every import is FreeBSD's (versioned), the interpreter's (whose
    # symbols carry no version) or the program's.
    problems = [
        f"imports {name}, which only Linux has"
        for name in sorted(LINUX_ONLY)
        if name in elf.imports
    ]
    foreign = [
        f"{name}@{version}"
        for name, version in sorted(elf.imports.items())
        if version and not version.startswith("FBSD_")
    ]
    if foreign:
        problems.append(
            f"imports {len(foreign)} names at versions FreeBSD's libraries do not "
            f"define: {' '.join(foreign[:5])}{' ...' if len(foreign) > 5 else ''}"
        )
    problems += [
        f"imports {name} unversioned: neither FreeBSD's libraries nor the interpreter provide it"
        for name, version in sorted(elf.imports.items())
        if not version
        and name not in LINUX_ONLY | FROM_THE_PROGRAM
        and not name.startswith(("Py", "_Py"))
    ]
    return problems


def _gil_flavour(elf: Elf, free_threaded: bool) -> list[str]:
    kind, expected, unexpected = (
        ("free-threaded", FREE_THREADED_ONLY, GIL_ONLY)
        if free_threaded
        else ("GIL", GIL_ONLY, FREE_THREADED_ONLY)
    )
    problems = []
    if expected not in elf.imports:
        problems.append(f"does not import {expected}, as a {kind} build does")
    if unexpected in elf.imports:
        problems.append(f"imports {unexpected}, as only the other build does")
    return problems


CHECKS: list[tuple[str, Callable[[Elf, bool], list[str]]]] = [
    ("an x86-64 ELF shared object", _machine),
    ("needs FreeBSD's libc.so.7 (and libthr.so.3) and nothing else", _libraries),
    ("exports exactly " + ", ".join(sorted(EXPORTS)), _exports),
    (
        "imports " + ", ".join(f"{name}@{version}" for name, version in PLATFORM_CALLS.items()),
        _platform_calls,
    ),
    ("imports nothing FreeBSD does not have (prctl, getauxval, ...)", _imports),
    ("built for its interpreter's GIL flavour", _gil_flavour),
]


def check(path: Path, free_threaded: bool) -> Iterator[tuple[str, list[str]]]:
    """Each check's name and the problems it found in the object at PATH."""
    elf = Elf(path)
    for name, run in CHECKS:
        yield name, run(elf, free_threaded)
