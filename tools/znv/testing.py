"""The project's test command: for every flavour, set up its interpreter and
venv, run the Python tests (pytest) and the C++ unit tests (ctest) in that
flavour's world, and print a summary. Every flavour runs even if another
fails; the exit status is non-zero if anything failed, a pytest run that
collected no test included, and so is a test that did not run (skipped, or
expected to fail) unless ALLOWED_SKIPS names it for that flavour, with why."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import time
from collections.abc import Sequence
from concurrent.futures import Future
from fnmatch import fnmatch
from pathlib import Path

from . import cross, flavours
from .cache import LOGS, REPO, StepFailed, banner, tool_venv
from .venvs import BUILD_ENV, VENVS

STEPS = ("set-up", "pytest", "skips", "ctest")

# The only tests that may not run, each with why. A key is (flavours: names or
# fnmatch patterns, blank-separated; test: a pytest node id or an fnmatch
# pattern of them). Any other skip, on any flavour, fails tools/test. A new
# flavour that skips for the same reason joins the entry's flavours.
ALLOWED_SKIPS: dict[tuple[str, str], str] = {
    (
        "3.13 3.13-musl *-aarch64 3.14 3.15",
        "tests/test_build.py::test_the_module_runs_without_the_gil",
    ): "a GIL build always has the GIL",
    (
        "3.13 3.13-musl *-aarch64 3.14 3.15",
        "tests/test_title_readers.py::test_a_child_forked_while_a_title_was_stored_reads_titles",
    ): "with a GIL, a child forked while a writer holds it would wait for the GIL itself",
    (
        "3.13 3.13-musl *-aarch64 3.14 3.15",
        "tests/test_fork.py::test_a_child_forked_while_another_thread_holds_the_title_lock_*",
    ): "with a GIL, the thread stopped inside the title lock holds the GIL too: nothing can fork",
}


def in_venv(flavour: str) -> dict[str, str]:
    """The environment with FLAVOUR's venv activated, so cmake, ctest, ninja and
    python are the venv's own."""
    venv = VENVS / flavour
    return dict(
        os.environ,
        **BUILD_ENV,
        VIRTUAL_ENV=str(venv),
        PATH=f"{venv}/bin:{os.environ.get('PATH', '/usr/bin:/bin')}",
    )


def _ok(flavour: str, argv: Sequence[str]) -> bool:
    done = subprocess.run(flavours.command(flavour, argv), cwd=REPO, env=in_venv(flavour))
    return done.returncode == 0


def run_pytest(flavour: str, args: Sequence[str]) -> tuple[bool, bool]:
    """Whether the flavour's tests passed, and whether every test that did not
    run is allowed to skip there."""
    banner(f"{flavour}: pytest")
    skips = REPO / "build" / f"skips-{flavour}.jsonl"
    skips.parent.mkdir(parents=True, exist_ok=True)
    skips.unlink(missing_ok=True)
    # Any non-zero status fails, 5 (no tests collected) included.
    done = subprocess.run(
        flavours.command(
            flavour,
            ["python", "-m", "pytest", "tests", "-q", *flavours.pytest_workers(flavour), *args],
        ),
        cwd=REPO,
        env=dict(in_venv(flavour), ZNV_SKIP_LOG=str(skips)),
    )
    if not skips.exists():
        print(f"{flavour}: pytest wrote no {skips.name}: which tests skipped is unknown")
        return done.returncode == 0, False
    # Under pytest-xdist a skip is written by the worker and the controller.
    found = [json.loads(line) for line in skips.read_text().splitlines()]
    once = list({skip["test"]: skip for skip in found}.values())
    return done.returncode == 0, skips_allowed(flavour, once)


def allowed_because(flavour: str, test: str) -> str | None:
    for (flavours_, pattern), why in ALLOWED_SKIPS.items():
        if fnmatch(test, pattern) and any(fnmatch(flavour, f) for f in flavours_.split()):
            return why
    return None


def skips_allowed(flavour: str, found: Sequence[dict[str, str]]) -> bool:
    unlisted = 0
    for skip in found:
        why = allowed_because(flavour, skip["test"])
        if why is None:
            unlisted += 1
            why = "SKIP NOT ALLOWED: " + skip["why"].removeprefix("Skipped: ")
        print(f"{flavour}: skipped {skip['test']}: {why}")
    if unlisted:
        print(
            f"{flavour}: {unlisted} skip(s) not in ALLOWED_SKIPS (tools/znv/testing.py): "
            "mend the test or its world, or list the skip there with why",
            flush=True,
        )
    return not unlisted


def run_ctest(flavour: str) -> bool:
    """The unit tests, built with the compiler of the flavour's world (the
    root's is a second compiler besides the host's) and run there, or for a
    VM flavour built by the host and run in the guest by the host's ctest."""
    banner(f"{flavour}: C++ unit tests")
    build = REPO / "build" / f"cpp-{flavour}"
    ctest = ["--test-dir", str(build), "--output-on-failure", "--no-tests=error"]
    if flavours.world(flavour) == "vm":
        try:
            host_ctest = cross.unit_tests(flavour, build, LOGS / f"unit-tests-{flavour}.log")
        except StepFailed:
            return False
        return subprocess.run([host_ctest, *ctest], cwd=REPO).returncode == 0
    return _built_unit_tests(flavour, build) and _ok(flavour, ["ctest", *ctest])


def _built_unit_tests(flavour: str, build: Path) -> bool:
    python = VENVS / flavour / "bin" / "python"
    configure = ["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja"]
    configure += [f"-DPython_EXECUTABLE={python}", "-DZNV_BUILD_TESTS=ON", "-DZNV_WERROR=ON"]
    return _ok(flavour, configure) and _ok(flavour, ["cmake", "--build", str(build)])


def test_flavour(flavour: str, args: Sequence[str], set_up: Future[None]) -> dict[str, str]:
    """FLAVOUR's steps, once its set-up (under way) is done."""
    banner(f"{flavour}: set-up")
    result = dict.fromkeys(STEPS, "skipped")
    try:
        set_up.result()
        result["set-up"] = "ok"
    except Exception as error:
        print(f"{flavour}: set-up FAILED: {error}", flush=True)
        result["set-up"] = "FAIL"
    # After a failed set-up the venv may hold an old build of the module:
    # run no pytest on it. The unit tests need only the venv's cmake.
    if result["set-up"] == "ok":
        passed, skips_ok = run_pytest(flavour, args)
        result["pytest"] = "ok" if passed else "FAIL"
        result["skips"] = "ok" if skips_ok else "FAIL"
    if (VENVS / flavour / "bin" / "cmake").exists():
        result["ctest"] = "ok" if run_ctest(flavour) else "FAIL"
    return result


def run_tool_tests(results: dict[str, dict[str, str]]) -> str:
    """The tools' own tests (tests/tools: the door into the VM), once from the
    host, with the first VM flavour that was set up; "skipped" without one."""
    vms = [f for f, result in results.items() if flavours.world(f) == "vm"]
    ready = [f for f in vms if results[f]["set-up"] == "ok"]
    if not ready:
        return "FAIL" if vms else "skipped"
    banner(f"the tools' own tests (with {ready[0]})")
    python = tool_venv("tool-tests", ["pytest>=8"])
    done = subprocess.run(
        [python, "-m", "pytest", "tests/tools", "-q", "-p", "no:cacheprovider"],
        cwd=REPO,
        env=dict(os.environ, ZNV_TOOL_TESTS="1", ZNV_DOOR_FLAVOUR=ready[0]),
    )
    return "ok" if done.returncode == 0 else "FAIL"


def provision_ahead(names: Sequence[str]) -> None:
    """Make the flavours' worlds in order, while the first ones are tested:
    making one is mostly single-threaded (configure scripts, downloads), and a
    flavour's set-up waits for its world on the cache's locks."""
    for flavour in names:
        try:
            flavours.provision(flavour)
        except Exception:  # the flavour's own set-up tries again and says why
            pass


def main(args: Sequence[str]) -> int:
    started = time.monotonic()
    names = flavours.names()
    print(f"tools/test: flavours {' '.join(names)}", flush=True)
    ahead = threading.Thread(target=provision_ahead, args=(names,), daemon=True)
    ahead.start()
    results = {
        flavour: test_flavour(flavour, args, set_up)
        for flavour, set_up in flavours.in_turn(names, flavours.setup)
    }
    ahead.join()
    tools = run_tool_tests(results)
    banner(f"summary ({int(time.monotonic() - started)} s)")
    print(f"{'flavour':<12} " + " ".join(f"{step:<8}" for step in STEPS))
    for flavour, result in results.items():
        print(f"{flavour:<12} " + " ".join(f"{result[step]:<8}" for step in STEPS))
    print(f"the tools' own tests: {tools}")
    failed = any(value != "ok" for result in results.values() for value in result.values())
    failed |= tools == "FAIL"
    print("tools/test: FAILED" if failed else "tools/test: all flavours passed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
