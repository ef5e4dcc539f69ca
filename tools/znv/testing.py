"""The project's test command: for every flavour, set up its interpreter and
venv, run the Python tests (pytest) and the C++ unit tests (ctest) in that
flavour's world, and print a summary. Every flavour runs even if another
fails; the exit status is non-zero if anything failed, a pytest run that
collected no test included."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Sequence

from . import flavours
from .cache import REPO, banner
from .venvs import BUILD_ENV, VENVS

STEPS = ("set-up", "pytest", "ctest")


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


def run_pytest(flavour: str, args: Sequence[str]) -> bool:
    banner(f"{flavour}: pytest")
    # Any non-zero status fails, 5 (no tests collected) included.
    pytest = ["python", "-m", "pytest", "tests", "-q", *flavours.pytest_workers(flavour)]
    return _ok(flavour, [*pytest, *args])


def run_ctest(flavour: str) -> bool:
    """The unit tests, built with the compiler of the flavour's world (the
    root's is a second compiler besides the host's)."""
    banner(f"{flavour}: C++ unit tests")
    build = REPO / "build" / f"cpp-{flavour}"
    python = VENVS / flavour / "bin" / "python"
    return (
        _ok(
            flavour,
            [
                "cmake",
                "-S",
                str(REPO),
                "-B",
                str(build),
                "-G",
                "Ninja",
                f"-DPython_EXECUTABLE={python}",
                "-DZNV_BUILD_TESTS=ON",
                "-DZNV_WERROR=ON",
            ],
        )
        and _ok(flavour, ["cmake", "--build", str(build)])
        and _ok(
            flavour, ["ctest", "--test-dir", str(build), "--output-on-failure", "--no-tests=error"]
        )
    )


def test_flavour(flavour: str, args: Sequence[str]) -> dict[str, str]:
    banner(f"{flavour}: set-up")
    result = dict.fromkeys(STEPS, "skipped")
    try:
        flavours.setup(flavour)
        result["set-up"] = "ok"
    except Exception as error:
        print(f"{flavour}: set-up FAILED: {error}", flush=True)
        result["set-up"] = "FAIL"
    # After a failed set-up the venv may hold an old build of the module: run
    # no pytest on it. The unit tests need only the venv's cmake.
    if result["set-up"] == "ok":
        result["pytest"] = "ok" if run_pytest(flavour, args) else "FAIL"
    if (VENVS / flavour / "bin" / "cmake").exists():
        result["ctest"] = "ok" if run_ctest(flavour) else "FAIL"
    return result


def main(args: Sequence[str]) -> int:
    started = time.monotonic()
    names = flavours.names()
    print(f"tools/test: flavours {' '.join(names)}", flush=True)
    results = {flavour: test_flavour(flavour, args) for flavour in names}
    banner(f"summary ({int(time.monotonic() - started)} s)")
    print(f"{'flavour':<12} " + " ".join(f"{step:<8}" for step in STEPS))
    for flavour, result in results.items():
        print(f"{flavour:<12} " + " ".join(f"{result[step]:<8}" for step in STEPS))
    failed = any(value != "ok" for result in results.values() for value in result.values())
    print("tools/test: FAILED" if failed else "tools/test: all flavours passed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
