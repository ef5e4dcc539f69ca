"""The module cross-built for FreeBSD 14 on x86-64, through the project's own CMake build.

Zig, from PyPI, compiles for FreeBSD and links against the symbol versions of
FreeBSD's C library; CPython's headers come from the cached 3.13 source,
configured as a cross build for a FreeBSD host (pyconfig.h is the only
platform-made header). Both are made once into CACHE/freebsd and reused; the
build trees are build/freebsd/<flavour>/, each holding its module.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from . import freebsd_elf, zig
from .cache import (
    CACHE,
    LOGS,
    REPO,
    StepFailed,
    apt_install,
    locked,
    log,
    mark_complete,
    marker,
    run_step,
)
from .flavours import base_python
from .sources import cpython_tarball

TAG = "freebsd"
HOME = CACHE / "freebsd"
ZIG_TARGET = "x86_64-freebsd.14.0-none"
CONFIGURE_HOST = "x86_64-unknown-freebsd14.0"
TOOLCHAIN_FILE = REPO / "cmake" / "freebsd-x86_64.cmake"
MINOR = "3.13"

# flavour: (configure options, include directory name, extension tag)
FLAVOURS = {
    "3.13": ([], "python3.13", "cpython-313"),
    "3.13t": (["--disable-gil"], "python3.13t", "cpython-313t"),
}

# What a cross configure cannot find out, since it cannot run a program on
# the target.
CONFIG_SITE = "ac_cv_buggy_getaddrinfo=no\nac_cv_file__dev_ptmx=yes\nac_cv_file__dev_ptc=no\n"

# CPython 3.13's configure stops a cross build for a host missing from its two
# host tables ("cross build not supported for ..."); one line in each makes
# FreeBSD a known host. (anchor, line added after it)
HOST_TABLES = [
    (
        "\t*-*-wasi*)\n\t    ac_sys_system=WASI\n\t    ;;\n",
        "\t*-*-freebsd*) ac_sys_system=FreeBSD ;;\n",
    ),
    (
        "\twasm32-*-* | wasm64-*-*)\n\t\t_host_ident=$host_cpu\n\t\t;;\n",
        "\t*-*-freebsd*) _host_ident=$host_cpu ;;\n",
    ),
]


def module_path(flavour: str) -> Path:
    return REPO / "build" / "freebsd" / flavour / f"_setzentrave.{FLAVOURS[flavour][2]}.so"


def zig_wrappers() -> Path:
    """The directory of zig-cc, zig-c++, zig-ar and zig-ranlib for the target."""
    names = {"zig-cc": "cc", "zig-c++": "c++", "zig-ar": "ar", "zig-ranlib": "ranlib"}
    return zig.wrappers(HOME / "bin", ZIG_TARGET, names)


def _build_python() -> str:
    """The host's 3.13 interpreter: a cross configure runs the build's own."""
    argv = base_python(MINOR)
    if len(argv) != 1:
        raise RuntimeError(f"python{MINOR} is not a host interpreter: {argv}")
    return argv[0]


def _patched_source(tarball: Path) -> Path:
    """The tarball's source, unpacked into the cache with configure's host tables patched."""
    source = HOME / "cpython"
    if marker(source).get("tarball") == tarball.name:
        return source
    with locked("freebsd-source"):
        if marker(source).get("tarball") == tarball.name:
            return source
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        run_step(
            TAG,
            f"unpacking {tarball.name}",
            ["tar", "-xf", tarball, "-C", source, "--strip-components=1"],
            LOGS / "freebsd-source.log",
        )
        configure = source / "configure"
        text = configure.read_text()
        for anchor, line in HOST_TABLES:
            if text.count(anchor) != 1:
                raise RuntimeError(f"{configure}: host table not found: {anchor!r}")
            text = text.replace(anchor, anchor + line)
        configure.write_text(text)
        mark_complete(source, tarball=tarball.name)
    return source


def headers(flavour: str) -> Path:
    """The include directory of CPython's headers as configured for FreeBSD."""
    options, include_name, _ = FLAVOURS[flavour]
    tarball = cpython_tarball(MINOR)
    prefix = HOME / flavour
    include = prefix / "include" / include_name
    wanted = {"tarball": tarball.name, "host": CONFIGURE_HOST, "options": " ".join(options)}
    if marker(prefix) == wanted:
        return include
    with locked(f"freebsd-headers-{flavour}"):
        if marker(prefix) == wanted:
            return include
        source = _patched_source(tarball)
        bindir = zig_wrappers()
        work = HOME / "configure" / flavour
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        (work / "config.site").write_text(CONFIG_SITE)
        env = dict(
            os.environ,
            CONFIG_SITE=str(work / "config.site"),
            CC=str(bindir / "zig-cc"),
            CXX=str(bindir / "zig-c++"),
            AR=str(bindir / "zig-ar"),
            RANLIB=str(bindir / "zig-ranlib"),
        )
        build_triple = subprocess.run(
            [source / "config.guess"], stdout=subprocess.PIPE, text=True, check=True
        ).stdout.strip()
        logfile = LOGS / f"freebsd-headers-{flavour}.log"
        logfile.unlink(missing_ok=True)
        configure: list[str | os.PathLike[str]] = [
            source / "configure",
            f"--build={build_triple}",
            f"--host={CONFIGURE_HOST}",
            f"--with-build-python={_build_python()}",
            f"--prefix={prefix}",
            *options,
        ]
        run_step(
            TAG,
            f"configuring {tarball.name} for FreeBSD ({flavour})",
            configure,
            logfile,
            cwd=work,
            env=env,
        )
        run_step(
            TAG,
            f"installing the {flavour} headers",
            ["make", "inclinstall"],
            logfile,
            cwd=work,
            env=env,
        )
        shutil.rmtree(work)
        mark_complete(prefix, **wanted)
    return include


def build(flavour: str) -> Path:
    """Builds the module for FreeBSD with FLAVOUR's headers; returns its path."""
    _, _, soabi = FLAVOURS[flavour]
    include = headers(flavour)
    bindir = zig_wrappers()
    tools = zig.tools()
    tree = REPO / "build" / "freebsd" / flavour
    logfile = LOGS / f"freebsd-build-{flavour}.log"
    logfile.unlink(missing_ok=True)
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}")
    configure: list[str | os.PathLike[str]] = [
        tools / "cmake",
        "-S",
        REPO,
        "-B",
        tree,
        "-G",
        "Ninja",
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN_FILE}",
        f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}",
        f"-DZNV_ZIG_BIN={bindir}",
        f"-DPython_INCLUDE_DIR={include}",
        f"-DPython_SOABI={soabi}",
        "-DZNV_WERROR=ON",
    ]
    run_step(TAG, f"configuring the {flavour} build", configure, logfile, env=env)
    run_step(
        TAG, f"building the {flavour} module", [tools / "cmake", "--build", tree], logfile, env=env
    )
    module = module_path(flavour)
    if not module.exists():
        raise RuntimeError(f"the build made no {module}")
    return module


def main(argv: list[str]) -> int:
    flavours = argv or list(FLAVOURS)
    unknown = [f for f in flavours if f not in FLAVOURS]
    if unknown:
        log(TAG, f"no FreeBSD flavour {' '.join(unknown)}; there are {' '.join(FLAVOURS)}")
        return 2
    apt_install(TAG, ["binutils", "make", "xz-utils"])
    passed = failed = 0
    for flavour in flavours:
        try:
            module = build(flavour)
        except (StepFailed, RuntimeError, subprocess.CalledProcessError) as error:
            failed += 1
            print(f"FAIL {flavour}: build: {error}")
            continue
        log(TAG, f"built {module.relative_to(REPO)}")
        for name, problems in freebsd_elf.check(module, free_threaded=flavour.endswith("t")):
            if problems:
                failed += 1
                print(f"FAIL {flavour}: {name}")
                for problem in problems:
                    print(f"     {problem}")
            else:
                passed += 1
                print(f"ok   {flavour}: {name}")
    print(f"freebsd: {passed} passed, {failed} failed")
    return 1 if failed else 0
