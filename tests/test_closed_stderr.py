"""The trace on, and standard error gone from under it: the title functions
work on, and nothing is written anywhere else."""

import pytest
from conftest import ChildError

WORK = """
import threading
for i in range(200):
    z.setzentrave("after stderr went %d" % i)
    z.getzentrave()
z.setthreadtitle("no-stderr")
try:
    z.setzentrave(42)  # traced: the parse failure
except TypeError:
    parse_failure_raised = True
def more():
    for i in range(100):
        z.setzentrave("from a thread")
        z.getzentrave()
threads = [threading.Thread(target=more) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
z.setzentrave("last title")
"""

# Ways for descriptor 2 to stop taking the trace, once it has begun.
GONE = {
    "closed": "os.close(2)",
    "a pipe no one reads": "r, w = os.pipe(); os.dup2(w, 2); os.close(r); os.close(w)",
    "a file opened read-only": (
        "fd = os.open('/dev/null', os.O_RDONLY); os.dup2(fd, 2); os.close(fd)"
    ),
}


@pytest.mark.parametrize("how", GONE.values(), ids=list(GONE))
def test_titles_work_on_when_standard_error_goes_after_the_first_trace(child, how):
    assert child.eval("z.getzentrave()") != ""  # setup traced its lines
    traced = child.stderr()
    child.exec(f"import os; {how}")
    child.exec(WORK)
    assert child.eval("parse_failure_raised") is True
    assert child.eval("z.getzentrave()") == "last title"
    assert child.eval("z.getthreadtitle()") == "no-stderr"
    assert child.cmdline() == b"last title\0"
    assert child.stderr() == traced  # the file that was stderr got nothing more
    child.exec("z.setzentrave('still answering')")
    assert child.cmdline() == b"still answering\0"


def test_titles_work_when_standard_error_is_closed_before_the_first_trace(child_factory):
    c = child_factory(debug="1")
    c.exec("import os; os.close(2)")
    c.exec("import _setzentrave as z")  # the trace is on: its first line goes nowhere
    c.exec(WORK)
    assert c.eval("z.getzentrave()") == "last title"
    assert c.cmdline() == b"last title\0"
    assert c.stderr() == ""
    with pytest.raises(ChildError) as raised:
        c.exec("z.setzentrave()")
    assert raised.value.kind == "TypeError"
