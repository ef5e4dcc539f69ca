"""The trace: on only when ZNV_DEBUG is non-empty, decided once, one whole line a call."""

import re

import pytest
from conftest import run_python

IMPORT_AND_WORK = """
import _setzentrave as z
z.setzentrave("worker")
z.getzentrave()
z.setthreadtitle("t")
z.getthreadtitle()
for bad in [(), (1,), ("a", "b")]:
    try:
        z.setzentrave(*bad)
    except TypeError:
        pass
"""


@pytest.mark.parametrize("debug", [None, ""])
def test_nothing_is_written_when_the_variable_is_unset_or_empty(debug):
    done = run_python(IMPORT_AND_WORK, debug=debug)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""


@pytest.mark.parametrize("debug", ["1", "0", " ", "no"])
def test_import_writes_exactly_one_line_and_sets_no_title(debug):
    code = """
import sys
def cmdline():
    with open("/proc/self/cmdline", "rb") as f:
        return f.read()
before = cmdline()
import _setzentrave
assert cmdline() == before, (before, cmdline())
"""
    done = run_python(code, "an argument", debug=debug)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "[ZNV]: module init\n"


def test_a_line_is_prefix_message_and_newline():
    done = run_python(IMPORT_AND_WORK, debug="1")
    assert done.returncode == 0
    assert done.stderr.endswith("\n")
    lines = done.stderr.split("\n")[:-1]
    assert lines[0] == "[ZNV]: module init"
    assert lines.count("[ZNV]: failed to parse tuple and keywords") == 3
    assert all(line.startswith("[ZNV]: ") for line in lines)


def test_changing_the_variable_after_the_first_line_changes_nothing():
    turned_off = run_python(
        "import os, _setzentrave as z\n"
        "os.environ['ZNV_DEBUG'] = ''\n"
        "try: z.setzentrave()\nexcept TypeError: pass\n",
        debug="1",
    )
    assert turned_off.stderr.splitlines() == [
        "[ZNV]: module init",
        "[ZNV]: failed to parse tuple and keywords",
    ]
    turned_on = run_python(
        "import os, _setzentrave as z\n"
        "os.environ['ZNV_DEBUG'] = '1'\n"
        "try: z.setzentrave()\nexcept TypeError: pass\n",
        debug="",
    )
    assert turned_on.stderr == ""


def test_lines_traced_by_many_threads_at_once_stay_whole():
    code = """
import threading, _setzentrave as z
start = threading.Barrier(8)
def trace_many():
    start.wait()
    for _ in range(500):
        try:
            z.setzentrave(1)
        except TypeError:
            pass
threads = [threading.Thread(target=trace_many) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
"""
    done = run_python(code, debug="1")
    assert done.returncode == 0
    lines = done.stderr.split("\n")
    assert lines.pop() == ""
    assert lines[0] == "[ZNV]: module init"
    assert lines[1:] == ["[ZNV]: failed to parse tuple and keywords"] * 4000


def test_lines_of_processes_sharing_standard_error_stay_whole():
    # A parent and its forked children trace at once into one pipe.
    code = """
import os, _setzentrave as z
go_read, go_write = os.pipe()
children = []
for _ in range(3):
    pid = os.fork()
    if pid == 0:
        break
    children.append(pid)
if len(children) == 3:
    os.write(go_write, b"go" * 3)
else:
    os.read(go_read, 2)
for _ in range(2000):
    try:
        z.setzentrave(1)
    except TypeError:
        pass
if len(children) < 3:
    os._exit(0)
for pid in children:
    os.waitpid(pid, 0)
"""
    done = run_python(code, debug="1")
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stderr.split("\n")
    assert lines.pop() == ""
    assert lines[0] == "[ZNV]: module init"
    split = [line for line in lines[1:] if line != "[ZNV]: failed to parse tuple and keywords"]
    assert split == [], f"{len(split)} lines split, such as {split[:3]}"
    assert len(lines) == 1 + 4 * 2000


def test_lines_longer_than_one_atomic_write_come_out_whole():
    # A write of more than PIPE_BUF bytes may be split; such a line is still
    # written whole, after its prefix and before its newline.
    long_arguments = ["ä" * 3000, "b" * 5000]
    done = run_python("import _setzentrave as z; z.getzentrave()", *long_arguments, debug="1")
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stderr.split("\n")
    assert lines.pop() == ""
    assert all(line.startswith("[ZNV]: ") for line in lines)
    found = [line for line in lines if line.startswith("[ZNV]: found argv[")]
    assert len(found) == 5, found  # arguments 4 to 1, then argv[0]
    assert re.fullmatch(r"\[ZNV\]: found argv\[4\] at 0x[0-9a-f]+: b{5000}", found[0])
    assert re.fullmatch(r"\[ZNV\]: found argv\[3\] at 0x[0-9a-f]+: ä{3000}", found[1])
