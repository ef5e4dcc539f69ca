"""The door into an aarch64 VM as tools/test and tools/release use it: one VM
kept for many commands, each of which must find the guest as a VM of its own
would. Run once from the host by tools/test, not in the flavours' suites."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from znv import vm
from znv.cache import REPO

FLAVOUR = os.environ.get("ZNV_DOOR_FLAVOUR", "3.13-aarch64")


@pytest.fixture(scope="module")
def door():
    def run(script: str, **options) -> subprocess.CompletedProcess[str]:
        argv = vm.command(FLAVOUR, ["sh", "-c", script])
        return subprocess.run(argv, capture_output=True, text=True, timeout=300, **options)

    with vm.kept(FLAVOUR):
        yield run


def test_output_status_directory_and_environment_come_back(door):
    done = door(
        'echo "$ZNV_PROBE $(pwd)"; echo oops >&2; exit 7',
        cwd=REPO / "tests",
        env=dict(os.environ, ZNV_PROBE="probe"),
    )
    assert (done.returncode, done.stdout, done.stderr) == (7, f"probe {REPO}/tests\n", "oops\n")


def test_each_command_sees_the_hosts_changes_and_not_the_last_commands_tmp(door):
    probe = REPO / "build" / f"door-probe-{os.getpid()}"
    probe.parent.mkdir(exist_ok=True)
    try:
        probe.write_text("first")
        assert door(f"cat {probe}; touch /tmp/left-behind").stdout == "first"
        probe.write_text("second, longer")
        # The fresh /tmp holds only the repository's mount point, if the
        # repository lies under /tmp.
        seen = door(f"cat {probe}; echo; ls /tmp")
        assert seen.stdout.split("\n")[0] == "second, longer"
        assert "left-behind" not in seen.stdout.split("\n")[1:]
    finally:
        probe.unlink(missing_ok=True)
