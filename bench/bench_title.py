"""Prints what setting and reading the process title cost, as ratios:
to a trivial builtin call with one argument, and to the ctypes prctl() call
a program would otherwise write by hand to name itself.

    python bench/bench_title.py [--loops N] [--repeats N]

Each figure is the fastest of several repeats of the same loop, so that other
work on a shared machine inflates it as little as possible; the ratios do not
depend on the machine's speed."""

import argparse
import ctypes
import sys
import sysconfig
import time

import _setzentrave as z

PR_SET_NAME = 15
PR_GET_NAME = 16
TITLE = "bench: serving requests on port 8080"

libc = ctypes.CDLL(None, use_errno=True)
prctl = libc.prctl
prctl.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
prctl.restype = ctypes.c_int
name_buffer = ctypes.create_string_buffer(16)


# What a program writes without the module: name itself through the C library.
def set_name_by_hand(title):
    prctl(PR_SET_NAME, title.encode()[:15], 0, 0, 0)


def get_name_by_hand():
    prctl(PR_GET_NAME, name_buffer, 0, 0, 0)
    return name_buffer.value.decode()


def one_argument_loop(function, argument, loops):
    """Seconds for `loops` calls function(argument)."""
    iterations = range(loops)
    start = time.perf_counter()
    for _ in iterations:
        function(argument)
    return time.perf_counter() - start


def no_argument_loop(function, loops):
    """Seconds for `loops` calls function()."""
    iterations = range(loops)
    start = time.perf_counter()
    for _ in iterations:
        function()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loops", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    loops, repeats = args.loops, args.repeats

    z.setzentrave(TITLE)  # the first title finds the area; not part of the cost
    timings = {
        "builtin len(x)": lambda: one_argument_loop(len, TITLE, loops),
        "setzentrave(x)": lambda: one_argument_loop(z.setzentrave, TITLE, loops),
        "getzentrave()": lambda: no_argument_loop(z.getzentrave, loops),
        "ctypes prctl(PR_SET_NAME)": lambda: one_argument_loop(set_name_by_hand, TITLE, loops),
        "ctypes prctl(PR_GET_NAME)": lambda: no_argument_loop(get_name_by_hand, loops),
    }
    # Interleave the repeats so that a burst of other load hits all alike.
    best = {name: float("inf") for name in timings}
    for _ in range(repeats):
        for name, measure in timings.items():
            best[name] = min(best[name], measure())

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"Python {sys.version.split()[0]}{' free-threaded' if free_threaded else ''}, "
          f"{loops} calls, fastest of {repeats} repeats")
    print(f"{'':28}{'÷ builtin len(x)':>18}{'÷ by hand (ctypes)':>20}")
    for ours, by_hand in (("setzentrave(x)", "ctypes prctl(PR_SET_NAME)"),
                          ("getzentrave()", "ctypes prctl(PR_GET_NAME)")):
        print(f"{ours:28}{best[ours] / best['builtin len(x)']:>18.2f}"
              f"{best[ours] / best[by_hand]:>20.2f}")
    for by_hand in ("ctypes prctl(PR_SET_NAME)", "ctypes prctl(PR_GET_NAME)"):
        print(f"{by_hand:28}{best[by_hand] / best['builtin len(x)']:>18.2f}{1:>20.2f}")


if __name__ == "__main__":
    main()
