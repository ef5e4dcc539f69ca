"""The cache outside the repository, and the small pieces every tool shares.

Everything expensive (interpreters, roots, toolchains, configured headers) is
built once into ``CACHE`` and reused: a step writes its completion marker
last, so an interrupted step is redone and a finished one is never repeated.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import subprocess
import sys
import time
from collections.abc import Iterator, Sequence
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CACHE = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "setzentrave"
LOGS = CACHE / "logs"
COMPILER_CACHE = CACHE / "ccache"
_START = time.monotonic()


def log(tag: str, message: str) -> None:
    """One progress line on standard error, with the time since the tool began."""
    elapsed = int(time.monotonic() - _START)
    print(f"[{tag} {elapsed // 60}:{elapsed % 60:02d}] {message}", file=sys.stderr, flush=True)


def banner(text: str) -> None:
    """A heading in a tool's output, between the steps it runs."""
    print(f"\n==== {text} ====", flush=True)


@contextlib.contextmanager
def locked(name: str) -> Iterator[None]:
    """Hold the cache lock NAME: one run at a time builds any one thing."""
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / f".{name}.lock", "w") as handle:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            log("cache", f"waiting for another run that holds '{name}'")
            fcntl.flock(handle, fcntl.LOCK_EX)
        yield


def marker(directory: Path) -> dict[str, str]:
    """The key=value completion marker of a cached directory ({} if unfinished)."""
    try:
        text = (directory / ".znv-complete").read_text()
    except FileNotFoundError:
        return {}
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def mark_complete(directory: Path, **values: str) -> None:
    """Write the completion marker last, once everything in DIRECTORY is in place."""
    body = "".join(f"{key}={value}\n" for key, value in values.items())
    (directory / ".znv-complete").write_text(body)


class StepFailed(RuntimeError):
    pass


def run_step(
    tag: str,
    name: str,
    argv: Sequence[str | os.PathLike[str]],
    logfile: Path,
    cwd: Path | None = None,
    env: dict[str, str] | None = None,
) -> None:
    """Run a long build step with its output in LOGFILE, reporting every 30 s.

    On failure the log's last lines are shown and StepFailed is raised.
    """
    logfile.parent.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    log(tag, f"{name} ...")
    with open(logfile, "a") as out:
        out.write(f"=== {name}: {' '.join(map(str, argv))}\n")
        out.flush()
        child = subprocess.Popen(argv, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT)
        while True:
            try:
                rc = child.wait(timeout=30)
                break
            except subprocess.TimeoutExpired:
                log(
                    tag, f"{name}: {int(time.monotonic() - started)} s, last: {_last_line(logfile)}"
                )
    if rc != 0:
        tail = logfile.read_text(errors="replace").splitlines()[-40:]
        log(tag, f"{name} FAILED (exit {rc}); last lines of {logfile}:")
        print("\n".join(tail), file=sys.stderr)
        raise StepFailed(f"{name} failed (exit {rc}), see {logfile}")
    log(tag, f"{name} done in {int(time.monotonic() - started)} s")


def _last_line(logfile: Path) -> str:
    with open(logfile, "rb") as handle:
        handle.seek(max(0, logfile.stat().st_size - 400))
        lines = handle.read().decode(errors="replace").strip().splitlines()
    return lines[-1][:80] if lines else ""


def _missing(packages: Sequence[str]) -> list[str]:
    query = ["dpkg-query", "-W", "-f=${Package} ${Status}\n", *packages]
    listed = subprocess.run(query, capture_output=True, text=True).stdout.splitlines()
    installed = {line.split()[0] for line in listed if line.endswith(" install ok installed")}
    return [p for p in packages if p not in installed]


_apt_updated = False


def apt_install(tag: str, packages: Sequence[str]) -> None:
    """Install the host's Debian PACKAGES that are missing (one apt run)."""
    global _apt_updated
    missing = _missing(packages)
    if not missing:
        return
    log(tag, f"installing Debian packages: {' '.join(missing)}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    with locked("apt"):
        if not _apt_updated:
            subprocess.run(["apt-get", "update", "-q"], stdout=sys.stderr, env=env, check=False)
            _apt_updated = True
        install = [
            "apt-get",
            "install",
            "-y",
            "-q",
            "--no-install-recommends",
            "-o",
            "DPkg::Lock::Timeout=600",
            *missing,
        ]
        subprocess.run(install, stdout=sys.stderr, env=env, check=True)


def tool_venv(name: str, requirements: Sequence[str], base: Path | None = None) -> Path:
    """A cached venv CACHE/tools/NAME holding REQUIREMENTS, made by the BASE
    interpreter (the tools' own by default); returns its python.

    Remade only when the requirements change, so a second run needs no network.
    """
    venv = CACHE / "tools" / name
    python = venv / "bin" / "python"
    wanted = "\n".join(requirements)
    if marker(venv).get("requirements", "").replace(";", "\n") == wanted and python.exists():
        return python
    with locked(f"tool-{name}"):
        if marker(venv).get("requirements", "").replace(";", "\n") == wanted and python.exists():
            return python
        log("tools", f"making the {name} tool venv: {' '.join(requirements)}")
        subprocess.run([base or sys.executable, "-m", "venv", "--clear", venv], check=True)
        pip: list[str | os.PathLike[str]]
        pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
        # The pip that the host's venv module bundles (23.2) fails to verify
        # the registry's certificate here; current pip uses the system's store.
        subprocess.run([*pip, "--retries", "1", "--upgrade", "pip"], check=True)
        subprocess.run([*pip, *requirements], check=True)
        mark_complete(venv, requirements=";".join(requirements))
    return python


# CMake takes a compiler launcher from these on a build tree's first
# configure: a fresh clone's builds, the release's from the sdist and the
# checks' instrumented ones alike.
COMPILER_CACHE_ENV = {
    "CMAKE_C_COMPILER_LAUNCHER": "ccache",
    "CMAKE_CXX_COMPILER_LAUNCHER": "ccache",
    "CCACHE_DIR": str(COMPILER_CACHE),
    # Paths are hashed relative to the build tree, so that builds in a new
    # clone, or in an sdist unpacked anew for each wheel, share the objects;
    # the compilers are told apart by what they say they are (Zig's wrappers
    # are scripts whose text outlives a new Zig).
    "CCACHE_BASEDIR": "/",
    "CCACHE_NOHASHDIR": "1",
    "CCACHE_COMPILERCHECK": "%compiler% --version",
    "CCACHE_MAXSIZE": "2G",
}


def use_compiler_cache() -> None:
    """Have every CMake build this process starts compile through ccache:
    the same sources are compiled for every flavour's venv, unit tests and
    wheel, and again in each new clone. A cached object is reused only for the
    same preprocessed source, flags and compiler; warnings come back with it."""
    apt_install("ccache", ["ccache"])
    os.environ.update(COMPILER_CACHE_ENV)
