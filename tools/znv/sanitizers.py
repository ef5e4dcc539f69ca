"""What the race checks, the fuzzers and the memory checks share: Debian's
clang and its sanitizer runtimes, sanitized builds of the module, and the
per-process report files that a run is judged by.

A sanitizer writes each process's report to a file of its own under a log
directory (``log_path``), so a finding in a child whose failure no test looks
at still fails the run: the run is judged by the files, not by exit codes.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterable, Sequence
from pathlib import Path

from .cache import apt_install, run_step

LLVM = "16"
LLVM_BIN = Path(f"/usr/lib/llvm-{LLVM}/bin")
CLANG = LLVM_BIN / "clang"
CLANGXX = LLVM_BIN / "clang++"
SYMBOLIZER = LLVM_BIN / "llvm-symbolizer"
# clang, its sanitizer and libFuzzer runtimes, and the symbolizer that turns
# report addresses into function names (suppressions match those names).
CLANG_PACKAGES = (f"clang-{LLVM}", f"libclang-rt-{LLVM}-dev", f"llvm-{LLVM}")


def ensure_clang(tag: str) -> None:
    apt_install(tag, CLANG_PACKAGES)


def clang_env(base: dict[str, str] | None = None) -> dict[str, str]:
    """The environment for a build with clang: CMake and CPython's configure
    both take the compilers from CC and CXX."""
    env = dict(os.environ if base is None else base)
    env.update(CC=str(CLANG), CXX=str(CLANGXX))
    return env


def runtime_options(log_dir: Path, name: str = "report", **extra: str | int | Path) -> str:
    """A sanitizer's *_OPTIONS value: each process reports to LOG_DIR/NAME.PID,
    symbolized by LLVM's symbolizer where it is installed (GCC's runtimes
    symbolize by themselves)."""
    values: dict[str, str | int | Path] = {"log_path": log_dir / name}
    if SYMBOLIZER.exists():
        values["external_symbolizer_path"] = SYMBOLIZER
    values.update(extra)
    return ":".join(f"{key}={value}" for key, value in values.items())


def reports(log_dir: Path) -> list[Path]:
    """The report files written under LOG_DIR, one per process that reported."""
    if not log_dir.is_dir():
        return []
    return sorted(p for p in log_dir.iterdir() if p.is_file())


def show_reports(found: Iterable[Path], lines: int = 80) -> None:
    for report in found:
        text = report.read_text(errors="replace").splitlines()
        print(f"---- {report} ({len(text)} lines)")
        print("\n".join(text[:lines]))


def build_module(
    tag: str,
    source_root: Path,
    build_dir: Path,
    python: Path,
    sanitize: str,
    logfile: Path,
    env: dict[str, str],
    extra: Sequence[str] = (),
) -> Path:
    """Configures and builds the module of SOURCE_ROOT (and what EXTRA adds)
    for the interpreter PYTHON with the sanitizer SANITIZE ("address",
    "thread" or "OFF"), with the cmake on ENV's PATH; returns BUILD_DIR, which
    then holds the shared object."""
    cmake = shutil.which("cmake", path=env.get("PATH")) or "cmake"
    configure: list[str | os.PathLike[str]] = [
        cmake,
        "-S",
        source_root,
        "-B",
        build_dir,
        "-G",
        "Ninja",
        f"-DPython_EXECUTABLE={python}",
        f"-DZNV_SANITIZE={sanitize}",
        "-DZNV_WERROR=ON",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        *extra,
    ]
    run_step(tag, f"configure {build_dir.name} ({sanitize})", configure, logfile, env=env)
    run_step(tag, f"build {build_dir.name}", [cmake, "--build", build_dir], logfile, env=env)
    return build_dir
