"""Memory checks, for every host flavour (like tools/test):

0. planted faults, to show the sanitizer set-up catches them;
1. the module and the C++ unit tests built with AddressSanitizer and
   UndefinedBehaviorSanitizer (build/sanitize-<flavour>); the unit tests run,
   then the whole pytest suite with the sanitizer runtime preloaded into every
   interpreter the tests start;
2. the leak sanitizer over tests/memory_workout.py: leaks of memory the module
   allocated, itself or through the interpreter, fail;
3. valgrind memcheck over the same script (module built with debug
   information, build/memcheck-<flavour>): any error with the module's code on
   its stack fails.

The flavours' venvs are only used, never changed: the checked module is put in
front of them with PYTHONPATH. GCC builds the module here, so its ASan runtime
is the one preloaded.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from pathlib import Path

from . import flavours, sanitizers, venvs
from .cache import LOGS, REPO, StepFailed, apt_install, banner, log

TAG = "memory"
STEPS = ("build", "canary", "ctest", "pytest", "leaks", "memcheck")
CANARY = REPO / "tests" / "native" / "sanitizer_canary.cpp"
WORKOUT = REPO / "tests" / "memory_workout.py"
CHECK_FLAGS = [
    "-fsanitize=address,undefined",
    "-fno-sanitize-recover=undefined",
    "-fno-omit-frame-pointer",
]


def host_flavours() -> list[str]:
    """The flavours to check (ZNV_FLAVOURS or every default one) that live on
    the host: the preloaded runtime and valgrind are the host's."""
    return [flavour for flavour in flavours.names() if flavours.world(flavour) == "host"]


def venv_of(flavour: str) -> Path:
    """The flavour's venv, made or refreshed (module installed from the tree)."""
    flavours.setup(flavour)
    return venvs.venv_python(flavour).parent.parent


class Checks:
    def __init__(self, work: Path):
        self.work = work
        self.asan_runtime = Path(
            subprocess.run(
                ["gcc", "-print-file-name=libasan.so"], capture_output=True, text=True, check=True
            ).stdout.strip()
        ).resolve()
        self.plain_bin = self._plain_tools()

    # procps (ps, pgrep) deadlocks in its locale set-up with the sanitizer
    # runtime preloaded; only interpreters need the runtime.
    def _plain_tools(self) -> Path:
        bin_dir = self.work / "bin"
        bin_dir.mkdir()
        for tool in ("ps", "pgrep"):
            wrapper = bin_dir / tool
            wrapper.write_text(f'#!/bin/sh\nunset LD_PRELOAD\nexec {shutil.which(tool)} "$@"\n')
            wrapper.chmod(0o755)
        return bin_dir

    def venv_env(self, venv: Path) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if k not in ("ZNV_DEBUG", "PYTHONPATH")}
        env.update(VIRTUAL_ENV=str(venv), PATH=f"{venv / 'bin'}{os.pathsep}{env['PATH']}")
        return env

    # Every process started with this environment has the runtime preloaded and
    # writes its ASan report to a file of its own under LOGS, so a finding in a
    # child whose failure no test notices still counts. GCC's UBSan runtime
    # ignores log_path next to ASan's and reports on standard error; a finding
    # of either ends the process.
    def sanitized(self, venv: Path, logs: Path, leaks: bool) -> dict[str, str]:
        logs.mkdir(parents=True, exist_ok=True)
        env = self.venv_env(venv)
        env.update(
            LD_PRELOAD=str(self.asan_runtime),
            ZNV_SANITIZED="1",
            PATH=f"{self.plain_bin}{os.pathsep}{env['PATH']}",
            ASAN_OPTIONS=sanitizers.runtime_options(
                logs,
                name="asan",
                detect_leaks=int(leaks),
                strict_string_checks=1,
                detect_stack_use_after_return=1,
            ),
            UBSAN_OPTIONS=sanitizers.runtime_options(
                logs, name="ubsan", print_stacktrace=1, halt_on_error=1
            ),
        )
        return env

    # The free-threaded build has no plain-malloc mode; where there is one, it
    # lets the sanitizer see every object the module hands the interpreter.
    def malloc_mode(self, python: Path) -> dict[str, str]:
        plain = subprocess.run(
            [python, "-c", "pass"], env=dict(os.environ, PYTHONMALLOC="malloc"), capture_output=True
        )
        return {"PYTHONMALLOC": "malloc"} if plain.returncode == 0 else {}

    def canary(self, flavour: str, venv: Path) -> bool:
        """A planted use after free and signed overflow, called from an
        interpreter set up as for the tests, must each end it and be reported."""
        library = self.work / f"{flavour}-canary.so"
        subprocess.run(
            ["g++", "-shared", "-fPIC", "-O1", *CHECK_FLAGS, "-o", library, CANARY], check=True
        )
        caught_all = True
        for kind in ("use_after_free(0)", "signed_overflow(2**31 - 1)"):
            logs = self.work / flavour / f"canary-{kind.split('(')[0]}"
            code = (
                f"import ctypes\nctypes.CDLL({str(library)!r}).znv_canary_{kind}\n"
                "print('not caught')"
            )
            done = subprocess.run(
                [venv / "bin" / "python", "-c", code],
                capture_output=True,
                text=True,
                env=self.sanitized(venv, logs, leaks=False),
            )
            out = done.stdout + done.stderr
            logged = " ".join(r.read_text(errors="replace") for r in sanitizers.reports(logs))
            caught = "not caught" not in out and (
                "runtime error" in out or "heap-use-after-free" in logged
            )
            print(f"{kind}: {'caught' if caught else 'NOT caught: ' + out}")
            caught_all &= caught
        return caught_all

    def build(self, flavour: str, venv: Path) -> bool:
        logfile = LOGS / f"memory-build-{flavour}.log"
        logfile.unlink(missing_ok=True)
        env = self.venv_env(venv)
        python = venv / "bin" / "python"
        try:
            sanitizers.build_module(
                TAG,
                REPO,
                REPO / "build" / f"sanitize-{flavour}",
                python,
                "address",
                logfile,
                env,
                ["-DZNV_BUILD_TESTS=ON"],
            )
            sanitizers.build_module(
                TAG, REPO, REPO / "build" / f"memcheck-{flavour}", python, "OFF", logfile, env
            )
        except StepFailed:
            return False
        return True

    def ctest(self, flavour: str, venv: Path) -> bool:
        # The unit tests link the runtime themselves, and all their memory is
        # the project's: leaks count here.
        logs = self.work / flavour / "ctest"
        logs.mkdir(parents=True)
        env = self.venv_env(venv)
        env["ASAN_OPTIONS"] = sanitizers.runtime_options(logs, name="asan", strict_string_checks=1)
        env["UBSAN_OPTIONS"] = sanitizers.runtime_options(
            logs, name="ubsan", print_stacktrace=1, halt_on_error=1
        )
        done = subprocess.run(
            [
                "ctest",
                "--test-dir",
                REPO / "build" / f"sanitize-{flavour}",
                "--output-on-failure",
                "--no-tests=error",
                "-j2",
            ],
            env=env,
            capture_output=True,
            text=True,
        )
        lines = done.stdout.splitlines()
        print("\n".join(lines if done.returncode else lines[-3:]))
        return done.returncode == 0 and no_reports(logs)

    def pytest(self, flavour: str, venv: Path, args: list[str]) -> bool:
        # Interpreters do not free everything at exit: leaks are left to the
        # workout, which tells the module's apart.
        python = venv / "bin" / "python"
        logs = self.work / flavour / "pytest"
        env = self.sanitized(venv, logs, leaks=False)
        env.update(self.malloc_mode(python), PYTHONPATH=str(REPO / "build" / f"sanitize-{flavour}"))
        done = subprocess.run(
            [
                *(python, "-m", "pytest", "tests", "-q", "-p", "no:cacheprovider"),
                *(*flavours.pytest_workers(flavour), *args),
            ],
            cwd=REPO,
            env=env,
        )
        return no_reports(logs) and done.returncode == 0

    def leaks(self, flavour: str, venv: Path) -> bool:
        python = venv / "bin" / "python"
        logs = self.work / flavour / "leaks"
        env = self.sanitized(venv, logs, leaks=True)
        env.update(
            self.malloc_mode(python),
            ZNV_DEBUG="1",
            PYTHONPATH=str(REPO / "build" / f"sanitize-{flavour}"),
        )
        done = subprocess.run([python, WORKOUT], env=env, capture_output=True, text=True)
        print(done.stdout.strip())
        if done.stdout.strip() != "workout done":
            no_reports(logs)
            return False
        texts = {r: r.read_text(errors="replace") for r in sanitizers.reports(logs)}
        # Anything other than a leak report is a finding in itself.
        if any("ERROR: AddressSanitizer" in t or "runtime error" in t for t in texts.values()):
            no_reports(logs)
            return False
        ours = [
            block.strip()
            for text in texts.values()
            for block in text.split("\n\n")
            if "leak of" in block and ("/_setzentrave." in block or f"{REPO}/src/" in block)
        ]
        for block in ours:
            print(block, "\n")
        print(f"{len(ours)} leak(s) of memory the module allocated")
        return not ours

    def memcheck(self, flavour: str, venv: Path) -> bool:
        python = venv / "bin" / "python"
        xml = self.work / f"{flavour}-memcheck.xml"
        env = self.venv_env(venv)
        env.update(
            self.malloc_mode(python),
            ZNV_DEBUG="1",
            PYTHONPATH=str(REPO / "build" / f"memcheck-{flavour}"),
        )
        done = subprocess.run(
            [
                "valgrind",
                "--tool=memcheck",
                "-q",
                f"--suppressions={REPO / 'tests' / 'argument_area.supp'}",
                "--leak-check=full",
                "--show-leak-kinds=definite,indirect",
                "--errors-for-leak-kinds=definite,indirect",
                "--num-callers=40",
                "--xml=yes",
                f"--xml-file={xml}",
                python,
                WORKOUT,
            ],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        print(done.stdout.strip())
        if done.stdout.strip() != "workout done":
            return False
        # Errors whose stack passes through the module; the interpreter's own
        # are counted and shown as a number only.
        ours = theirs = 0
        for error in ET.parse(xml).getroot().iter("error"):
            frames = list(error.iter("frame"))
            if any("/_setzentrave." in (f.findtext("obj") or "") for f in frames):
                ours += 1
                what = error.findtext("what") or error.findtext("xwhat/text")
                print(error.findtext("kind"), what)
                for frame in frames:
                    print("   ", frame.findtext("fn"), frame.findtext("obj"))
            else:
                theirs += 1
        print(
            f"{ours} error(s) in the module's code; {theirs} in the interpreter's own, not counted"
        )
        return ours == 0


def no_reports(logs: Path) -> bool:
    """True when no process wrote a report under LOGS; shows those that did."""
    found = sanitizers.reports(logs)
    sanitizers.show_reports(found, lines=60)
    return not found


def check_flavour(checks: Checks, flavour: str, args: list[str]) -> dict[str, str]:
    result = dict.fromkeys(STEPS, "skipped")
    banner(f"{flavour}: sanitized and debug builds")
    try:
        venv = venv_of(flavour)
    except Exception as error:  # a flavour that is not ready fails, the others go on
        print(f"{flavour}: not ready: {error}")
        result["build"] = "FAIL"
        return result
    if not checks.build(flavour, venv):
        result["build"] = "FAIL"
        return result
    result["build"] = "ok"
    steps: list[tuple[str, str, Callable[[], bool]]] = [
        ("canary", "the sanitizers catch planted faults", lambda: checks.canary(flavour, venv)),
        ("ctest", "C++ unit tests, sanitized", lambda: checks.ctest(flavour, venv)),
        ("pytest", "pytest, sanitized", lambda: checks.pytest(flavour, venv, args)),
        ("leaks", "leak sanitizer over the workout", lambda: checks.leaks(flavour, venv)),
        ("memcheck", "valgrind memcheck over the workout", lambda: checks.memcheck(flavour, venv)),
    ]
    for step, title, run in steps:
        banner(f"{flavour}: {title}")
        result[step] = "ok" if run() else "FAIL"
    return result


def main(argv: list[str]) -> int:
    started = time.monotonic()
    apt_install(TAG, ["valgrind"])
    flavours = host_flavours()
    results = {}
    with tempfile.TemporaryDirectory(prefix="znv-memory.") as work:
        checks = Checks(Path(work))
        for flavour in flavours:
            results[flavour] = check_flavour(checks, flavour, argv)
    banner(f"memory checks: summary ({int(time.monotonic() - started)} s)")
    print(f"{'flavour':<8} " + " ".join(f"{step:<8}" for step in STEPS))
    for flavour, result in results.items():
        print(f"{flavour:<8} " + " ".join(f"{result[step]:<8}" for step in STEPS))
    ok = all(v == "ok" for result in results.values() for v in result.values())
    print("tools/check-memory: " + ("all flavours passed" if ok else "FAILED"))
    log(TAG, "done")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
