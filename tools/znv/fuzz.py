"""Coverage-guided fuzzing of every piece that reads outside input: the
libFuzzer harnesses of tests/fuzz, built by clang with AddressSanitizer and
UndefinedBehaviorSanitizer, each run from its seed corpus in the repository
and the corpus it has grown in the cache. A crash, a sanitizer report or a
broken property fails the run, and libFuzzer keeps the input that did it.

``--plant`` proves that the harnesses bite: in a scratch copy of the sources
it plants one fault per harness, and each harness must then fail.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import sanitizers
from .cache import CACHE, REPO, log, run_step

TAG = "fuzz"
HARNESSES = (
    "kernel_bounds",
    "cmdline_count",
    "utf8_prefix",
    "argument_area",
    "locate_argv",
    "string_move",
    "trace_text",
)
SEEDS = REPO / "tests" / "fuzz" / "corpus"
GROWN = CACHE / "fuzz" / "corpus"
CI_RUNS = 20_000

# One fault a harness must catch: the file under src/, the text to replace and
# its replacement, what it breaks.
PLANTS = {
    "kernel_bounds": (
        "platform/linux/kernel_bounds.cpp",
        ("ARG_START_FIELD = 48;", "ARG_START_FIELD = 47;"),
        "the bounds are read one field early",
    ),
    "cmdline_count": (
        "setup/cmdline_count.cpp",
        ("i > 0 &&", "i > 1 &&"),
        "the first byte is never looked at",
    ),
    "utf8_prefix": (
        "title/utf8_prefix.cpp",
        ("    return start;\n", "    return start + 1;\n"),
        "the cut keeps the split character's lead byte",
    ),
    "argument_area": (
        "platform/linux/title_writer.cpp",
        (
            "CmdlineReport::title_up_to_zero && arg_length >= 2;",
            "CmdlineReport::title_up_to_zero && arg_length >= 2 && false;",
        ),
        "a short title leaves the argument end zero: the kernel shows the rest",
    ),
    "locate_argv": (
        "setup/locate_argv.cpp",
        ("while (z > floor && *z != '\\0')", "while (z >= floor - 1 && *z != '\\0')"),
        "the scan reads the byte below the floor",
    ),
    "string_move": (
        "platform/linux/string_move.cpp",
        ("if (moves_with_name) {", "if (moves_with_name && false) {"),
        "a short name inside the moved name keeps pointing into the area",
    ),
    "trace_text": (
        "debug/trace_text.cpp",
        ("code == 0x2028 || code == 0x2029;", "code == 0x2028;"),
        "a control or separator is no longer escaped",
    ),
}


def build(source_root: Path, build_dir: Path, logfile: Path) -> Path:
    """The harnesses of SOURCE_ROOT's tests/fuzz, built into BUILD_DIR."""
    sanitizers.ensure_clang(TAG)
    env = sanitizers.clang_env()
    configure: list[str | os.PathLike[str]] = [
        "cmake",
        "-S",
        source_root / "tests" / "fuzz",
        "-B",
        build_dir,
        "-G",
        "Ninja",
        "-DZNV_WERROR=ON",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
    ]
    run_step(TAG, f"configure {build_dir}", configure, logfile, env=env)
    run_step(TAG, "build the harnesses", ["cmake", "--build", build_dir], logfile, env=env)
    return build_dir


def run(
    build_dir: Path, name: str, work: Path, runs: int | None, seconds: int, grow: bool = True
) -> tuple[bool, str]:
    """Runs one harness; returns whether it passed and what to show."""
    artifacts = work / "artifacts" / name
    artifacts.mkdir(parents=True, exist_ok=True)
    corpora = [SEEDS / name]
    if grow:
        (GROWN / name).mkdir(parents=True, exist_ok=True)
        corpora.insert(0, GROWN / name)  # new inputs go to the first
    else:
        scratch = work / "corpus" / name
        scratch.mkdir(parents=True, exist_ok=True)
        corpora.insert(0, scratch)
    limits = [f"-max_total_time={seconds}"] + ([f"-runs={runs}"] if runs else [])
    argv: list[str | os.PathLike[str]] = [
        build_dir / f"{name}_fuzz",
        *limits,
        "-timeout=10",
        "-rss_limit_mb=2048",
        "-print_final_stats=1",
        f"-artifact_prefix={artifacts}/",
        *corpora,
    ]
    env = {k: v for k, v in os.environ.items() if k != "ZNV_DEBUG"}
    env["ASAN_OPTIONS"] = f"external_symbolizer_path={sanitizers.SYMBOLIZER}"
    env["UBSAN_OPTIONS"] = f"print_stacktrace=1:external_symbolizer_path={sanitizers.SYMBOLIZER}"
    logfile = work / f"{name}.log"
    started = time.monotonic()
    with open(logfile, "w") as out:
        done = subprocess.run(
            argv, stdout=out, stderr=subprocess.STDOUT, env=env, timeout=seconds + 120
        )
    text = logfile.read_text(errors="replace")
    took = time.monotonic() - started
    executed = next(
        (
            line.split()[-1]
            for line in text.splitlines()
            if line.startswith("stat::number_of_executed_units")
        ),
        "?",
    )
    if done.returncode == 0:
        return True, f"{name}: {executed} inputs in {took:.0f} s, no finding"
    found = sorted(artifacts.iterdir())
    shown = "\n".join(_finding(text.splitlines()))
    where = f"; input kept in {found[-1]}" if found else ""
    return False, f"{name}: FINDING (exit {done.returncode}){where}\n{shown}"


def _finding(lines: list[str]) -> list[str]:
    """What a finding's log says, without libFuzzer's progress and its own frames."""
    start = next(
        (
            i
            for i, line in enumerate(lines)
            if line.startswith(("property broken", "==")) and "INFO" not in line
        ),
        0,
    )
    kept = [
        line
        for line in lines[start:]
        if not line.startswith(("#", "INFO:", "stat::", "NOTE:", "      Combine"))
        and "fuzzer::" not in line
        and "libc_start" not in line
        and " in _start " not in line
    ]
    return kept[:40]


def run_shown(
    build_dir: Path,
    name: str,
    work: Path,
    runs: int | None,
    seconds: int,
    grow: bool = True,
    indent: str = "",
) -> bool:
    """Runs harness NAME, prints what it reported; True when it found nothing."""
    passed, message = run(build_dir, name, work, runs, seconds, grow=grow)
    print(indent + message.replace("\n", "\n" + indent), flush=True)
    return passed


def check(names: list[str], runs: int | None, seconds: int) -> int:
    work = Path(tempfile.mkdtemp(prefix="znv-fuzz."))
    build_dir = build(REPO, REPO / "build" / "fuzz", work / "build.log")
    failed = [name for name in names if not run_shown(build_dir, name, work, runs, seconds)]
    if failed:
        print(f"tools/fuzz: findings in {', '.join(failed)} (logs and inputs in {work})")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"tools/fuzz: {len(names)} harnesses, no finding")
    return 0


def plant(names: list[str], seconds: int) -> int:
    """Each harness against a copy of the sources with its fault planted: it must fail."""
    work = Path(tempfile.mkdtemp(prefix="znv-fuzz-plant."))
    root = work / "tree"
    shutil.copytree(REPO / "src", root / "src")
    shutil.copytree(
        REPO / "tests" / "fuzz", root / "tests" / "fuzz", ignore=shutil.ignore_patterns("corpus")
    )
    for name in names:
        path, (old, new), _ = PLANTS[name]
        source = root / "src" / path
        content = source.read_text()
        if content.count(old) != 1:
            print(f"{name}: the plant no longer applies to src/{path}: {old!r}")
            return 1
        source.write_text(content.replace(old, new))
    build_dir = build(root, work / "build", work / "build.log")
    missed = []
    for name in names:
        print(f"planted in {name}: {PLANTS[name][2]}")
        if run_shown(build_dir, name, work, None, seconds, grow=False, indent="    "):
            missed.append(name)
    if missed:
        print(f"tools/fuzz --plant: NOT caught by {', '.join(missed)}")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"tools/fuzz --plant: every planted fault caught ({len(names)} harnesses)")
    return 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="tools/fuzz", description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "names",
        nargs="*",
        metavar="NAME",
        help=f"harnesses to run (default: all): {', '.join(HARNESSES)}",
    )
    parser.add_argument(
        "--seconds",
        type=int,
        metavar="S",
        help=f"run each for S seconds (default: {CI_RUNS} inputs each)",
    )
    parser.add_argument(
        "--plant",
        action="store_true",
        help="plant a fault per harness in a scratch copy; each must be caught",
    )
    args = parser.parse_args(argv)
    names = list(args.names) or list(HARNESSES)
    unknown = sorted(set(names) - set(HARNESSES))
    if unknown:
        parser.error(f"no harness {', '.join(unknown)}; there are: {', '.join(HARNESSES)}")
    if args.plant:
        return plant(names, args.seconds or 60)
    if args.seconds:
        return check(names, None, args.seconds)
    log(TAG, f"{CI_RUNS} inputs a harness (--seconds S runs longer)")
    return check(names, CI_RUNS, 60)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
