"""What process listings show of the process title on Linux, read from outside
the process: /proc/PID/cmdline, ps and pgrep."""

import os
import subprocess
import sys

import pytest

TITLES = {
    "short": "worker",
    "255 bytes": "".join(chr(ord("a") + i % 26) for i in range(255)),
    "empty": "",
    "blanks": "  two  blanks   and three at the end   ",
    "percent": "%s %d %n %% %x%p",
    "non-ASCII": "Zürich – 東京 – ☃ émoji 😀",  # noqa: RUF001 (the dashes are data)
}


def kernel_bounds(pid: int) -> tuple[int, int, int, int]:
    """arg_start, arg_end, env_start and env_end of the process."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        stat = f.read()
    fields = stat[stat.rindex(b")") + 2 :].split()
    arg_start, arg_end, env_start, env_end = (int(fields[i - 3]) for i in range(48, 52))
    return arg_start, arg_end, env_start, env_end


def assert_listing_shows(c, title: str) -> None:
    encoded = title.encode()
    assert c.cmdline() == encoded + b"\0"
    assert c.cmdline().split(b"\0") == [encoded, b""]  # a single argument
    # For an empty command line older procps print '?', newer ones '-'.
    assert c.ps("args") in ((title,) if title else ("?", "-"))


@pytest.mark.parametrize("title", TITLES.values(), ids=TITLES.keys())
def test_title_shows_exactly(child, title):
    child.exec(f"z.setzentrave({title!r})")
    assert_listing_shows(child, title)
    assert child.eval("z.getzentrave()") == title


def test_shorter_title_after_longer_leaves_no_remains(child):
    for title in [TITLES["255 bytes"], "short", "x" * 200, "", "a" * 254, "b"]:
        child.exec(f"z.setzentrave({title!r})")
        assert_listing_shows(child, title)


def test_every_length_in_turn(child):
    # Up and down again, across the end of the arguments and into the
    # environment strings after them.
    lengths = [*range(0, 256, 7), 255, *range(254, -1, -11)]
    for length in lengths:
        title = "".join("0123456789"[i % 10] for i in range(length))
        child.exec(f"z.setzentrave({title!r})")
        assert child.cmdline() == title.encode() + b"\0", length


def test_pgrep_matches_the_title(child):
    child.exec("z.setzentrave('znv-pgrep-probe --serving 8080')")
    found = subprocess.run(
        ["pgrep", "-f", "-x", "znv-pgrep-probe --serving 8080"], capture_output=True, text=True
    )
    assert str(child.pid) in found.stdout.split()


def test_title_leaves_the_short_name_alone(child):
    comm = child.eval("open('/proc/self/comm').read()")
    short_name = child.ps("comm")
    child.exec("z.setzentrave('a title quite unlike the program name')")
    child.exec("z.setzentrave('x' * 255)")
    with open(f"/proc/{child.pid}/comm") as f:
        assert f.read() == comm
    assert child.ps("comm") == short_name


def test_title_longer_than_the_space_is_cut_before_a_character(child_factory):
    # Arguments and a minimal environment leave less room than the title.
    # (tools/check-memory needs its sanitizer runtime preloaded everywhere.)
    env = {
        k: os.environ[k] for k in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC") if k in os.environ
    }
    c = child_factory(env=env)
    c.exec("import _setzentrave as z")  # a round trip: exec has finished
    arg_start, arg_end, env_start, env_end = kernel_bounds(c.pid)
    assert env_start == arg_end
    room = env_end - arg_start - 1  # the title's zero byte takes the last byte
    if room >= 254:
        pytest.skip(f"arguments and environment too long for this test ({room} bytes)")
    title = "é" * 127  # 254 bytes of two-byte characters
    if room % 2 == 0:
        title = "a" + title[:-1]  # make the cut fall inside a character
    expected = title.encode()[:room]
    while True:
        try:
            expected.decode()
            break
        except UnicodeDecodeError:
            expected = expected[:-1]
    assert len(expected) == room - 1  # the cut moved back before the character
    c.exec(f"z.setzentrave({title!r})")
    assert c.cmdline() == expected + b"\0"
    assert c.ps("args") == expected.decode()
    assert c.eval("z.getzentrave()") == title  # the store still holds all of it


def test_title_shows_after_the_first_environment_string_was_replaced(child):
    # The strings a search from environ[0] would start at are no longer
    # there; the kernel's bounds still are.
    child.exec(
        "import ctypes, os\n"
        "libc = ctypes.CDLL(None)\n"
        "environ = ctypes.POINTER(ctypes.c_char_p).in_dll(libc, 'environ')\n"
        "first = environ[0]\n"
        "name = first.split(b'=')[0]\n"
        "replacement = ctypes.create_string_buffer(name + b'=replaced')\n"
        "assert libc.putenv(replacement) == 0\n"
        "assert environ[0] == name + b'=replaced'"
    )
    child.exec("z.setzentrave('after the environment changed')")
    assert_listing_shows(child, "after the environment changed")
    child.exec("libc.getenv.restype = ctypes.c_char_p")
    assert child.eval("libc.getenv(name) == b'replaced'")


# Longer than the arguments (the interpreter and a script in a temporary
# directory), so it shows only if the area goes on over the environment.
TITLE_WITHOUT_PROC = ("title without /proc, " * 13)[:255]

PROC_HIDDEN = f"""
import ctypes, sys, _setzentrave as z
getenv = ctypes.CDLL(None).getenv
getenv.restype = ctypes.c_char_p
print(repr(z.getzentrave()), flush=True)
z.setzentrave({TITLE_WITHOUT_PROC!r})
print(getenv(b"ZNV_PROBE_VARIABLE").decode(), flush=True)
sys.stdin.read()  # stay alive until the test has looked
"""


def test_without_proc_a_title_longer_than_the_arguments_shows_whole(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("hiding /proc needs a mount namespace")
    script = tmp_path / "hidden.py"
    script.write_text(PROC_HIDDEN)
    arguments = len(sys.executable) + 1 + len(str(script)) + 1
    assert len(TITLE_WITHOUT_PROC) > arguments
    env = dict(os.environ, ZNV_DEBUG="1", ZNV_PROBE_VARIABLE="kept")
    hide = f"mount -t tmpfs none /proc && exec {sys.executable} {script}"
    proc = subprocess.Popen(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", hide],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        text=True,
    )
    assert proc.stdin is not None and proc.stdout is not None and proc.stderr is not None
    try:
        first = proc.stdout.readline()
        if not first:
            pytest.skip(f"no mount namespace here: {proc.stderr.read()}")
        line = proc.stdout.readline()
        with open(f"/proc/{proc.pid}/cmdline", "rb") as f:  # ours: the process is the same
            shown = f.read()
        listed = subprocess.run(
            ["ps", "-ww", "-o", "args=", "-p", str(proc.pid)], capture_output=True, text=True
        ).stdout.rstrip("\n")
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
    trace = proc.stderr.read()
    assert "no /proc/self/stat: taking the argument area from the argument vector" in trace
    # Without the kernel's record, environ[0] inside the initial stack starts the walk.
    assert first == repr(f"{sys.executable} {script}") + "\n"
    assert shown == TITLE_WITHOUT_PROC.encode() + b"\0"
    assert listed == TITLE_WITHOUT_PROC
    assert line == "kept\n"  # the environment strings the title covers were moved first


RACERS = """
import threading
start = threading.Barrier(8)
def racer(n):
    start.wait()  # the first title, too, is set by all at once
    for i in range(400):
        z.setzentrave(("racer %d call %d " % (n, i)) * (i % 15))
threads = [threading.Thread(target=racer, args=(n,)) for n in range(8)]
for t in threads: t.start()
for t in threads: t.join()
"""


def test_titles_set_from_many_threads_at_once(child):
    child.exec("import ctypes\nlibc = ctypes.CDLL(None)\nlibc.getenv.restype = ctypes.c_char_p")
    getenv_all = "{name: libc.getenv(name.encode()) for name in __import__('os').environ}"
    environment = child.eval(f"repr({getenv_all})")
    child.exec(RACERS)
    title = child.eval("z.getzentrave()")
    assert title.startswith("racer ") or title == ""
    assert child.cmdline() == title.encode() + b"\0"
    assert child.eval(f"repr({getenv_all})") == environment
    assert not any("listing stays" in line for line in child.trace())
