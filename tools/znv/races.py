"""ThreadSanitizer over the module's concurrency: a free-threaded 3.13 built
with CPython's --with-thread-sanitizer, the module built with
-fsanitize=thread, and the tests that race threads, interpreters and forks
run under it. Any report that the suppressions do not cover fails the run.

The interpreter lives in CACHE/python/3.13t-tsan (built once, marker last),
with the suppression files its source ships for ThreadSanitizer runs; a venv
beside it holds pytest. The interpreter and the module are built by the same
clang, so both use the one runtime linked into the interpreter.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

from . import sanitizers
from .cache import CACHE, LOGS, REPO, locked, log, mark_complete, marker, run_step
from .sources import cpython_tarball

TAG = "races"
MINOR = "3.13"
FLAVOUR = "3.13t-tsan"
PREFIX = CACHE / "python" / FLAVOUR
VENV = CACHE / "venvs" / FLAVOUR
RECIPE = "1"  # bump when the way the interpreter is built changes
OWN_SUPPRESSIONS = REPO / "tests" / "races.supp"
PLANT = REPO / "tests" / "native" / "race_canary.c"

# The tests that race: first calls from threads and from interpreters, the
# 8 x 20,000 stress, readers against writers, and fork() under load.
RACING_TESTS = (
    "tests/test_setup.py::test_threads_making_the_first_call_together_share_one_setup",
    "tests/test_setup.py::test_interpreters_making_the_first_call_together_share_one_setup",
    "tests/test_stress.py",
    "tests/test_subinterpreters.py",
    "tests/test_titles.py::test_threads_setting_and_reading_at_once_always_read_a_whole_title",
    "tests/test_title_readers.py",
    "tests/test_fork.py::test_a_forked_child_sets_its_own_title_and_the_parents_stays",
    "tests/test_fork.py::test_a_child_forked_while_threads_set_titles_does_not_wait",
)


def interpreter() -> Path:
    """The ThreadSanitizer interpreter, built into the cache the first time."""
    python = PREFIX / "bin" / f"python{MINOR}t"
    if marker(PREFIX).get("recipe") == RECIPE and python.exists():
        return python
    with locked(f"python-{FLAVOUR}"):
        if marker(PREFIX).get("recipe") != RECIPE or not python.exists():
            _build(python)
    return python


def _build(python: Path) -> None:
    sanitizers.ensure_clang(TAG)
    tarball = cpython_tarball(MINOR)
    scratch = CACHE / "build" / FLAVOUR
    logfile = LOGS / f"build-{FLAVOUR}.log"
    shutil.rmtree(PREFIX, ignore_errors=True)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    logfile.unlink(missing_ok=True)
    log(TAG, f"building {FLAVOUR} from {tarball.name} (log: {logfile}); this takes a while, once")
    run_step(TAG, "unpack", ["tar", "-xf", tarball, "-C", scratch], logfile)
    source = next(scratch.glob("*/configure")).parent
    env = sanitizers.clang_env()
    # The interpreter runs during the build (modules, bytecode): CPython's own
    # known reports are suppressed there too, and none stops the build.
    env["TSAN_OPTIONS"] = (f"exitcode=0:report_bugs=0:"
                           f"suppressions={source / 'Tools/tsan/suppressions_free_threading.txt'}")
    configure = ["./configure", f"--prefix={PREFIX}", "--disable-gil", "--with-thread-sanitizer",
                 "--with-ensurepip=no"]
    run_step(TAG, "configure", configure, logfile, cwd=source, env=env)
    run_step(TAG, "make", ["make", f"-j{os.cpu_count() or 2}"], logfile, cwd=source, env=env)
    run_step(TAG, "install", ["make", "install"], logfile, cwd=source, env=env)
    shared = PREFIX / "share" / "tsan"
    shared.mkdir(parents=True, exist_ok=True)
    for name in (source / "Tools" / "tsan").glob("*.txt"):
        shutil.copy(name, shared / name.name)
    shutil.rmtree(scratch, ignore_errors=True)
    mark_complete(PREFIX, recipe=RECIPE, source=tarball.name, python=str(python))
    log(TAG, f"built {FLAVOUR}: {python}")


def cpython_suppressions() -> Path:
    return PREFIX / "share" / "tsan" / "suppressions_free_threading.txt"


def venv() -> Path:
    """A venv of the ThreadSanitizer interpreter with pytest; its python."""
    python = VENV / "bin" / "python"
    base = interpreter()
    if marker(VENV).get("base") == str(base) and python.exists():
        return python
    with locked(f"venv-{FLAVOUR}"):
        if marker(VENV).get("base") != str(base) or not python.exists():
            log(TAG, f"making the venv {VENV}")
            env = dict(os.environ, TSAN_OPTIONS="exitcode=0:report_bugs=0")
            subprocess.run([base, "-m", "venv", "--clear", VENV], check=True, env=env)
            subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                            "pytest>=8", "cmake>=3.26", "ninja"], check=True, env=env)
            mark_complete(VENV, base=str(base))
    return python


def main(argv: list[str]) -> int:
    base = interpreter()
    log(TAG, f"interpreter ready: {base}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
