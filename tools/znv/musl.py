"""CPython 3.13 on musl, on the host: the flavour "3.13-musl".

Zig (tools.znv.zig) compiles for x86_64-linux-musl. Programs are linked
dynamically (a static interpreter cannot load extension modules) against the
loader of Debian's `musl` package, unpacked into the cache and named in each
program's header, so nothing is installed on the host. zlib, libffi (ctypes)
and OpenSSL (ssl, so pip reaches the registry as on the host) are built static
from Debian's source tarballs, as is GoogleTest for the C++ unit tests.

The flavour's world is the host with Zig's compilers first on PATH under the
usual names (cc, gcc, c++, g++), so the module, the unit tests and the test
programs the tests compile are all built for musl. Everything lives in
CACHE/musl, each piece behind its own completion marker.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
from collections.abc import Sequence
from pathlib import Path

from . import debian, zig
from .cache import CACHE, LOGS, apt_install, locked, log, mark_complete, marker, run_step
from .sources import cpython_tarball, unpack_debian_source

TAG = "musl"
FLAVOURS = ("3.13-musl",)
# The tag its wheels carry: Debian's musl is 1.2.
WHEEL_PLATFORM = "musllinux_1_2_x86_64"
MINOR = "3.13"
HOME = CACHE / "musl"
TARGET = "x86_64-linux-musl"
# Bumped when the interpreter's build changes: it is rebuilt then.
RECIPE = "2"
# The extension suffix of CPython on musl, which musllinux wheels carry.
SUFFIX = f".cpython-{MINOR.replace('.', '')}-{TARGET}.so"
LOADER = HOME / "loader" / "usr/lib/x86_64-linux-musl/libc.so"
BIN = HOME / "bin"
DEPS = HOME / "deps"
PREFIX = HOME / "python"
ENTER = BIN / "enter"
# -dynamic: Zig links a musl program statically unless told otherwise.
# Debian's musl loader is named in every program's header; compiling alone
# ignores it (and must not warn, where warnings are errors). CPython's build
# stamps dates, which Zig refuses by default for reproducible builds.
FLAGS = (
    "-dynamic",
    f"-Wl,--dynamic-linker={LOADER}",
    "-Wno-unused-command-line-argument",
    "-Wno-error=date-time",
)
NAMES = {
    "cc": "cc",
    "gcc": "cc",
    "c++": "c++",
    "g++": "c++",
    "ar": "ar",
    "ranlib": "ranlib",
}
# What the builds run on the host: OpenSSL's Configure is Perl; libffi's
# tarball is a snapshot of its repository, whose configure is yet to be made
# (libltdl-dev has a macro it uses).
HOST_PACKAGES = [
    *("make", "perl", "xz-utils", "binutils"),
    *("autoconf", "automake", "libtool", "libltdl-dev"),
]
# OpenSSL as a TLS client and the hashes CPython takes from it need: no
# programs, tests, documents, engines or loadable modules.
OPENSSL_OPTIONS = [
    "linux-x86_64",
    "no-shared",
    "no-tests",
    "no-docs",
    "no-apps",
    "no-module",
    "no-engine",
    "no-dso",
    "no-legacy",
    "-fPIC",
    "--libdir=lib",
    # Debian's store of certificate authorities: pip verifies PyPI with it.
    "--openssldir=/usr/lib/ssl",
]
_CHECK = """\
import ctypes, ssl, zlib, venv, ensurepip, platform, sys, sysconfig
assert platform.libc_ver()[0] != "glibc", "built against glibc"
assert sysconfig.get_config_var("EXT_SUFFIX") == sys.argv[1], "not musllinux's extension suffix"
"""


def command(argv: Sequence[str | os.PathLike[str]]) -> list[str]:
    """ARGV run in the flavour's world (which must be provisioned)."""
    return [str(ENTER), *map(str, argv)]


# auditwheel knows musl only by its loader in /lib, which the host lacks:
# it is told where the cached one is, and resolves libc.so beside it.
_AUDITWHEEL = """\
import sys
from pathlib import Path
import auditwheel.libc
from auditwheel.main import main
loader = Path(sys.argv.pop(1))
auditwheel.libc._find_musl_libc = lambda: loader
sys.argv[0] = "auditwheel"
sys.exit(main())
"""


def auditwheel_repair(python: Path) -> list[str]:
    """The argv prefix of `auditwheel repair` to the musllinux tag, run by
    PYTHON of auditwheel's venv."""
    repair = ["repair", "--plat", WHEEL_PLATFORM, "--ldpaths", str(LOADER.parent)]
    return [str(python), "-c", _AUDITWHEEL, str(LOADER), *repair]


def _compilers() -> dict[str, str]:
    return {"CC": str(BIN / "cc"), "CXX": str(BIN / "c++"), "AR": str(BIN / "ar")}


def _door() -> None:
    """The door into the world and what it puts first on PATH, each rewritten
    only when it changed. Besides Zig's compilers, the host's cmake, ctest and
    ninja: those of musllinux wheels name the loader at
    /lib/ld-musl-x86_64.so.1, which the host lacks, and build tools need not
    run on musl."""
    zig.wrappers(BIN, TARGET, NAMES, FLAGS)
    exports = {**_compilers(), "CMAKE_PREFIX_PATH": str(DEPS / "googletest")}
    text = (
        "#!/bin/sh\n# Runs a command with the compilers and libraries of the musl flavour.\n"
        f'PATH={shlex.quote(str(BIN))}:"$PATH"\n'
        + "".join(f"{name}={shlex.quote(value)}\n" for name, value in exports.items())
        + f'export PATH {" ".join(exports)}\nexec "$@"\n'
    )
    if not ENTER.exists() or ENTER.read_text() != text:
        ENTER.write_text(text)
        ENTER.chmod(0o755)
    for name in ("cmake", "ctest", "ninja"):
        link, target = BIN / name, zig.tools() / name
        if not link.is_symlink() or link.readlink() != target:
            link.unlink(missing_ok=True)
            link.symlink_to(target)


def _loader() -> None:
    """Debian's musl loader, unpacked (not installed) into the cache."""
    if marker(LOADER.parents[3]):
        return
    deb = debian.fetch_deb("musl")
    root = LOADER.parents[3]
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    if not LOADER.is_file():
        raise RuntimeError(f"{deb.name} has no {LOADER.relative_to(root)}")
    mark_complete(root, deb=deb.name)


def _library(package: str, steps: Sequence[Sequence[str]], cwd: str = ".") -> Path:
    """PACKAGE built from Debian's source by STEPS (@PREFIX@ in them replaced by
    its prefix) and installed into DEPS/PACKAGE, once."""
    prefix = DEPS / package
    if marker(prefix):
        return prefix
    logfile = LOGS / f"musl-{package}.log"
    logfile.unlink(missing_ok=True)
    work = HOME / "work" / package
    version, source = unpack_debian_source(TAG, package, work, logfile)
    shutil.rmtree(prefix, ignore_errors=True)
    env = dict(os.environ, **_compilers(), PATH=f"{zig.tools()}:{os.environ['PATH']}")
    (source / cwd).mkdir(exist_ok=True)
    for step in steps:
        argv = [arg.replace("@PREFIX@", str(prefix)) for arg in step]
        run_step(TAG, f"{package}: {Path(argv[0]).name}", argv, logfile, cwd=source / cwd, env=env)
    shutil.rmtree(work)
    mark_complete(prefix, version=version)
    return prefix


def _libraries() -> None:
    make = ["make", f"-j{os.cpu_count() or 1}"]
    zlib = ["env", "CFLAGS=-O2 -fPIC", "./configure", "--static", "--prefix=@PREFIX@"]
    _library("zlib", [zlib, make, ["make", "install"]])
    # libtool's check that -static links would build a static C library as
    # well, for nothing: both libraries here are static.
    libffi = [
        *("env", "lt_cv_prog_compiler_static_works=no", "./configure", "--prefix=@PREFIX@"),
        *("--disable-shared", "--enable-static", "--with-pic"),
        *("--disable-docs", "--disable-multi-os-directory"),
    ]
    _library("libffi", [["autoreconf", "-f", "-i"], libffi, make, ["make", "install"]])
    openssl = ["perl", "./Configure", "--prefix=@PREFIX@", *OPENSSL_OPTIONS]
    _library("openssl", [openssl, make, ["make", "install_sw"]])
    cmake, ninja = str(zig.tools() / "cmake"), str(zig.tools() / "ninja")
    googletest = [
        *(cmake, "-S", "..", "-B", ".", "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"),
        *("-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INSTALL_PREFIX=@PREFIX@", "-DBUILD_GMOCK=OFF"),
    ]
    steps = [googletest, [cmake, "--build", "."], [cmake, "--install", "."]]
    _library("googletest", steps, cwd="build")


def _patch_triplet(source: Path) -> None:
    """configure tells musl by a type musl's <stdarg.h> defines, but Zig's is
    the compiler's own; <stdio.h> is musl's. Without it the platform is
    unnamed and the extension suffix lacks "x86_64-linux-musl", so the
    extension modules of musllinux wheels would not be found."""
    anchor = "// Heuristic to detect musl libc\n#  include <stdarg.h>\n"
    _patch(source, anchor, anchor.replace("stdarg.h", "stdio.h"))


def _patch(source: Path, old: str, new: str) -> None:
    """Replace OLD by NEW in SOURCE, where it must be. (Zig's linker knows
    the shared library's name option only by its long name, -soname.)"""
    text = source.read_text()
    if old not in text:
        raise RuntimeError(f"{source}: {old!r} is not where it was")
    source.write_text(text.replace(old, new))


def _python() -> None:
    """CPython MINOR for musl, from the tarball the host's builds use."""
    python = PREFIX / "bin" / f"python{MINOR}"
    tarball = cpython_tarball(MINOR)
    logfile = LOGS / "musl-python.log"
    logfile.unlink(missing_ok=True)
    log(TAG, f"building {MINOR} for musl from {tarball.name} (log: {logfile})")
    work = HOME / "work" / "python"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    run_step(TAG, "unpack", ["tar", "-xf", tarball, "--strip-components=1"], logfile, cwd=work)
    _patch_triplet(work / "Misc" / "platform_triplet.c")
    _patch(work / "Makefile.pre.in", "-Wl,-h$", "-Wl,-soname,$")
    # Only the libraries built here: the host's glibc ones must not be found.
    pkgconfig = ":".join(str(DEPS / name / "lib" / "pkgconfig") for name in ("zlib", "libffi"))
    env = dict(os.environ, **_compilers(), PKG_CONFIG_LIBDIR=pkgconfig, RANLIB=str(BIN / "ranlib"))
    configure = [
        "./configure",
        f"--prefix={PREFIX}",
        "--with-ensurepip=install",
        f"--with-openssl={DEPS / 'openssl'}",
        # A program that embeds the interpreter (as the tests' host does)
        # must export its API to extension modules: a shared libpython does.
        "--enable-shared",
        f"LDFLAGS=-Wl,-rpath,{PREFIX}/lib",
        # CPython's own test modules: nothing here imports them.
        "--disable-test-modules",
    ]
    run_step(TAG, "configure", configure, logfile, cwd=work, env=env)
    run_step(TAG, "make", ["make", f"-j{os.cpu_count() or 1}"], logfile, cwd=work, env=env)
    shutil.rmtree(PREFIX, ignore_errors=True)
    run_step(TAG, "install", ["make", "install"], logfile, cwd=work, env=env)
    done = subprocess.run([python, "-c", _CHECK, SUFFIX], capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"the new musl interpreter fails its checks: {done.stderr.strip()}")
    shutil.rmtree(work)
    mark_complete(PREFIX, tarball=tarball.name, python=str(python), recipe=RECIPE)
    log(TAG, f"built {python}")


def _built() -> bool:
    return marker(PREFIX).get("recipe") == RECIPE


def provision() -> Path:
    """The musl interpreter, building whatever is missing; returns it."""
    if not _built():
        with locked("musl"):
            if not _built():
                apt_install(TAG, HOST_PACKAGES)
                _loader()
                _door()
                _libraries()
                _python()
    _door()
    return PREFIX / "bin" / f"python{MINOR}"
