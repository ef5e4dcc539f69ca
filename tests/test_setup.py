"""The first title: the command line the process was started with, found once
at the first process-title call."""

import os
import platform
import re

import pytest
from conftest import ChildError
from setup_trace import FROM_ENVIRON, FROM_KERNEL, NO_STRINGS, arguments, check_interpreter_setup

MORE_THAN_ONCE = "setup was called more than once!"


def test_first_get_returns_the_command_line(child_factory):
    c = child_factory("alpha", "", "omega", debug="1")
    c.exec("import _setzentrave as z")
    args = arguments(c.cmdline())
    assert args[2:] == ["alpha", "", "omega"]
    title = c.eval("z.getzentrave()")
    assert title == " ".join(args)
    assert "alpha  omega" in title  # the empty argument keeps its blank
    trace = c.trace()
    assert trace[0] == "module init"
    check_interpreter_setup(trace[1:], args, c.pid)


def test_first_set_runs_setup_before_the_new_title(child_factory):
    c = child_factory("one", debug="1")
    c.exec("import _setzentrave as z")
    args = arguments(c.cmdline())  # before the title replaces it in the listing
    c.exec("z.setzentrave('renamed')")
    check_interpreter_setup(c.trace()[1:], args, c.pid)
    assert c.eval("z.getzentrave()") == "renamed"
    assert c.trace()[-1] == MORE_THAN_ONCE


def test_later_calls_trace_one_line_and_keep_the_title(child):
    first = child.eval("z.getzentrave()")
    setup_lines = len(child.trace())
    assert child.eval("z.getzentrave()") == first
    child.exec("z.setzentrave('later')")
    assert child.eval("z.getzentrave()") == "later"
    assert child.trace()[setup_lines:] == [MORE_THAN_ONCE] * 3


def test_no_setup_on_import_or_thread_title_calls(child):
    child.exec("z.setthreadtitle('worker'); z.getthreadtitle()")
    assert child.trace() == ["module init"]


def test_a_failed_parse_runs_no_setup(child):
    with pytest.raises(ChildError):
        child.exec("z.setzentrave(42)")
    assert child.trace() == ["module init", "failed to parse tuple and keywords"]


def test_a_command_line_longer_than_the_title_is_cut(child_factory):
    long_args = [f"argument-{i:02d}-" + "x" * 20 for i in range(12)]
    c = child_factory(*long_args, debug="1")
    c.exec("import _setzentrave as z")
    args = arguments(c.cmdline())  # before the first title replaces it in the listing
    joined = " ".join(args)
    assert len(joined.encode()) > 255
    assert c.eval("z.getzentrave()") == joined[:255]
    check_interpreter_setup(c.trace()[1:], args, c.pid)


# What a process needs in its environment at exec under tools/check-memory.
SANITIZER_VARIABLES = ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC")


def test_an_empty_environment_still_gives_the_command_line(child_factory):
    # Started with no environment, the interpreter's locale coercion sets
    # LC_CTYPE before any user code runs: environ[0] is then a heap string.
    # (musl's C locale is UTF-8 already: nothing is coerced, environ stays
    # empty, and the module must look where the kernel put it all the same.)
    kept = {k: os.environ[k] for k in SANITIZER_VARIABLES if k in os.environ}
    c = child_factory("alpha", "omega", env=kept)
    c.exec("import os; os.environ['ZNV_DEBUG'] = '1'")  # after exec: no string of its own there
    if not kept:
        coerced = None if platform.libc_ver()[0] != "glibc" else "C.UTF-8"
        assert c.eval("os.environ.get('LC_CTYPE')") == coerced
    c.exec("import _setzentrave as z")
    args = arguments(c.cmdline())
    assert c.eval("z.getzentrave()") == " ".join(args)
    assert c.cmdline() == " ".join(args).encode() + b"\0"  # the first title, shown
    check_interpreter_setup(c.trace()[1:], args, c.pid, FROM_ENVIRON if kept else FROM_KERNEL)
    c.exec("z.setzentrave('no environment')")
    assert c.ps("args") == "no environment"


ENVIRON = """
import ctypes, _setzentrave as z
environ = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")
"""
ELSEWHERE = {
    "replaced": (
        "moved = ctypes.create_string_buffer(b'ZNV_MOVED=1'); environ[0] = ctypes.addressof(moved)",
        FROM_KERNEL,
    ),
    "first unset": (
        "import os; os.unsetenv(ctypes.string_at(environ[0]).split(b'=')[0])",
        FROM_KERNEL,
    ),  # the vector starts at the second string then
    "without strings": ("environ[0] = None", NO_STRINGS),
}


@pytest.mark.parametrize("change, start", ELSEWHERE.values(), ids=list(ELSEWHERE))
def test_a_first_environment_string_elsewhere_still_gives_the_command_line(
    child_factory, change, start
):
    # Memory below a string that is not where the kernel put the environment
    # is never read: the walk starts at the kernel's record instead.
    c = child_factory("one", "two", debug="1")
    c.exec(ENVIRON)
    args = arguments(c.cmdline())
    c.exec(change)
    assert c.eval("z.getzentrave()") == " ".join(args)
    check_interpreter_setup(c.trace()[1:], args, c.pid, start)
    c.exec("z.setzentrave('moved on')")
    assert c.cmdline() == b"moved on\0"


def racing_child(child_factory, attempt):
    """A child whose first call many callers will race to. Many arguments make
    setup long enough for the others to arrive meanwhile. Returns the child and
    its arguments, read before the first title replaces them in the listing."""
    c = child_factory(*(f"a{i}" for i in range(400)), str(attempt), debug="1")
    c.exec("pass")  # once the child answers, its exec has finished
    return c, arguments(c.cmdline())


@pytest.mark.parametrize("attempt", range(3))
def test_threads_making_the_first_call_together_share_one_setup(child_factory, attempt):
    threads = 16
    c, args = racing_child(child_factory, attempt)
    c.exec(f"""
import threading
import _setzentrave as z
barrier = threading.Barrier({threads})
titles = [None] * {threads}
def first_call(i):
    barrier.wait()
    titles[i] = z.getzentrave()
workers = [threading.Thread(target=first_call, args=(i,)) for i in range({threads})]
for w in workers: w.start()
for w in workers: w.join()
""")
    assert c.eval("titles") == [" ".join(args)[:255]] * threads
    trace = c.trace()[1:]
    assert trace.count(MORE_THAN_ONCE) == threads - 1
    setup = [line for line in trace if line != MORE_THAN_ONCE]
    check_interpreter_setup(setup, args, c.pid)
    # Whoever waited saw setup finished: no caller ran it, nor found it failed.
    assert "failed to initialize setzentrave" not in trace


INTERPRETERS_RACE = r"""
import os, threading
import _interpreters
go_read, go_write = os.pipe()
out_read, out_write = os.pipe()
code = (
    "import os, _setzentrave as z\n"
    f"os.read({go_read}, 1)\n"
    f"os.write({out_write}, repr(z.getzentrave()).encode() + b'\\n')\n"
)
ids = [_interpreters.create() for _ in range(COUNT)]
workers = [threading.Thread(target=_interpreters.run_string, args=(i, code)) for i in ids]
for w in workers: w.start()
os.write(go_write, b"x" * COUNT)  # let the waiting interpreters go at once
for w in workers: w.join()
os.close(out_write)
with os.fdopen(out_read) as results:
    titles = [eval(line) for line in results]
"""


@pytest.mark.parametrize("attempt", range(3))
def test_interpreters_making_the_first_call_together_share_one_setup(child_factory, attempt):
    interpreters = 8
    c, args = racing_child(child_factory, attempt)
    c.exec(INTERPRETERS_RACE.replace("COUNT", str(interpreters)))
    assert c.eval("titles") == [" ".join(args)[:255]] * interpreters
    trace = c.trace()
    assert trace.count("module init") == interpreters
    assert trace.count(MORE_THAN_ONCE) == interpreters - 1
    setup = [line for line in trace if line not in ("module init", MORE_THAN_ONCE)]
    check_interpreter_setup(setup, args, c.pid)


def test_pyfile_fromstring_opens_through_io(child, tmp_path):
    data = tmp_path / "data.bin"
    data.write_bytes(b"\x00\x01binary\xff")
    child.exec("""
import ctypes
library = ctypes.PyDLL(z.__file__)
PyFile_FromString = library.PyFile_FromString
PyFile_FromString.restype = ctypes.py_object
PyFile_FromString.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
""")
    child.exec(f"f = PyFile_FromString({str(data).encode()!r}, b'rb')")
    assert child.eval("[type(f).__name__, f.mode, f.read().hex(), f.closed]") == [
        "BufferedReader",
        "rb",
        b"\x00\x01binary\xff".hex(),
        False,
    ]
    child.exec("f.close()")
    missing = str(tmp_path / "missing")
    with pytest.raises(ChildError) as raised:
        child.exec(f"PyFile_FromString({missing.encode()!r}, b'rb')")
    assert raised.value.kind == "FileNotFoundError"
    assert missing in raised.value.message
    with pytest.raises(ChildError) as raised:  # a null name is refused, not followed
        child.exec("PyFile_FromString(None, b'rb')")
    assert raised.value.kind == "TypeError"
    assert child.trace() == ["module init"]  # opening a file runs no setup


# Arguments a terminal would act on, and how the trace shows each.
UNSAFE_ARGUMENTS = {
    "two\nlines": "two\\x0alines",
    "\x1b[2J": "\\x1b[2J",
    os.fsdecode(b"\x9b[2J"): "\\x9b[2J",  # an 8-bit control sequence introducer
    "next\u0085line": "next\\xc2\\x85line",  # a C1 control: next line
    "line\u2028para\u2029": "line\\xe2\\x80\\xa8para\\xe2\\x80\\xa9",
    os.fsdecode(b"bad\xff\xc3"): "bad\\xff\\xc3",  # not UTF-8
    "Zürich 東京": "Zürich 東京",
}


def test_arguments_reach_the_trace_as_printable_text_only(child_factory):
    c = child_factory(*UNSAFE_ARGUMENTS, debug="1")
    c.exec("import _setzentrave as z")
    listing = c.cmdline()
    with pytest.raises(ChildError) as raised:  # the command line is not UTF-8
        c.exec("z.getzentrave()")
    assert raised.value.kind == "UnicodeDecodeError"
    # The first title is the command line itself, byte for byte.
    assert c.cmdline() == listing.replace(b"\0", b" ")[:-1] + b"\0"
    text = c.stderr_bytes().decode("utf-8")  # strictly
    lines = text.split("\n")
    assert lines.pop() == ""
    for line in lines:  # nothing a terminal acts on, nor a line break of any kind
        assert not re.search("[\x00-\x1f\x7f-\x9f\u2028\u2029]", line), ascii(line)
    for shown in UNSAFE_ARGUMENTS.values():
        found = re.compile(r"\[ZNV\]: found argv\[\d+\] at 0x[0-9a-f]+: " + re.escape(shown))
        assert sum(bool(found.fullmatch(line)) for line in lines) == 1, shown


def test_a_command_line_over_half_a_mebibyte_gives_its_first_255_bytes(child_factory):
    # The walk is bounded by where the kernel put the arguments, not by a
    # fixed distance below the environment.
    long_args = [letter * 100_000 for letter in "abcdef"]
    c = child_factory(*long_args)
    c.exec("import _setzentrave as z")
    args = arguments(c.cmdline())
    assert args[2:] == long_args
    assert c.eval("z.getzentrave()") == " ".join(args)[:255]
