"""The public package: the extension's functions under their public name, and
the blocks that title the process or a thread while they run."""

import os

import pytest
from conftest import ChildError
from test_thread_names import comm

FUNCTIONS = ["getthreadtitle", "getzentrave", "setthreadtitle", "setzentrave"]


def test_importing_the_package_does_what_importing_the_extension_does(child_factory):
    child = child_factory(debug="1")
    child.exec("import sys\nloaded = set(sys.modules)")
    started_as = child.cmdline()  # once the child runs: before, it may still be empty
    child.exec("import setzentrave")
    assert child.eval("sorted(set(sys.modules) - loaded)") == ["_setzentrave", "setzentrave"]
    assert child.trace() == ["module init"]
    assert child.cmdline() == started_as
    assert os.listdir(f"/proc/{child.pid}/task") == [str(child.pid)]

    child.exec("import _setzentrave, importlib.metadata")
    same = child.eval(f"[getattr(setzentrave, n) is getattr(_setzentrave, n) for n in {FUNCTIONS}]")
    assert same == [True] * len(FUNCTIONS)
    assert child.eval("sorted(setzentrave.__all__)") == [*FUNCTIONS, "thread_titled", "titled"]
    assert child.eval("setzentrave.__version__") == child.eval(
        "importlib.metadata.version('setzentrave')"
    )
    assert child.eval("setzentrave.__doc__").startswith("Set the title a process shows")


NESTED = """
seen = []
def look():
    with open("/proc/self/cmdline", "rb") as f:
        seen.append(f.read())
s.setzentrave("worker 3: idle")
busy = s.titled("worker 3: busy")
error = KeyError("job 17")
with busy:
    try:
        with s.titled("worker 3: job 17"):
            with busy:  # the same block again, inside itself
                look()
            look()
            raise error
    except KeyError as caught:
        unchanged = caught is error and caught.__context__ is None
    look()
look()
"""


def test_nested_blocks_restore_in_order_and_let_exceptions_through(child):
    child.exec("import setzentrave as s")
    child.exec(NESTED)
    assert child.eval("seen") == repr(
        [b"worker 3: busy\0", b"worker 3: job 17\0", b"worker 3: busy\0", b"worker 3: idle\0"]
    )
    assert child.eval("unchanged") is True
    assert child.ps() == "worker 3: idle"


WRONG_TITLE = """
try:
    s.{setter}({title!r})
except Exception as error:
    expected = (type(error).__name__, str(error))
ran, raised = [], []
@s.{block}({title!r})
def job():
    ran.append("decorated")
for enter in (job, s.{block}({title!r}).__enter__):
    try:
        enter()
    except Exception as error:
        raised.append((type(error).__name__, str(error)))
"""


@pytest.mark.parametrize(
    "block, setter", [("titled", "setzentrave"), ("thread_titled", "setthreadtitle")]
)
@pytest.mark.parametrize("title", [42, "nul\0inside"])
def test_a_title_the_setter_refuses_raises_its_exception_on_entering(child, block, setter, title):
    child.exec("import setzentrave as s\ns.setzentrave('kept')\ns.setthreadtitle('kept')")
    child.exec(WRONG_TITLE.format(block=block, setter=setter, title=title))
    expected = child.eval("expected")
    assert child.eval("raised") == [expected, expected]
    assert child.eval("ran") == []
    assert child.cmdline() == b"kept\0"
    assert comm(child.pid) == "kept"


THREADS = """
import threading
s.setzentrave("idle")
a_began, b_began, a_ended = threading.Event(), threading.Event(), threading.Event()
def a():
    with s.titled("A"):
        a_began.set()
        b_began.wait()
    a_ended.set()
def b():
    a_began.wait()
    with s.titled("B"):
        b_began.set()
        a_ended.wait()
        global while_b_runs
        while_b_runs = s.getzentrave()
threads = [threading.Thread(target=a), threading.Thread(target=b)]
for t in threads: t.start()
for t in threads: t.join()
"""


def test_blocks_on_two_threads_each_restore_what_was_current_when_they_began(child):
    child.exec("import setzentrave as s")
    child.exec(THREADS)
    assert child.eval("while_b_runs") == "idle"  # A's end, while B's block runs
    assert child.ps() == "A"  # B's end: what was current when B began


DECORATED_THREADS = """
import threading
names, done = {}, threading.Event()
@s.thread_titled("job")
def job(inside, leave):
    inside.set()
    leave.wait()
def worker(name, inside, leave):
    s.setthreadtitle(name)
    job(inside, leave)
    names[name] = threading.get_native_id()
    done.wait()
inside = {i: threading.Event() for i in (1, 2)}
leave = {i: threading.Event() for i in (1, 2)}
threads = {}
for i in (1, 2):  # worker 1 enters first
    threads[i] = threading.Thread(
        target=worker, args=(f"worker-{i}", inside[i], leave[i]), daemon=True
    )
    threads[i].start()
    inside[i].wait()
"""


def test_a_decorated_function_on_two_threads_gives_each_thread_its_own_name_back(child):
    child.exec("import setzentrave as s")
    child.exec(DECORATED_THREADS)
    tids = [int(tid) for tid in os.listdir(f"/proc/{child.pid}/task") if int(tid) != child.pid]
    assert sorted(comm(child.pid, tid) for tid in tids) == ["job", "job"]
    for i in (1, 2):  # and leaves first
        child.exec(f"leave[{i}].set()\nwhile len(names) < {i}: pass")
    for name, tid in child.eval("names").items():
        assert comm(child.pid, tid) == name
    child.exec("done.set()\nfor t in threads.values(): t.join()")


def test_a_thread_name_that_could_not_be_set_back_is_refused_on_entering(child):
    child.exec("import setzentrave as s")
    child.exec("""
with open("/proc/thread-self/comm", "wb") as f:
    f.write(b"caf\\xc3")  # a name cut inside a character
""")
    with pytest.raises(ChildError) as raised:
        child.exec("with s.thread_titled('job'): pass")
    assert raised.value.kind == "UnicodeEncodeError"
    with open(f"/proc/{child.pid}/comm", "rb") as f:
        assert f.read() == b"caf\xc3\n"
