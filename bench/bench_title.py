"""Prints what the module's calls cost, as ratios measured in this one run:

  * each call against its floor: a function called exactly as it is (the
    setters' argument parser, the getters' new str of the title's length)
    that does nothing else (floor.cpp, built here for this interpreter);
  * each call against trivial builtin calls with one argument, made through
    the same loop, and against what a program would write by hand without the
    module (ctypes prctl(), the thread's /proc/self/task/TID/comm file);
  * on a free-threaded interpreter, the calls made by 1, 2, 4 and 8 threads
    at once, as aggregate throughput against one thread;
  * the time to import the public package and the module in a fresh
    interpreter, against importing a small extension module of the standard
    library.

    python bench/bench_title.py [--loops N] [--repeats N]

Every figure is the best of several repeats, interleaved so that other work on
a shared machine hits all alike; the ratios do not depend on the machine's
speed, but the number of cores bounds what threads can add."""

import argparse
import ctypes
import importlib.util
import os
import subprocess
import sys
import sysconfig
import threading
import time

import _setzentrave as z
import floor

floor_module = floor.load()

PR_SET_NAME = 15
PR_GET_NAME = 16
TITLE = "bench: serving requests on port 8080"
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

libc = ctypes.CDLL(None, use_errno=True)
prctl = libc.prctl
prctl.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
prctl.restype = ctypes.c_int
name_buffer = ctypes.create_string_buffer(16)
COMM = f"/proc/self/task/{threading.get_native_id()}/comm"


# What a program writes without the module.
def prctl_set_name(title):
    prctl(PR_SET_NAME, title.encode()[:15], 0, 0, 0)


def prctl_get_name():
    prctl(PR_GET_NAME, name_buffer, 0, 0, 0)
    return name_buffer.value.decode()


def comm_set_name(title):
    with open(COMM, "w") as f:
        f.write(title[:15])


def comm_get_name():
    with open(COMM) as f:
        return f.read().rstrip("\n")


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


def best_of(timings, repeats):
    """The fastest of `repeats` runs of each timing, interleaved."""
    best = {name: float("inf") for name in timings}
    for _ in range(repeats):
        for name, measure in timings.items():
            best[name] = min(best[name], measure())
    return best


def per_call(loops, repeats):
    slow = max(loops // 50, 1000)  # the file-writing alternative is ~100 times slower
    timings = {
        # len() has an instruction of its own in the interpreter, abs() goes
        # through the ordinary call of a builtin taking one argument.
        "len(x)": lambda: one_argument_loop(len, TITLE, loops) / loops,
        "abs(x)": lambda: one_argument_loop(abs, 1, loops) / loops,
        "floor set": lambda: one_argument_loop(floor_module.set, TITLE, loops) / loops,
        "floor get": lambda: no_argument_loop(floor_module.get, loops) / loops,
        "setzentrave(x)": lambda: one_argument_loop(z.setzentrave, TITLE, loops) / loops,
        "getzentrave()": lambda: no_argument_loop(z.getzentrave, loops) / loops,
        "setthreadtitle(x)": lambda: one_argument_loop(z.setthreadtitle, TITLE, loops) / loops,
        "getthreadtitle()": lambda: no_argument_loop(z.getthreadtitle, loops) / loops,
        "prctl set": lambda: one_argument_loop(prctl_set_name, TITLE, loops) / loops,
        "prctl get": lambda: no_argument_loop(prctl_get_name, loops) / loops,
        "comm set": lambda: one_argument_loop(comm_set_name, TITLE, slow) / slow,
        "comm get": lambda: no_argument_loop(comm_get_name, slow) / slow,
    }
    best = best_of(timings, repeats)
    rows = (
        ("setzentrave(x)", "floor set", "prctl set", "comm set"),
        ("getzentrave()", "floor get", "prctl get", "comm get"),
        ("setthreadtitle(x)", "floor set", "prctl set", "comm set"),
        ("getthreadtitle()", "floor get", "prctl get", "comm get"),
    )
    print(
        f"{'per call':20}{'ns':>8}{'÷ floor':>9}{'÷ abs(x)':>10}{'÷ len(x)':>10}"
        f"{'÷ ctypes prctl':>16}{'÷ /proc comm':>14}"
    )
    for ours, by_floor, by_prctl, by_comm in rows:
        t = best[ours]
        print(
            f"{ours:20}{t * 1e9:>8.1f}{t / best[by_floor]:>9.2f}"
            f"{t / best['abs(x)']:>10.2f}{t / best['len(x)']:>10.2f}"
            f"{t / best[by_prctl]:>16.3f}{t / best[by_comm]:>14.4f}"
        )
    names = ("floor set", "floor get", "abs(x)", "len(x)")
    for name in (*names, "prctl set", "prctl get", "comm set", "comm get"):
        print(f"  {name:18}{best[name] * 1e9:>8.1f} ns")


def aggregate_rate(call, argument, threads, loops):
    """Calls a second made by `threads` threads together, each making `loops`:
    all calls over the time from the first thread's start to the last one's end,
    each thread timing itself, so a late-scheduled main thread adds nothing."""
    barrier = threading.Barrier(threads)
    spans = []

    def work():
        barrier.wait()
        start = time.perf_counter()
        if argument is None:
            no_argument_loop(call, loops)
        else:
            one_argument_loop(call, argument, loops)
        spans.append((start, time.perf_counter()))

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * loops / (max(end for _, end in spans) - min(start for start, _ in spans))


def scaling(loops, repeats):
    counts = (1, 2, 4, 8)
    calls = (
        ("abs(x)", abs, 1),
        ("setzentrave(x)", z.setzentrave, TITLE),
        ("getzentrave()", z.getzentrave, None),
        ("setthreadtitle(x)", z.setthreadtitle, TITLE),
        ("getthreadtitle()", z.getthreadtitle, None),
    )
    # Every thread makes loops // 4 calls, so that runs with more threads last
    # longer and starting the threads weighs less.
    timings = {
        (name, n): (lambda c=call, a=argument, n=n: -aggregate_rate(c, a, n, loops // 4))
        for name, call, argument in calls
        for n in counts
    }
    best = {key: -value for key, value in best_of(timings, repeats).items()}
    print(f"\naggregate throughput, {os.cpu_count()} CPUs: calls/s with N threads ÷ with 1")
    print(f"{'':20}{'1 thread':>12}" + "".join(f"{n:>8}" for n in counts[1:]))
    for name, _, _ in calls:
        one = best[(name, 1)]
        print(
            f"{name:20}{one / 1e6:>10.2f} M"
            + "".join(f"{best[(name, n)] / one:>8.2f}" for n in counts[1:])
        )


IMPORT_TIME = """
import sys, time
start = time.perf_counter()
import {name}
print(time.perf_counter() - start)
"""


def import_seconds(name):
    """Time to import `name` in a fresh interpreter, the interpreter's start excluded."""
    done = subprocess.run(
        [sys.executable, "-c", IMPORT_TIME.format(name=name)],
        capture_output=True,
        text=True,
        check=True,
    )
    return float(done.stdout)


# A small extension module of the standard library, loaded from its own shared
# object as this module is, and not imported at start-up. (Debian builds
# _bisect into its interpreters, so that one would not do.)
REFERENCE = "_queue"


def import_cost(repeats):
    found = importlib.util.find_spec(REFERENCE)
    origin = (found.origin if found is not None else None) or ""
    if not origin.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
        sys.exit(
            f"{REFERENCE} is not loaded from a shared object here ({origin}): "
            "no reference for the import time"
        )
    names = ("setzentrave", "_setzentrave", REFERENCE)
    best = best_of({name: lambda name=name: import_seconds(name) for name in names}, repeats * 3)
    print("\nimport in a fresh interpreter, ÷ " + REFERENCE)
    for name in names:
        print(f"{name:20}{best[name] * 1e6:>8.0f} µs{best[name] / best[REFERENCE]:>8.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loops", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    z.setzentrave(TITLE)  # the first title finds the area; not part of the cost
    floor_module.prepare(TITLE)  # the floor's getter returns a str as long as the title
    print(
        f"Python {sys.version.split()[0]}{' free-threaded' if FREE_THREADED else ''}, "
        f"{args.loops} calls a loop, best of {args.repeats} repeats"
    )
    per_call(args.loops, args.repeats)
    if FREE_THREADED:
        scaling(args.loops, args.repeats)
    import_cost(args.repeats)


if __name__ == "__main__":
    main()
