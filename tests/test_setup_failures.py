"""Setup failing on the way: every failure is traced with its own lines, leaves
no exception pending, and the title functions go on working."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import child_env
from setup_trace import arguments

FAILED_SETUP = "failed to initialize setzentrave"
MORE_THAN_ONCE = "setup was called more than once!"
WALK_FAILED = ["couldn't find argv from environ", "get_argc_argv failed", FAILED_SETUP]


def check_soft_failure(c, failure_lines: list[str]) -> None:
    """The first getzentrave ends with `failure_lines`, returns the empty title
    normally (a pending exception would turn the result into a SystemError),
    and setting a title still works."""
    assert c.eval("z.getzentrave()") == ""
    trace = c.trace()
    assert trace[-len(failure_lines) :] == failure_lines
    c.exec("z.setzentrave('still working')")
    assert c.eval("z.getzentrave()") == "still working"
    assert c.trace()[len(trace) :] == [MORE_THAN_ONCE, FAILED_SETUP] * 2
    assert c.eval("sys.exc_info()[0]") is None


def test_an_interpreter_name_that_is_not_utf8(child_factory, tmp_path):
    name = os.fsdecode(bytes(tmp_path) + b"/python\xff")
    os.symlink(os.path.realpath(sys.executable), name)
    # Outside any virtual environment the link needs to be shown the module.
    found = importlib.util.find_spec("_setzentrave")
    assert found is not None and found.origin is not None, "the module is not installed"
    module_dir = Path(found.origin).parent
    c = child_factory(executable=name, env=child_env(debug="1", PYTHONPATH=str(module_dir)))
    c.exec("import sys, _setzentrave as z")
    check_soft_failure(
        c,
        [
            "reading argc/argv from Python main",
            "found 2 arguments",
            "failed to encode argv[0]",
            "couldn't get a copy of argv[0]",
            "get_argc_argv failed",
            FAILED_SETUP,
        ],
    )
    assert c.trace()[0] == "module init"


ENVIRON = """
import ctypes, sys, _setzentrave as z
environ = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")
"""


NEITHER_START = r"""
import ctypes, sys
environ = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")
moved = ctypes.create_string_buffer(b"ZNV_MOVED=1")
environ[0] = ctypes.addressof(moved)
import _setzentrave as z
print(repr(z.getzentrave()), hex(environ[0]), flush=True)
"""


def test_neither_environ_nor_the_kernels_record(tmp_path):
    # environ[0] moved, and no /proc to tell where the kernel put the strings.
    if os.geteuid() != 0:
        pytest.skip("hiding /proc needs a mount namespace")
    script = tmp_path / "neither.py"
    script.write_text(NEITHER_START)
    hide = f"mount -t tmpfs none /proc && exec {sys.executable} {script}"
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", hide],
        capture_output=True,
        text=True,
        env=child_env("1"),
        timeout=60,
    )
    if not done.stdout:
        pytest.skip(f"no mount namespace here: {done.stderr}")
    title, moved = done.stdout.split()
    assert title == "''"
    # Under the sanitizers their runtime adds lines of its own, lacking /proc.
    trace = [
        line.removeprefix("[ZNV]: ")
        for line in done.stderr.splitlines()
        if line.startswith("[ZNV]: ")
    ]
    assert trace[-6:] == [
        "walking from environ to look for the arguments",
        f"environ[0] at {moved} is not where the kernel put the environment",
        "no other start: the kernel's record of the environment can't be had",
        *WALK_FAILED,
    ]


def test_an_argv0_rewritten_in_place(child_factory):
    c = child_factory(debug="1")
    c.exec(ENVIRON)
    c.exec("""
with open("/proc/self/stat") as f:
    stat = f.read()
arg_start = int(stat[stat.rindex(")") + 2:].split()[48 - 3])
ctypes.memmove(arg_start, b"X", 1)
""")
    argv0 = arguments(c.cmdline())[0]
    original = sys.executable
    assert argv0 == "X" + original[1:]
    check_soft_failure(c, [f"argv[0] '{argv0}' doesn't match '{original}'", *WALK_FAILED])


@pytest.fixture
def failing_alloc_child(child_factory, alloc_failure_shim):
    def start(target: str):
        env = child_env(debug="1", LD_PRELOAD=str(alloc_failure_shim), ZNV_TEST_FAIL_ALLOC=target)
        c = child_factory(env=env)
        c.exec("import sys, _setzentrave as z")
        return c

    return start


def test_no_memory_for_the_argv0_copy(failing_alloc_child):
    c = failing_alloc_child("strdup")
    check_soft_failure(
        c,
        [
            "reading argc/argv from Python main",
            "found 2 arguments",
            "couldn't get a copy of argv[0]",
            "get_argc_argv failed",
            FAILED_SETUP,
        ],
    )


def test_no_memory_for_the_argument_vector(failing_alloc_child):
    c = failing_alloc_child(f"malloc:{3 * 8}")  # two arguments and the terminator
    check_soft_failure(
        c, ["walking from environ to look for the arguments", "can't malloc 2 args!", *WALK_FAILED]
    )


def test_no_memory_for_the_joined_command_line(failing_alloc_child, child_factory):
    probe = child_factory()
    probe.exec("pass")  # answering, it has surely finished starting
    size = len(probe.cmdline())  # each argument and its blank (the last one the terminator)
    assert size != 3 * 8
    c = failing_alloc_child(f"malloc:{size}")
    args = arguments(c.cmdline())
    # The walk succeeded; only the text is missing, and nothing says more.
    check_soft_failure(c, [f"found argv[0]: {args[0]}", FAILED_SETUP])
