"""A million title operations leave the process's resident memory as it was."""

import json
import os

from conftest import run_python

OPERATIONS = 1_000_000
LIMIT = 1024 * 1024

# Four operations a round, on titles made beforehand (short, long, cut, non-ASCII),
# so that the measured loop itself allocates nothing that stays.
WORKLOAD = """
import json, sys, _setzentrave as z

def resident():
    with open("/proc/self/status") as f:
        line = next(line for line in f if line.startswith("VmRSS:"))
    return int(line.split()[1]) * 1024

titles = [f"worker {i}: " + "é" * (i % 150) + "x" * (i % 97) for i in range(64)]

def rounds(count):
    for i in range(count):
        title = titles[i % 64]
        z.setzentrave(title)
        z.getzentrave()
        z.setthreadtitle(title)
        z.getthreadtitle()

rounds(50_000)  # warm up: setup, the interpreter's free lists and caches
before = resident()
rounds(int(sys.argv[1]) // 4)
after = resident()
print(json.dumps([before, after]))
"""


def test_a_million_title_operations_keep_resident_memory_flat():
    env = {}
    if os.environ.get("ZNV_SANITIZED"):
        # AddressSanitizer holds freed memory back for a while: that is not ours.
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    done = run_python(WORKLOAD, str(OPERATIONS), timeout=600, **env)
    assert done.returncode == 0, done.stderr
    before, after = json.loads(done.stdout)
    assert after - before < LIMIT, f"resident memory grew by {after - before} bytes"
