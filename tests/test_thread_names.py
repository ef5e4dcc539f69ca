"""Thread titles are the kernel's thread names: each thread's own, shown in
/proc/PID/task/TID/comm and ps -L; the main thread's is the process's short
name."""

import subprocess

NAMERS = """
import threading
names = {}
release = threading.Event()
start = threading.Barrier(%(count)d)
def namer(title):
    start.wait()  # all name themselves at the same moment
    z.setthreadtitle(title)
    names[threading.get_native_id()] = (title, z.getthreadtitle())
    release.wait()
threads = [threading.Thread(target=namer, args=("worker-%%d" %% i,)) for i in range(%(count)d)]
for t in threads: t.start()
while len(names) < %(count)d: pass
"""


def comm(pid: int, tid: int | None = None) -> str:
    path = f"/proc/{pid}/comm" if tid is None else f"/proc/{pid}/task/{tid}/comm"
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        return f.read().rstrip("\n")


def ps_threads(pid: int) -> dict[int, str]:
    out = subprocess.run(
        ["ps", "-L", "-o", "tid=,comm=", "-p", str(pid)], capture_output=True, text=True, check=True
    ).stdout
    return {int(tid): name for tid, name in (line.split(None, 1) for line in out.splitlines())}


def test_threads_named_at_once_each_show_their_own(child):
    count = 8
    child.exec(NAMERS % {"count": count})
    names = {int(tid): pair for tid, pair in child.eval("names").items()}
    assert len(names) == count
    listed = ps_threads(child.pid)
    for tid, (title, read_back) in names.items():
        assert read_back == title
        assert comm(child.pid, tid) == title
        assert listed[tid] == title
    main_name = comm(child.pid)
    assert main_name not in {title for title, _ in names.values()}
    child.exec("release.set()\nfor t in threads: t.join()")


def test_main_thread_title_is_the_short_name(child):
    cmdline = child.cmdline()
    child.exec("z.setthreadtitle('znv-main')")
    assert comm(child.pid) == "znv-main"
    assert child.ps("comm") == "znv-main"
    assert child.eval("z.getthreadtitle()") == "znv-main"
    found = subprocess.run(["pgrep", "-x", "znv-main"], capture_output=True, text=True)
    assert str(child.pid) in found.stdout.split()
    assert child.cmdline() == cmdline  # the process title is another thing


def test_long_titles_are_cut_before_a_character(child):
    cases = {
        "exactly15_bytes": "exactly15_bytes",
        "sixteen_bytes_16": "sixteen_bytes_1",
        "é" * 9: "é" * 7,  # 18 bytes: the cut at 15 falls inside the eighth
        "abcdefghijklmn€": "abcdefghijklmn",  # '€' would take bytes 15 to 17
        "a😀b": "a😀b",
    }
    for title, kept in cases.items():
        child.exec(f"z.setthreadtitle({title!r})")
        assert child.eval("z.getthreadtitle()") == kept
        assert comm(child.pid) == kept


def test_thread_title_from_another_thread_leaves_main_alone(child):
    before = comm(child.pid)
    child.exec(
        "import threading\n"
        "t = threading.Thread(target=z.setthreadtitle, args=('side',)); t.start(); t.join()"
    )
    assert comm(child.pid) == before


def test_a_name_that_is_not_utf8_reads_back_escaped(child):
    # Named by other code, or cut by the kernel inside a character: the
    # getter answers with the bytes escaped instead of failing.
    child.exec(
        "import ctypes\nctypes.CDLL(None).prctl(15, ctypes.c_char_p(b'pool-\\xc3-\\xff'), 0, 0, 0)"
    )
    assert child.eval("z.getthreadtitle()") == "pool-\udcc3-\udcff"
    assert child.eval("z.getthreadtitle().encode('utf-8', 'surrogateescape')") == repr(
        b"pool-\xc3-\xff"
    )
