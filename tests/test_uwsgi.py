"""uWSGI embeds the interpreter and gives it no arguments, and has moved its
environment to the heap before any Python code runs: its master and its
workers still get their command line as the first title, and the titles
they set show in the listing."""

import os
import platform
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest
from conftest import child_env

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from znv.cache import CACHE, locked, mark_complete, marker, tool_venv

UWSGI = "uwsgi==2.0.31"  # built from source for this interpreter; no extras

APP = """
import os, _setzentrave as z
with open("/proc/self/cmdline", "rb") as f:
    command_line = f.read()
first = z.getzentrave()
z.setzentrave(f"znv-uwsgi {os.getpid()}")
with open(os.environ["ZNV_UWSGI_REPORT"], "a") as report:
    report.write(repr((os.getpid(), command_line, first)) + "\\n")

def application(environ, start_response):
    start_response("200 OK", [])
    return [b""]
"""


# Debian's uWSGI embeds Debian's own interpreter through a plugin.
DEBIAN_UWSGI = Path("/usr/bin/uwsgi-core")
PLUGIN = "python{}{}".format(*sys.version_info)
DEBIAN_PLUGIN = Path("/usr/lib/uwsgi/plugins") / f"{PLUGIN}_plugin.so"
DEBIAN_PLUGIN_SOURCE = Path("/usr/src/uwsgi/plugins/python")


def plugin_built_from_debian_source(python: Path) -> Path:
    """The plugin for PYTHON, which Debian builds none for, built once by
    Debian's uWSGI from Debian's plugin sources (uwsgi-dev)."""
    home = CACHE / "tools" / f"uwsgi-plugin-{PLUGIN}"
    plugin = home / f"{PLUGIN}_plugin.so"
    with locked(home.name):
        if marker(home).get("plugin") != PLUGIN:
            home.mkdir(parents=True, exist_ok=True)
            build = [str(DEBIAN_UWSGI), "--build-plugin", f"{DEBIAN_PLUGIN_SOURCE} {PLUGIN}"]
            # PYTHON: whose headers and library. Unoptimised: the plugin only
            # has to run the tests, and compiles several times faster so
            # where the compiler is emulated.
            env = dict(os.environ, PYTHON=str(python), CFLAGS="-O0")
            subprocess.run(build, cwd=home, env=env, check=True, capture_output=True)
            mark_complete(home, plugin=PLUGIN)
    return plugin


# uWSGI's build looks for optional libraries with the preprocessor in CPP (the
# host's cpp by default), which would find the host's glibc headers; musl has
# no ucontext for the green-thread plugins. The tests need only Python.
MUSL_BUILD = {
    "CPP": f"{sysconfig.get_config_var('CC')} -E -xc /dev/null",
    "UWSGI_PROFILE_OVERRIDE": "xml=false;ssl=false;pcre=false;json=false;embedded_plugins=python",
}


@pytest.fixture(scope="session")
def uwsgi() -> list[str]:
    """The command that starts a uWSGI built for this interpreter: Debian's,
    where this interpreter is Debian's own, with Debian's plugin for it or one
    built from Debian's plugin sources; else one built from source."""
    base = Path(sys._base_executable).resolve()  # type: ignore[attr-defined]
    if DEBIAN_UWSGI.exists() and base.parent == Path("/usr/bin") and not sys.abiflags:
        if DEBIAN_PLUGIN.exists():
            return [str(DEBIAN_UWSGI), "--plugin", str(DEBIAN_PLUGIN)]
        if DEBIAN_PLUGIN_SOURCE.is_dir():
            try:
                plugin = plugin_built_from_debian_source(base)
            except subprocess.CalledProcessError as error:
                pytest.skip(f"uWSGI's {PLUGIN} plugin could not be built: {error.stderr}")
            return [str(DEBIAN_UWSGI), "--plugin", str(plugin)]
    flavour = f"{sys.version_info.major}.{sys.version_info.minor}{sys.abiflags}"
    try:
        # No wheel from pip's cache: its tag, linux_x86_64, does not tell a
        # glibc build from a musl one.
        # Under the GIL even on a free-threaded interpreter: uWSGI's build
        # script compiles from several threads, and 3.13t once crashed in it
        # (a segfault in libpython3.13t's allocator).
        with pytest.MonkeyPatch.context() as patch:
            patch.setenv("PYTHON_GIL", "1")
            if platform.libc_ver()[0] != "glibc":
                flavour += "-musl"  # a uWSGI of its own, built against musl
                for name, value in MUSL_BUILD.items():
                    patch.setenv(name, value)
            python = tool_venv(f"uwsgi-{flavour}", [UWSGI, "--no-cache-dir"])
    except (subprocess.CalledProcessError, OSError) as error:
        pytest.skip(f"{UWSGI} could not be built for this interpreter: {error}")
    return [str(python.parent / "uwsgi")]


def reports(path: Path, count: int) -> list[tuple]:
    """The first `count` reports the app wrote, waiting up to 60 s for them."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        lines = path.read_text().splitlines() if path.exists() else []
        if len(lines) >= count:
            return [eval(line) for line in lines[:count]]
        time.sleep(0.1)
    raise AssertionError(f"{len(lines)} of {count} reports came")


# The app loaded once in the master before it forks the workers, or by
# every worker itself.
MODES = {"master": ([], 1), "workers": (["--lazy-apps"], 2)}


@pytest.mark.parametrize("options, count", MODES.values(), ids=list(MODES))
def test_uwsgi_processes_get_their_command_line_and_show_their_titles(
    uwsgi, tmp_path, options, count
):
    app = tmp_path / "app.py"
    app.write_text(APP)
    report = tmp_path / "report"
    command = [
        *uwsgi,
        "--master",
        "--workers",
        "2",
        *options,
        "--socket",
        "socket",
        "--home",
        sys.prefix,
        "--wsgi-file",
        "app.py",
    ]
    with open(tmp_path / "log", "w+b") as log:
        server = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
            cwd=tmp_path,
            env=child_env("1", ZNV_UWSGI_REPORT=str(report)),
            start_new_session=True,
        )
        try:
            found = reports(report, count)
            pids = {pid for pid, _, _ in found}
            if count == 1:
                assert pids == {server.pid}
            else:
                assert len(pids) == count and server.pid not in pids
            for pid, command_line, first in found:
                joined = b" ".join(command_line.split(b"\0")[:-1])
                assert first.encode() == joined[:255]
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    assert f.read() == f"znv-uwsgi {pid}\0".encode()
        finally:
            # Killed whole: a worker still starting when uWSGI asks it to stop
            # (SIGINT) takes that for Python's KeyboardInterrupt and stays, and
            # the master waits a minute for it.
            os.killpg(server.pid, signal.SIGKILL)
            server.wait()
        log.seek(0)
        trace = [
            line
            for line in log.read().decode(errors="replace").splitlines()
            if line.startswith("[ZNV]: ")
        ]
    # Every process that set a title found its arguments from the kernel's
    # record, environ[0] being on the heap.
    assert trace.count("[ZNV]: found argv[0]: " + uwsgi[0]) == count
    assert sum("is not where the kernel put the environment" in line for line in trace) == count
    assert (
        sum(
            line.startswith("[ZNV]: starting where the kernel put the environment, at ")
            for line in trace
        )
        == count
    )
