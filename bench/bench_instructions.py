"""Counts the instructions of the module's own work in a call, with callgrind,
which counts the same on every run where timings on a shared machine do not:
the same loop of calls is run N and 2N times, each in a fresh interpreter
under valgrind, and the difference divided by N is a call's count, start-up
and import left out. The floor's count (floor.cpp: the same calling
convention, nothing done) is subtracted, leaving what the module adds.

    python bench/bench_instructions.py [--calls N]
"""

import argparse
import os
import re
import subprocess
import sys
import sysconfig
import tempfile

import _setzentrave as z
import floor

TITLE = "bench: serving requests on port 8080"
# Each call measured: the module's function and the floor's.
CALLS = {"setzentrave(x)": ("setzentrave", "set"), "getzentrave()": ("getzentrave", "get")}
TAKE_THE_TITLE = ("setzentrave", "set")


def loop(call: str, count: int) -> None:
    """Runs in the counted interpreter: the first title, then COUNT calls of
    CALL, a function of the module or of the floor."""
    floor_module = floor.load()
    z.setzentrave(TITLE)
    floor_module.prepare(TITLE)
    function = getattr(z if hasattr(z, call) else floor_module, call)
    if call in TAKE_THE_TITLE:
        for _ in range(count):
            function(TITLE)
    else:
        for _ in range(count):
            function()


def instructions(call: str, count: int) -> int:
    """The instructions a fresh interpreter runs to make COUNT calls of CALL."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                __file__,
                "--loop",
                call,
                str(count),
            ],
            check=True,
            capture_output=True,
            # The same hashes every run; no trace to write.
            env={k: v for k, v in os.environ.items() if k != "ZNV_DEBUG"} | {"PYTHONHASHSEED": "0"},
        )
        with open(out) as f:
            found = re.search(r"^summary: (\d+)", f.read(), re.MULTILINE)
    if found is None:
        sys.exit(f"no summary in callgrind's output for {call}")
    return int(found.group(1))


def per_call(call: str, calls: int) -> float:
    return (instructions(call, 2 * calls) - instructions(call, calls)) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--loop", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.loop:
        loop(args.loop[0], int(args.loop[1]))
        return

    floor.built()  # not inside the counted runs
    free_threaded = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(
        f"Python {sys.version.split()[0]}{free_threaded}, instructions a call "
        f"(callgrind, {args.calls} and {2 * args.calls} calls)"
    )
    print(f"{'':20}{'call':>8}{'floor':>8}{'own':>8}")
    for name, (ours, under) in CALLS.items():
        total, base = per_call(ours, args.calls), per_call(under, args.calls)
        print(f"{name:20}{total:>8.0f}{base:>8.0f}{total - base:>8.0f}")


if __name__ == "__main__":
    main()
