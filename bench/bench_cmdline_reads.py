"""Counts what readers of /proc/PID/cmdline get while a process changes its
title at full speed: a writer process with a short command line alternates
one title shorter and one longer than its arguments, and this process reads
the writer's /proc/PID/cmdline a fixed number of times. Each read is one of:

  * a whole title: exactly one of the two titles and its zero byte;
  * the bare argument area: zero bytes inside what was read, as the kernel
    shows the area when the last argument byte is zero; the module's writes
    are ordered so that this never happens;
  * a change caught half-done: anything else, such as the empty title shown
    while one is copied, or the start of one title with the end of the
    other. The kernel copies memory that the writer is writing at that
    moment, so these can happen.

    python bench/bench_cmdline_reads.py [--reads N]
"""

import argparse
import os
import subprocess
import sys

import _setzentrave as z


def titles(pid: int) -> tuple[int, bytes, bytes]:
    """The length of the process's arguments, and a title shorter and one
    longer than they are."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        stat = f.read()
    fields = stat[stat.rindex(b")") + 2 :].split()
    arguments = int(fields[49 - 3]) - int(fields[48 - 3])  # arg_end - arg_start
    return arguments, b"s" * (arguments // 3), b"L" * min(255, arguments + 40)


def write_titles() -> None:
    """The writer: tells the reader it runs, then changes titles until killed."""
    _, short_bytes, long_bytes = titles(os.getpid())
    short, long = short_bytes.decode(), long_bytes.decode()
    z.setzentrave(short)
    print("ready", flush=True)
    while True:
        z.setzentrave(long)
        z.setzentrave(short)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=300_000)
    parser.add_argument("--writer", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.writer:
        write_titles()
        return
    writer = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--writer"], stdout=subprocess.PIPE
    )
    # Reader and writer on CPUs of their own race truly; on one CPU the
    # reader would see the writer only where it was preempted.
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) >= 2:
        os.sched_setaffinity(writer.pid, {cpus[0]})
        os.sched_setaffinity(0, {cpus[1]})
    assert writer.stdout is not None
    try:
        if writer.stdout.readline() != b"ready\n":
            raise SystemExit("the writer did not start")
        arguments, short, long = titles(writer.pid)
        shown = {short + b"\0": 0, long + b"\0": 0}
        bare = half_done = 0
        example = None
        fd = os.open(f"/proc/{writer.pid}/cmdline", os.O_RDONLY)
        try:
            for _ in range(options.reads):
                read = os.pread(fd, 4096, 0)
                if read in shown:
                    shown[read] += 1
                elif b"\0" in read[:-1]:
                    bare += 1
                    example = example or read
                else:
                    half_done += 1
        finally:
            os.close(fd)
    finally:
        writer.kill()
        writer.wait()
    short_reads, long_reads = shown.values()
    print(
        f"{options.reads} reads of /proc/PID/cmdline, arguments of {arguments} bytes, "
        f"titles of {len(short)} and {len(long)} bytes:"
    )
    print(
        f"  whole title              {short_reads + long_reads:>9}"
        f"  (short {short_reads}, long {long_reads})"
    )
    print(f"  bare argument area       {bare:>9}")
    print(f"  change caught half-done  {half_done:>9}")
    if example is not None:
        print(f"  a bare read: {example!r}")


if __name__ == "__main__":
    main()
