"""Nothing the process keeps in its strings is lost to the title: the
environment as C, Python and child processes see it, and the C library's
record of the program's name."""

import os
from pathlib import Path

import pytest
from conftest import child_env

C_LIBRARY_VIEW = (Path(__file__).parent / "c_library_view.py").read_text()

# Variables of all kinds, added to the child's environment at exec, so that
# they lie right after the arguments, where long titles are written.
EXTRA = {
    "ZNV_A_EMPTY": "",
    "ZNV_B_BLANKS": "  spaced  out  ",
    "ZNV_C_EQUALS": "a=b=c",
    "ZNV_D_UNICODE": "Zürich 東京 ☃",
    "ZNV_E_PERCENT": "%s%d%n",
    "ZNV_F_LONG": "L" * 300,
}

SNAPSHOT = (
    C_LIBRARY_VIEW
    + """

def sh_env(path):
    assert os.system(f"/bin/sh -c 'env > {path}'") == 0  # system() passes C's environ
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        return sorted(f.read().splitlines())

def snapshot(path):
    return {"environ": c_environ(), "getenv": c_getenv_all(), "os.environ": dict(os.environ),
            "sh": sh_env(path), "names": program_names()}
"""
)

CHANGE_TITLES = """
for i in range(1000):
    z.setzentrave(("t%d " % i) * (i % 64))  # lengths 0 to 255 and back
"""


@pytest.fixture
def rich_child(child_factory):
    c = child_factory(env={**EXTRA, **child_env("1")})  # EXTRA first: in the title's reach
    c.exec("import _setzentrave as z")
    c.exec(SNAPSHOT)
    return c


def test_environment_and_program_name_survive_1000_titles(rich_child, tmp_path):
    c = rich_child
    before = c.eval(f"snapshot({str(tmp_path / 'before')!r})")
    assert before["getenv"]["ZNV_D_UNICODE"] == EXTRA["ZNV_D_UNICODE"]
    assert before["names"][1] == os.path.basename(before["names"][0])
    c.exec(CHANGE_TITLES)
    c.exec("z.setzentrave('x' * 255)")  # end with one that covers the most
    assert c.cmdline() == b"x" * 255 + b"\0"  # the area was written
    after = c.eval(f"snapshot({str(tmp_path / 'after')!r})")
    for view in before:
        assert after[view] == before[view], view


def test_environment_changed_before_the_first_title_survives(rich_child, tmp_path):
    c = rich_child
    # setenv and unsetenv before the first title: some strings now live in
    # the C library's memory, one of the area's strings is gone.
    c.exec(
        "os.environ['ZNV_A_EMPTY'] = 'now set'; os.environ['ZNV_G_NEW'] = 'new'; "
        "del os.environ['ZNV_B_BLANKS']"
    )
    before = c.eval(f"snapshot({str(tmp_path / 'before')!r})")
    c.exec(CHANGE_TITLES)
    after = c.eval(f"snapshot({str(tmp_path / 'after')!r})")
    for view in before:
        assert after[view] == before[view], view
    assert after["getenv"]["ZNV_A_EMPTY"] == "now set"
    assert "ZNV_B_BLANKS" not in after["os.environ"]


def test_environment_changed_after_titles_behaves(rich_child, tmp_path):
    c = rich_child
    c.exec(CHANGE_TITLES)
    c.exec(
        "os.environ['ZNV_C_EQUALS'] = 'changed'; os.environ['ZNV_H_LATER'] = 'later'; "
        "del os.environ['ZNV_F_LONG']"
    )
    c.exec("z.setzentrave('y' * 255)")
    state = c.eval(f"snapshot({str(tmp_path / 'state')!r})")
    assert state["getenv"]["ZNV_C_EQUALS"] == "changed"
    assert state["getenv"]["ZNV_H_LATER"] == "later"
    assert "ZNV_F_LONG=" + "L" * 300 not in state["sh"]
    assert "ZNV_D_UNICODE=Zürich 東京 ☃" in state["sh"]


# Sets the first title and measures what it moved out of the area: the size of
# the copies that environ and the program name now point at.
MOVED_BYTES = """
import ctypes, os
libc = ctypes.CDLL(None)
vector = ctypes.POINTER(ctypes.c_void_p).in_dll(libc, "environ")
def entries():
    found, i = [], 0
    while vector[i]:
        found.append(vector[i]); i += 1
    return found
def names():
    return [ctypes.c_void_p.in_dll(libc, s).value
            for s in ("program_invocation_name", "program_invocation_short_name")]
environ_before, names_before = entries(), names()
z.setzentrave("measure")
environ_after, names_after = entries(), names()
moved = sum(len(ctypes.string_at(b)) + 1 for a, b in zip(environ_before, environ_after) if a != b)
name, short = names_after
if name != names_before[0]:
    moved += len(ctypes.string_at(name)) + 1
if short != names_before[1] and not name <= short <= name + len(ctypes.string_at(name)):
    moved += len(ctypes.string_at(short)) + 1
"""


def test_no_memory_to_move_the_environment_leaves_everything_as_it_was(
    child_factory, alloc_failure_shim, tmp_path
):
    def start(fail: int):
        # The same strings, of the same lengths, in both children.
        return child_factory(
            env=child_env(
                "1", LD_PRELOAD=str(alloc_failure_shim), ZNV_TEST_FAIL_ALLOC=f"malloc:{fail:06d}"
            )
        )

    measuring = start(0)  # 0: no allocation fails
    measuring.exec("import _setzentrave as z")
    measuring.exec(MOVED_BYTES)
    moved = measuring.eval("moved")
    assert moved > 0

    c = start(moved)
    c.exec("import _setzentrave as z")
    c.exec(SNAPSHOT)
    listing = c.cmdline()
    before = c.eval(f"snapshot({str(tmp_path / 'before')!r})")
    c.exec("z.setzentrave('never shown')")
    assert (
        f"can't malloc {moved} bytes to move the environment: "
        "the process listing stays as it is" in c.trace()
    )
    c.exec("z.setzentrave('nor this one')")
    assert c.cmdline() == listing
    assert c.eval("z.getzentrave()") == "nor this one"
    after = c.eval(f"snapshot({str(tmp_path / 'after')!r})")
    for view in before:
        assert after[view] == before[view], view


# A thread changes the environment while the main thread sets the first title,
# which moves the strings in the title's reach: values replaced in place and,
# from the moment the title call begins, two names unset (the entries after
# them shift down). No name is added: that makes the C library move its vector
# and free the old one, which no reader outside its lock can be safe against,
# getenv included. How far the two threads overlap is up to the scheduler.
CHANGING_THREAD = """
import threading
names = sorted(name for name in os.environ if name.startswith("ZNV_") and name[4] in "ABCDEF")
gone = ["ZNV_B_BLANKS", "ZNV_E_PERCENT"]
running, titling, done = threading.Event(), threading.Event(), threading.Event()
def change():
    for i in range(100_000):
        if done.is_set() and not gone:
            break
        if titling.is_set() and gone and i % 2:
            del os.environ[gone.pop()]
        name = names[i % len(names)]
        if name in os.environ:
            os.environ[name] = "changed %d" % i
        if i == 20:
            running.set()
changer = threading.Thread(target=change)
changer.start()
running.wait()
titling.set()
z.setzentrave("x" * 255)
done.set()
changer.join()
"""


@pytest.mark.parametrize("run", range(6))
def test_the_first_title_while_another_thread_changes_the_environment(child_factory, run):
    c = child_factory(env={**EXTRA, **child_env("1")})
    c.exec("import _setzentrave as z")
    c.exec(C_LIBRARY_VIEW)
    c.exec(CHANGING_THREAD)
    assert c.cmdline() == b"x" * 255 + b"\0"
    assert c.eval("c_getenv_all() == dict(os.environ)")
    assert c.eval("sorted(c_environ()) == sorted(f'{k}={v}' for k, v in os.environ.items())")
    assert c.eval("'ZNV_B_BLANKS' not in os.environ and 'ZNV_E_PERCENT' not in os.environ")
