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
import signal
import subprocess
import sys
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
    env["TSAN_OPTIONS"] = (
        f"exitcode=0:report_bugs=0:"
        f"suppressions={source / 'Tools/tsan/suppressions_free_threading.txt'}"
    )
    # The interpreter's own test suite is neither installed nor compiled: it
    # would double the time of the build and is never used here.
    configure = [
        "./configure",
        f"--prefix={PREFIX}",
        "--disable-gil",
        "--with-thread-sanitizer",
        "--with-ensurepip=no",
        "--disable-test-modules",
    ]
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
            subprocess.run(
                [
                    python,
                    "-m",
                    "pip",
                    "install",
                    "-q",
                    "--disable-pip-version-check",
                    "pytest>=8",
                    "cmake>=3.26",
                    "ninja",
                ],
                check=True,
                env=env,
            )
            mark_complete(VENV, base=str(base))
    return python


def _plain_env() -> dict[str, str]:
    return {
        k: v
        for k, v in os.environ.items()
        if k not in ("ZNV_DEBUG", "PYTHONPATH", "TSAN_OPTIONS", "VIRTUAL_ENV")
    }


def _suppressions(work: Path) -> Path:
    """CPython's own suppressions for free-threaded runs, then the project's."""
    combined = work / "suppressions.txt"
    combined.write_text(cpython_suppressions().read_text() + "\n" + OWN_SUPPRESSIONS.read_text())
    return combined


def _tsan_env(work: Path, logs: Path, python: Path, module_dir: Path | None) -> dict[str, str]:
    """Every process started with this environment reports to LOGS/report.PID."""
    logs.mkdir(parents=True, exist_ok=True)
    env = _plain_env()
    env["PATH"] = f"{python.parent}{os.pathsep}{env.get('PATH', '')}"
    env["TSAN_OPTIONS"] = sanitizers.runtime_options(
        logs,
        suppressions=_suppressions(work),
        halt_on_error=0,
        second_deadlock_stack=1,
        history_size=4,
    )
    if module_dir is not None:
        env["PYTHONPATH"] = str(module_dir)
    return env


def _instrumented(module_dir: Path) -> Path:
    """The module's shared object in MODULE_DIR, which must call into the race detector."""
    found = sorted(module_dir.glob("_setzentrave*.so"))
    if not found:
        raise RuntimeError(f"no _setzentrave shared object in {module_dir}")
    symbols = subprocess.run(
        ["nm", "-D", "--undefined-only", found[0]], capture_output=True, text=True, check=True
    ).stdout
    if "__tsan_func_entry" not in symbols:
        raise RuntimeError(f"{found[0]} is not built with -fsanitize=thread")
    return found[0]


def build_module(source_root: Path, build_dir: Path, python: Path) -> Path:
    env = sanitizers.clang_env(_plain_env())
    env["PATH"] = f"{python.parent}{os.pathsep}{env.get('PATH', '')}"  # the venv's cmake, ninja
    env["TSAN_OPTIONS"] = "exitcode=0:report_bugs=0"  # CMake runs the interpreter
    logfile = LOGS / "races-build.log"
    logfile.unlink(missing_ok=True)
    sanitizers.build_module(TAG, source_root, build_dir, python, "thread", logfile, env)
    _instrumented(build_dir)
    return build_dir


def canary(work: Path, python: Path) -> bool:
    """A planted race, run in the interpreter as the tests run, must be reported."""
    library = work / "race_canary.so"
    subprocess.run(
        [
            sanitizers.CLANG,
            "-shared",
            "-fPIC",
            "-O1",
            "-g",
            "-fsanitize=thread",
            "-o",
            library,
            PLANT,
        ],
        check=True,
    )
    logs = work / "canary"
    env = _tsan_env(work, logs, python, None)
    code = f"import ctypes; ctypes.CDLL({str(library)!r}).znv_canary_race()"
    subprocess.run([python, "-c", code], env=env, capture_output=True, timeout=120)
    caught = any("data race" in r.read_text(errors="replace") for r in sanitizers.reports(logs))
    print(f"planted race in a C library: {'reported' if caught else 'NOT reported'}")
    return caught


def run_tests(work: Path, python: Path, module_dir: Path, tests: list[str]) -> bool:
    """The racing tests under the race detector; True when they pass and no
    process wrote a report."""
    logs = work / "reports"
    env = _tsan_env(work, logs, python, module_dir)
    argv: list[str | os.PathLike[str]] = [
        python,
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        *tests,
    ]
    log(TAG, f"running {len(tests)} racing tests under ThreadSanitizer")
    done = subprocess.run(argv, cwd=REPO, env=env, timeout=3600)
    found = sanitizers.reports(logs)
    sanitizers.show_reports(found)
    races = sum(r.read_text(errors="replace").count("WARNING: ThreadSanitizer") for r in found)
    print(f"{races} ThreadSanitizer report(s) from {len(found)} process(es)")
    return done.returncode == 0 and not found


def plant(work: Path, python: Path) -> bool:
    """In a scratch copy, the title lock is taken out of znv_set_title: the
    stress test must then be reported racing."""
    root = work / "tree"
    for part in ("src", "tests", "CMakeLists.txt", "pyproject.toml"):
        copy = shutil.copytree if (REPO / part).is_dir() else shutil.copy
        copy(REPO / part, root / part)
    store = root / "src" / "title" / "title_store.cpp"
    text = store.read_text()
    locked_set = (
        "void znv_set_title(const char *text) {\n    const CutTitle title{text};\n"
        "    PyMutexGuard lock{title_mutex};\n"
    )
    if locked_set not in text:
        print("the plant no longer applies: znv_set_title does not take the title lock as expected")
        return False
    store.write_text(
        text.replace(locked_set, locked_set.replace("    PyMutexGuard lock{title_mutex};\n", ""))
    )
    module_dir = build_module(root, work / "build", python)
    logs = work / "reports"
    env = _tsan_env(work, logs, python, module_dir)
    test = (
        "tests/test_stress.py::test_every_title_read_back_is_one_whole_title_and_the_listing_agrees"
    )
    # Without the lock two writers can leave the sequence odd, and readers
    # then wait for ever: the run is bounded, and its reports are on disk.
    pytest = subprocess.Popen(
        [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", test],
        cwd=root,
        env=env,
        start_new_session=True,
    )
    try:
        pytest.wait(timeout=120)
    except subprocess.TimeoutExpired:
        print("the stress test hung (readers waiting on a sequence two writers left odd)")
        os.killpg(pytest.pid, signal.SIGKILL)
        pytest.wait()
    found = sanitizers.reports(logs)
    sanitizers.show_reports(found[:1], lines=60)
    caught = any("data race" in r.read_text(errors="replace") for r in found)
    races = sum(r.read_text(errors="replace").count("WARNING: ThreadSanitizer") for r in found)
    print(
        f"title lock taken out of znv_set_title: "
        f"{f'{races} race report(s)' if caught else 'NOT reported'}"
    )
    shutil.rmtree(work, ignore_errors=True)
    return caught


def main(argv: list[str]) -> int:
    want_plant = "--plant" in argv
    tests = [a for a in argv if a != "--plant"] or list(RACING_TESTS)
    python = venv()
    work = Path(tempfile.mkdtemp(prefix="znv-races."))
    if want_plant:
        ok = plant(work, python)
        print(f"tools/check-races --plant: {'the race detector bites' if ok else 'FAILED'}")
        return 0 if ok else 1
    module_dir = build_module(REPO, REPO / "build" / "races", python)
    results = {"canary": canary(work, python), "tests": run_tests(work, python, module_dir, tests)}
    ok = all(results.values())
    print(
        "tools/check-races: "
        + (
            "no data race"
            if ok
            else f"FAILED ({', '.join(k for k, v in results.items() if not v)}); "
            f"reports kept in {work}"
        )
    )
    if ok:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
