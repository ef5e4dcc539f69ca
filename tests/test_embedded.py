"""An interpreter embedded by a host program that gives it no arguments: setup
reads the command line from /proc instead."""

import importlib.util
import os
import re
import subprocess
import sys
from collections.abc import Sequence
from pathlib import Path

import pytest
from conftest import child_env
from setup_trace import walk_lines

_SPEC = importlib.util.find_spec("_setzentrave")
assert _SPEC is not None and _SPEC.origin is not None, "the module is not installed"
MODULE_DIR = str(Path(_SPEC.origin).parent)

PROGRAM = """
import os, sys, _setzentrave as z
print(os.getpid())
print(repr(z.getzentrave()))
z.setzentrave("host at work")
print(repr(z.getzentrave()))
"""

FROM_PROC = [
    "reading argc/argv from Python main",
    "no good news from Py_GetArgcArgv",
    "looking for args into proc fs",
]


def run_host(host: Path, program: str = PROGRAM, wrapper: Sequence[str] = (), **env: str):
    """Runs `host` with no arguments; returns its pid, printed lines and trace."""
    done = subprocess.run(
        [*wrapper, str(host)],
        input=program,
        capture_output=True,
        text=True,
        timeout=60,
        env=child_env(debug="1", PYTHONPATH=MODULE_DIR, PYTHONHOME=sys.base_prefix, **env),
    )
    # A pending exception would have made getzentrave raise SystemError.
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    trace = done.stderr.splitlines()
    assert all(line.startswith("[ZNV]: ") for line in trace), done.stderr
    return int(lines[0]), lines[1:], [line[7:] for line in trace]


def test_the_command_line_comes_from_proc(embedded_host):
    _, printed, trace = run_host(embedded_host)
    host = str(embedded_host)
    assert printed == [repr(host), repr("host at work")]
    fixed = [
        "module init",
        *FROM_PROC,
        f"got argv[0] = '{host}' from /proc",
        "got argc = 1 from /proc",
    ]
    expected = (
        [re.escape(line) for line in fixed]
        + walk_lines([host])
        + [re.escape("setup was called more than once!")] * 2
    )
    assert len(trace) == len(expected), trace
    for line, pattern in zip(trace, expected, strict=True):
        assert re.fullmatch(pattern, line), (line, pattern)


def test_a_title_call_from_inside_the_proc_read_does_not_wait_for_itself(embedded_host):
    # io.open raises an audit event; a hook calling back into the module runs
    # on the thread that holds setup's lock.
    program = """
import sys, _setzentrave as z
seen = []
def hook(event, args):
    if event == "open" and str(args[0]).endswith("/cmdline"):
        seen.append(z.getzentrave())
sys.addaudithook(hook)
print(0)
print(repr(z.getzentrave()))
print(repr(seen))
"""
    _, printed, trace = run_host(embedded_host, program)
    assert printed == [repr(str(embedded_host)), repr([""])]
    nested = trace.index("setup was called more than once!")
    assert trace[nested - 1] == "looking for args into proc fs"
    assert trace[nested + 1] == "failed to initialize setzentrave"
    assert trace[-1] == f"found argv[0]: {embedded_host}"


def test_no_memory_for_the_copy_of_argv0_from_proc(embedded_host, alloc_failure_shim):
    _, printed, trace = run_host(
        embedded_host, LD_PRELOAD=str(alloc_failure_shim), ZNV_TEST_FAIL_ALLOC="strdup"
    )
    assert printed == ["''", repr("host at work")]
    assert trace[1:] == [
        *FROM_PROC,
        "arg0 strdup failed",
        "failed to get args from proc fs",
        "get_argc_argv failed",
        "failed to initialize setzentrave",
        "setup was called more than once!",
        "failed to initialize setzentrave",
        "setup was called more than once!",
        "failed to initialize setzentrave",
    ]


def test_without_a_process_filesystem(embedded_host):
    if os.geteuid() != 0:
        pytest.skip("an empty /proc needs a private mount namespace, which needs root")
    if os.environ.get("ZNV_SANITIZED"):
        pytest.skip("the sanitizer runtime preloaded by tools/check-memory needs /proc to start")
    # A tmpfs over /proc in a mount namespace of the host's own.
    wrapper = [
        "unshare",
        "-m",
        "--propagation",
        "private",
        "sh",
        "-c",
        'mount -t tmpfs none /proc && exec "$0"',
    ]
    probe = subprocess.run([*wrapper, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"no private mount namespace here: {probe.stderr.strip()}")
    pid, printed, trace = run_host(embedded_host, wrapper=wrapper)
    assert printed == ["''", repr("host at work")]
    assert trace[1:] == [
        *FROM_PROC,
        f"opening '/proc/{pid}/cmdline' failed",
        "failed to get args from proc fs",
        "get_argc_argv failed",
        "failed to initialize setzentrave",
        "setup was called more than once!",
        "failed to initialize setzentrave",
        "no /proc/self/stat and no argument vector: the process listing stays as it is",
        "setup was called more than once!",
        "failed to initialize setzentrave",
    ]


# The first title's read of /proc, broken in each way the interpreter lets a
# program break it before its first call. Every failure is traced and cleared:
# an error left set would make the title calls fail with SystemError.
BROKEN_READ = """
import io, os, _setzentrave as z
print(os.getpid())
class File:
    def read(self):
        return READ()
    def close(self):
        CLOSE()
def fail():
    raise OSError("broken on purpose")
real_open, real_getpid = io.open, os.getpid
io.open = lambda path, mode: File() if path.endswith("/cmdline") else real_open(path, mode)
READ, CLOSE, os.getpid = %s
print(repr(z.getzentrave()))
io.open, os.getpid = real_open, real_getpid
z.setzentrave("host at work")
print(repr(z.getzentrave()))
"""

BREAKS = {
    "os.getpid raises": ("None, None, fail", ["calling os.getpid() failed"]),
    "os.getpid gives no number": ("None, None, lambda: 'pid'", ["os.getpid() returned crap?"]),
    "read raises, close too": ("fail, fail, real_getpid", ["closing failed", "reading failed"]),
    "read gives str": ("lambda: 'a', lambda: None, real_getpid", ["failed to get cmdline string"]),
}


@pytest.mark.parametrize("setting, lines", BREAKS.values(), ids=BREAKS.keys())
def test_a_broken_proc_read_fails_softly(embedded_host, setting, lines):
    _, printed, trace = run_host(embedded_host, BROKEN_READ % setting)
    assert printed == ["''", repr("host at work")]
    assert trace[1:] == [
        *FROM_PROC,
        *lines,
        "failed to get args from proc fs",
        "get_argc_argv failed",
        "failed to initialize setzentrave",
        *["setup was called more than once!", "failed to initialize setzentrave"] * 2,
    ]
