"""Lint for the project's own Python: ruff (check and format) and mypy.

What they check and how is configured in pyproject.toml. A linter that skips
a file passes without looking at it, so every run first makes sure that ruff
is given every Python file under the linted directories (scripts without a
suffix included) and that mypy checks as many files as ruff does.
"""

from __future__ import annotations

import re
import subprocess
import sys
from collections.abc import Sequence
from pathlib import Path

from .cache import REPO, log, tool_venv

TAG = "lint"
# ruff and mypy pinned: a new release must not fail a run that changed nothing.
REQUIREMENTS = ["ruff==0.17.6", "mypy==2.4.1", "pytest", "hypothesis"]
LINTED = ["src/setzentrave", "tests", "bench", "tools"]


def python_files() -> set[str]:
    """Every Python file under the linted directories, relative to the repository."""
    found = set()
    for top in LINTED:
        for path in (REPO / top).rglob("*"):
            if path.is_file() and (path.suffix == ".py" or _python_script(path)):
                found.add(str(path.relative_to(REPO)))
    return found


def _python_script(path: Path) -> bool:
    if path.suffix:
        return False
    with open(path, "rb") as handle:
        return handle.readline().startswith(b"#!/usr/bin/env python3")


def run(argv: Sequence[str | Path]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(list(map(str, argv)), cwd=REPO, capture_output=True, text=True)


def main(argv: Sequence[str]) -> int:
    if argv[:1] in (["-h"], ["--help"]):
        print(f"{__doc__}\nUsage: tools/lint [--fix]   (--fix: ruff's fixes and formatting first)")
        return 0
    python = tool_venv("lint", REQUIREMENTS)
    ruff = python.parent / "ruff"
    if "--fix" in argv:
        run([ruff, "check", "--fix", *LINTED])
        run([ruff, "format", *LINTED])

    failed = []
    listed = run([ruff, "check", "--show-files", *LINTED])
    seen = {str(Path(line).relative_to(REPO)) for line in listed.stdout.split()}
    missing = python_files() - seen
    if listed.returncode != 0 or missing:
        failed.append(f"ruff is not given {sorted(missing)}: {listed.stderr.strip()}")

    # Scripts without a suffix are each module __main__ to mypy: one run each.
    scripts = sorted(path for path in seen if not path.endswith(".py"))
    concise = ["--output-format", "concise"]
    checks: list[tuple[str, list[str | Path]]] = [
        ("ruff check", [ruff, "check", *concise, *LINTED]),
        ("ruff format", [ruff, "format", "--check", *concise, *LINTED]),
        ("mypy", [python, "-m", "mypy"]),
    ]
    checks += [("mypy", [python, "-m", "mypy", script]) for script in scripts]
    mypy_checked = 0
    for name, command in checks:
        done = run(command)
        output = (done.stdout + done.stderr).strip()
        print(f"==== {name} ====\n{output}", flush=True)
        if done.returncode != 0:
            failed.append(f"{name}: {output.splitlines()[-1] if output else done.returncode}")
        if name == "mypy":
            checked = re.search(r"(?:in|checked) (\d+) source files?\)?$", output)
            mypy_checked += int(checked.group(1)) if checked else 0
    if mypy_checked != len(seen):
        failed.append(f"mypy checked {mypy_checked} files, ruff {len(seen)}")

    for failure in failed:
        log(TAG, f"FAILED: {failure}")
    print("tools/lint: FAILED" if failed else "tools/lint: clean", flush=True)
    sys.stdout.flush()
    return 1 if failed else 0
