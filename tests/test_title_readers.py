"""Titles are read without the title lock, against a sequence count that
writers keep odd while they store: a child forked while another thread was
storing must still read titles."""

import sysconfig

import pytest
from conftest import run_python

FORKS = 200

FORK_WHILE_STORING = r"""
import ctypes, os, signal, sys, threading, time, _setzentrave as z
# fork() straight from the C library, as C code in the process may call it:
# os.fork() would first stop every other thread at a point outside the module.
c_fork = ctypes.CDLL(None, use_errno=True).fork
z.setzentrave("start")
stop = False

def store():
    i = 0
    while not stop:
        z.setzentrave("w" * (i % 200))
        i += 1

writers = [threading.Thread(target=store) for _ in range(2)]
for writer in writers:
    writer.start()
failed = 0
for _ in range(int(sys.argv[1])):
    pid = c_fork()
    if pid == 0:
        title = z.getzentrave()
        os._exit(0 if title == "start" or set(title) <= {"w"} else 1)
    for _ in range(500):  # a child stuck waiting for a writer it lacks ends after 5 s
        ended, status = os.waitpid(pid, os.WNOHANG)
        if ended:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        status = -1
    failed += status != 0
stop = True
for writer in writers:
    writer.join()
print(failed)
"""


def test_a_child_forked_while_a_title_was_stored_reads_titles():
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip(
            "with a GIL, a writer holds it while it stores, and a child of a plain "
            "fork() would wait for the GIL itself"
        )
    done = run_python(FORK_WHILE_STORING, str(FORKS), timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "0", f"children that failed: {done.stdout}"
