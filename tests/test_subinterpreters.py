"""Interpreters with a GIL of their own each load the module and set titles from
their own threads at once; the title they set is the process's, one for all."""

import pytest
from conftest import ChildError

# Runs in the child: `new()` makes an interpreter with its own GIL that refuses
# modules not declaring support for that, `run(interp, code)` runs code in it
# and raises when the code raised. 3.14 made the module public.
INTERPRETERS = r"""
import os, threading
import _interpreters
try:
    from concurrent import interpreters
except ImportError:
    interpreters = None

def new():
    if interpreters is not None:
        interp = interpreters.create()
        return interp, interp.id
    iid = _interpreters.create("isolated")
    return iid, iid

def run(interp, code):
    if interpreters is not None:
        interp.exec(code)
        return
    failure = _interpreters.run_string(interp, code)
    if failure is not None:
        raise RuntimeError(failure.formatted)

def isolated(iid):
    config = _interpreters.get_config(iid)
    return config.gil == "own" and config.check_multi_interp_extensions
"""

COUNT = 4
CALLS = 20_000

# Each interpreter sets its own framed titles and reads back whatever any of
# them set last; who it is and what it saw go back through a pipe, one repr a
# line, in the order they finish. The first to read another's title says so
# on a second pipe; until one has, they go on past CALLS (for 10 s at most):
# a loaded machine may run the threads one after another at first.
WORKER = r"""
import os, select, time, _setzentrave as z
os.read(GO, 1)
mine = [f"<{WHO}:" + "é東🐍"[i % 3] * (i * 20) + f":{WHO}>" for i in range(4)]
seen = set()
until = time.monotonic() + 10
i = 0
while i < CALLS or (not select.select([SAW_READ], [], [], 0)[0] and time.monotonic() < until):
    z.setzentrave(mine[i % 4])
    seen.add(z.getzentrave())
    if i % 1000 == 0 and not seen <= set(mine):
        os.write(SAW_WRITE, b"x")
    i += 1
os.write(OUT, (repr((WHO, sorted(seen))) + "\n").encode())
"""


def test_the_module_loads_in_each_interpreter_with_its_own_gil(child_factory):
    c = child_factory(debug="1")
    c.exec(INTERPRETERS)
    c.exec(f"made = [new() for _ in range({COUNT})]")
    assert c.eval("[isolated(iid) for _, iid in made]") == [True] * COUNT
    c.exec("out_read, out_write = os.pipe()")
    code = (
        "import os, _setzentrave as z\n"
        "names = sorted(n for n in dir(z) if not n.startswith('_'))\n"
        "os.write(OUT, repr(names).encode() + b'\\n')\n"
    )
    c.exec(f"code = {code!r}.replace('OUT', str(out_write))")
    c.exec("for interp, _ in made: run(interp, code)")
    c.exec("os.close(out_write)")
    listed = c.eval("[eval(line) for line in os.fdopen(out_read)]")
    assert listed == [["getthreadtitle", "getzentrave", "setthreadtitle", "setzentrave"]] * COUNT
    assert c.trace() == ["module init"] * COUNT  # one module object per interpreter


def test_interpreters_setting_titles_at_once_from_threads_read_only_whole_titles(child_factory):
    c = child_factory()
    c.exec(INTERPRETERS)
    c.exec(f"made = [new() for _ in range({COUNT})]")
    c.exec("out_read, out_write = os.pipe(); go_read, go_write = os.pipe()")
    c.exec("saw_read, saw_write = os.pipe(); os.set_blocking(saw_write, False)")
    c.exec(f"""
failures = []
def work(who, interp):
    code = {WORKER!r}.replace("WHO", str(who)).replace("CALLS", "{CALLS}")
    code = code.replace("OUT", str(out_write)).replace("GO", str(go_read))
    code = code.replace("SAW_READ", str(saw_read)).replace("SAW_WRITE", str(saw_write))
    try:
        run(interp, code)
    except Exception as error:
        failures.append(repr(error))
threads = [threading.Thread(target=work, args=(who, interp))
           for who, (interp, _) in enumerate(made)]
for t in threads: t.start()
os.write(go_write, b"x" * len(threads))  # let them all go at once
for t in threads: t.join()
os.close(out_write)
reports = [eval(line) for line in os.fdopen(out_read)]
""")
    assert c.eval("failures") == []
    reports = c.eval("reports")
    assert len(reports) == COUNT
    every = {
        f"<{who}:" + "é東🐍"[i % 3] * (i * 20) + f":{who}>"
        for who in range(COUNT)
        for i in range(4)
    }
    assert all(len(t.encode()) <= 255 for t in every)
    assert sorted(who for who, _ in reports) == list(range(COUNT))
    assert set().union(*(titles for _, titles in reports)) <= every
    # Titles set in one interpreter were read in another: one title for all.
    assert any(not t.startswith(f"<{who}:") for who, titles in reports for t in titles)
    last = c.eval("__import__('_setzentrave').getzentrave()")
    assert last in every
    assert c.cmdline() == last.encode() + b"\0"


def test_a_title_set_in_one_interpreter_is_read_in_another_and_shown(child_factory):
    c = child_factory()
    c.exec(INTERPRETERS)
    c.exec("(first, _), (second, _) = new(), new()")
    c.exec("out_read, out_write = os.pipe()")
    c.exec("run(first, 'import _setzentrave as z; z.setzentrave(\"set in the first: été\")')")
    assert c.cmdline() == "set in the first: été\0".encode()
    code = (
        "import os, _setzentrave as z\n"
        "os.write(OUT, z.getzentrave().encode() + b'\\n')\n"
        "z.setzentrave('set in the second')\n"
    )
    c.exec(f"run(second, {code!r}.replace('OUT', str(out_write)))")
    c.exec("os.close(out_write)")
    assert c.eval("os.fdopen(out_read).read()") == "set in the first: été\n"
    assert c.eval("__import__('_setzentrave').getzentrave()") == "set in the second"
    assert c.cmdline() == b"set in the second\0"
    with pytest.raises(ChildError):  # the runner does report a failure
        c.exec("run(first, 'raise ValueError')")
