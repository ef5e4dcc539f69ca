"""What the host builds and installs for the VM's flavours ("3.13-aarch64",
"3.14-aarch64", "3.15-aarch64") at the host's speed: the emulated guest
compiles and installs many times slower, and every file it writes into the
repository crosses 9p. The guest only runs.

Zig (tools.znv.zig) compiles for aarch64 against glibc 2.17's symbol versions
(what manylinux_2_17 wheels may use) and the guest interpreter's own headers,
with its C++ runtime linked in: the module's wheel, GoogleTest and the unit
tests. The host's 3.13 runs the build backend and pip, told the guest's
platform, interpreter and extension tag; bytecode, which does not depend on
the machine, is compiled by an interpreter of the guest's version at the
host's speed (vm.fast_python).
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
from collections.abc import Sequence
from pathlib import Path

from . import interpreters, vm, zig
from .cache import CACHE, LOGS, REPO, locked, mark_complete, marker, run_step, tool_venv
from .sources import unpack_debian_source
from .venvs import Installer, build_requires

TAG = "cross"
BUILDER_MINOR = "3.13"
TARGET = "aarch64-linux-gnu.2.17"
HOME = CACHE / "cross" / "aarch64"
GOOGLETEST = HOME / "googletest"
TOOLCHAIN_FILE = REPO / "cmake" / "linux-aarch64.cmake"


def _zig_bin() -> Path:
    names = {"zig-cc": "cc", "zig-c++": "c++", "zig-ar": "ar", "zig-ranlib": "ranlib"}
    return zig.wrappers(HOME / "bin", TARGET, names)


def _builder() -> Path:
    """The host's 3.13 in a tool venv with pip, the build backend and wheel's
    retagging."""
    base = interpreters.provision(BUILDER_MINOR)
    return tool_venv("cross-builder", ["pip>=25.1", "wheel", *build_requires()], base)


def _tag(flavour: str) -> str:
    return "cp" + vm.minor_of(flavour).replace(".", "")


def _soabi(flavour: str) -> str:
    return f"cpython-{_tag(flavour)[2:]}-aarch64-linux-gnu"


def _headers(flavour: str) -> Path:
    """The guest's Python headers, with its pyconfig.h in place of Debian's
    multiarch switch (which would need the guest's whole /usr/include)."""
    minor = vm.minor_of(flavour)
    headers = HOME / f"python{minor}"
    made_from = vm.python_version(flavour)
    if marker(headers).get("root") == made_from:
        return headers
    shutil.rmtree(headers, ignore_errors=True)
    include = vm.guest_root(flavour) / "usr/include"
    shutil.copytree(include / f"python{minor}", headers)
    shutil.copy(include / f"aarch64-linux-gnu/python{minor}/pyconfig.h", headers / "pyconfig.h")
    mark_complete(headers, root=made_from)
    return headers


def _cmake(source: Path | str, tree: Path, *defines: str) -> list[str | Path]:
    """CMake's configure step of a cross build of SOURCE into TREE."""
    tools = zig.tools()
    return [
        *(tools / "cmake", "-S", source, "-B", tree, "-G", "Ninja"),
        f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}",
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN_FILE}",
        f"-DZNV_ZIG_BIN={_zig_bin()}",
        *(f"-D{define}" for define in defines),
    ]


def _module_defines(flavour: str, werror: bool) -> list[str]:
    """What the project's build needs to know of the target besides the toolchain."""
    return [
        f"Python_INCLUDE_DIR={_headers(flavour)}",
        f"Python_SOABI={_soabi(flavour)}",
        f"ZNV_WERROR={'ON' if werror else 'OFF'}",
    ]


def wheel(flavour: str, source: Path, out: Path, werror: bool, logfile: Path) -> Path:
    """The module's wheel for FLAVOUR, built from SOURCE (the working tree or
    an sdist) into OUT; returns it. The backend is told the target's platform
    and extension tag, and to pass none of the host interpreter's paths to
    CMake; the wheel, tagged for the builder's interpreter, is then retagged
    for the guest's (its contents are the guest's already)."""
    vm.provision(flavour)
    env = dict(
        os.environ,
        SKBUILD_BUILD_DIR=f"build/wheel-{flavour}",
        SKBUILD_CMAKE_TOOLCHAIN_FILE=str(TOOLCHAIN_FILE),
        SKBUILD_CMAKE_PYTHON_HINTS="false",
        SKBUILD_CMAKE_DEFINE=";".join(
            [f"ZNV_ZIG_BIN={_zig_bin()}", *_module_defines(flavour, werror)]
        ),
        SETUPTOOLS_EXT_SUFFIX=f".{_soabi(flavour)}.so",
        _PYTHON_HOST_PLATFORM="linux-aarch64",
        PIP_DISABLE_PIP_VERSION_CHECK="1",
    )
    shutil.rmtree(out, ignore_errors=True)
    build: list[str | os.PathLike[str]] = [_builder(), "-m", "pip", "wheel", "-q"]
    build += ["--no-deps", "--no-build-isolation"]
    run_step(TAG, f"the module's {flavour} wheel", [*build, "-w", out, source], logfile, env=env)
    (built,) = out.glob("*.whl")
    tag = _tag(flavour)
    if not built.name.endswith(f"-{tag}-{tag}-linux_aarch64.whl"):
        retag: list[str | os.PathLike[str]] = [_builder(), "-m", "wheel", "tags", "--remove"]
        retag += [f"--python-tag={tag}", f"--abi-tag={tag}", built]
        run_step(TAG, f"the module's {flavour} wheel: tagged {tag}", retag, logfile)
        (built,) = out.glob("*.whl")
    return built


def _platforms(flavour: str) -> list[str]:
    """The wheel platforms the guest takes: manylinux up to its glibc's
    version (the newest symbol version its libc defines); pip does not go
    down from the newest by itself when told the platform."""
    libc = (vm.guest_root(flavour) / "usr/lib/aarch64-linux-gnu/libc.so.6").read_bytes()
    newest = max(int(minor) for minor in re.findall(rb"GLIBC_2\.(\d+)", libc))
    manylinux = [f"manylinux_2_{minor}_aarch64" for minor in range(newest, 16, -1)]
    return [*manylinux, "manylinux2014_aarch64", "linux_aarch64"]


def pip(
    flavour: str, verb: str, args: Sequence[str | os.PathLike[str]]
) -> list[str | os.PathLike[str]]:
    """`pip VERB ARGS` (install or download) run on the host for FLAVOUR's
    guest: wheels only, chosen for its platform and interpreter."""
    argv: list[str | os.PathLike[str]] = [_builder(), "-m", "pip", verb, "-q"]
    argv += ["--disable-pip-version-check", *(f"--platform={p}" for p in _platforms(flavour))]
    argv += ["--implementation", "cp", "--python-version", vm.minor_of(flavour), *args]
    return [*argv, "--only-binary", ":all:"]  # last: it must win over any narrower one


def pip_install(flavour: str, venv: Path, args: Sequence[str | os.PathLike[str]]) -> None:
    """`pip install ARGS` into FLAVOUR's guest VENV, run on the host. pip
    installs into a directory of its own (--target into the venv would keep
    what is there), and what it made is moved in; scripts go where the venv's
    own pip would put them, naming the venv's interpreter. The bytecode is
    compiled in place, for the paths the guest imports from."""
    minor = vm.minor_of(flavour)
    site = venv / "lib" / f"python{minor}" / "site-packages"
    with tempfile.TemporaryDirectory(dir=venv) as scratch:
        target = Path(scratch) / "site-packages"
        install = pip(flavour, "install", ["--no-compile", "--target", target, *args])
        subprocess.run(install, check=True, stdout=subprocess.DEVNULL)
        scripts = target / "bin"
        if scripts.is_dir():
            for script in scripts.iterdir():
                _copy_script(script, venv / "bin" / script.name, venv / "bin" / "python")
            shutil.rmtree(scripts)
        _move_into(target, site)
    compileall = [*vm.fast_python(minor), "-m", "compileall", "-q", "-j0", str(site)]
    subprocess.run(compileall, check=True, stdout=subprocess.DEVNULL)


def _copy_script(script: Path, to: Path, python: Path) -> None:
    data = script.read_bytes()
    first, newline, rest = data.partition(b"\n")
    if first.startswith(b"#!") and b"python" in first:
        data = b"#!" + bytes(python) + newline + rest
    to.unlink(missing_ok=True)
    to.write_bytes(data)
    to.chmod(0o755)


def _move_into(new: Path, site: Path) -> None:
    """Move what pip installed into NEW to SITE, in place of what it replaces:
    files and directories of the same name, and older metadata of the same
    distribution. Top-level modules share one bytecode directory: merged."""
    for entry in new.iterdir():
        if entry.name.endswith(".dist-info"):
            for old in site.glob(f"{entry.name.split('-', 1)[0]}-*.dist-info"):
                shutil.rmtree(old)
        if entry.name == "__pycache__" and (site / entry.name).is_dir():
            _move_into(entry, site / entry.name)
        else:
            _replace(entry, site / entry.name)


def _replace(entry: Path, to: Path) -> None:
    if to.is_dir() and not to.is_symlink():
        shutil.rmtree(to)
    else:
        to.unlink(missing_ok=True)
    entry.rename(to)


def _googletest() -> Path:
    """GoogleTest for aarch64, from Debian's source, once."""
    if marker(GOOGLETEST):
        return GOOGLETEST
    with locked("cross-googletest"):
        if marker(GOOGLETEST):
            return GOOGLETEST
        logfile = LOGS / "cross-googletest.log"
        logfile.unlink(missing_ok=True)
        work = HOME / "work"
        version, source = unpack_debian_source(TAG, "googletest", work, logfile)
        shutil.rmtree(GOOGLETEST, ignore_errors=True)
        tools = zig.tools()
        tree = source / "build"
        configure = _cmake(source, tree, f"CMAKE_INSTALL_PREFIX={GOOGLETEST}")
        configure += ["-DCMAKE_INSTALL_LIBDIR=lib", "-DBUILD_GMOCK=OFF"]
        run_step(TAG, "googletest: configure", configure, logfile)
        run_step(TAG, "googletest: build", [tools / "cmake", "--build", tree], logfile)
        run_step(TAG, "googletest: install", [tools / "cmake", "--install", tree], logfile)
        shutil.rmtree(work)
        mark_complete(GOOGLETEST, version=version)
    return GOOGLETEST


def unit_tests(flavour: str, build: Path, logfile: Path) -> Path:
    """The C++ unit tests configured and built into BUILD; returns the host's
    ctest, which runs them in FLAVOUR's guest through the door (the build's
    emulator), sparing the guest an emulated ctest."""
    gtest = f"GTest_DIR={_googletest()}/lib/cmake/GTest"
    door = ";".join(vm.command(flavour, []))
    defines = [*_module_defines(flavour, werror=True), "ZNV_BUILD_TESTS=ON", gtest]
    configure = _cmake(REPO, build, *defines, f"CMAKE_CROSSCOMPILING_EMULATOR={door}")
    cmake = zig.tools() / "cmake"
    run_step(TAG, "unit tests: configure", configure, logfile)
    run_step(TAG, "unit tests: build", [cmake, "--build", build], logfile)
    return zig.tools() / "ctest"


def installer(flavour: str) -> Installer:
    """Fills FLAVOUR's guest venv from the host; the guest only makes it."""

    def install_pip(venv: Path, args: Sequence[str | os.PathLike[str]]) -> None:
        pip_install(flavour, venv, args)

    def install_module(venv: Path) -> None:
        logfile = LOGS / f"cross-module-{flavour}.log"
        logfile.unlink(missing_ok=True)
        out = REPO / "build" / f"cross-wheel-{flavour}"
        built = wheel(flavour, REPO, out, werror=True, logfile=logfile)
        pip_install(flavour, venv, ["--no-deps", built])

    return Installer(install_pip, install_module)
