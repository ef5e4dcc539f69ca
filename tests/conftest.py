import json
import os
import platform
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import pytest

DRIVER = Path(__file__).with_name("child_driver.py")
# The tools' own tests run once, from the host (tools/test), not in every flavour.
collect_ignore = [] if os.environ.get("ZNV_TOOL_TESTS") else ["tools"]


class ChildError(Exception):
    """An exception raised inside the child: `kind` is its type's name."""

    def __init__(self, kind: str, message: str):
        super().__init__(f"{kind}: {message}")
        self.kind = kind
        self.message = message


def child_env(debug: str | None = None, **extra: str) -> dict:
    """The tests' environment, with ZNV_DEBUG set to `debug` or removed."""
    env = {k: v for k, v in os.environ.items() if k != "ZNV_DEBUG"}
    if debug is not None:
        env["ZNV_DEBUG"] = debug
    env.update(extra)
    return env


class Child:
    """A fresh interpreter that runs the statements it is sent, one at a time,
    so that a test can look at it from outside (ps, /proc) between steps.
    Its standard error, where the trace goes, is kept in a file."""

    def __init__(
        self,
        *args: str,
        debug: str | None = None,
        env: dict | None = None,
        executable: str = sys.executable,
        argv0: str | None = None,
    ):
        self._stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [argv0 or executable, str(DRIVER), *args],
            executable=executable,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
            env=env if env is not None else child_env(debug),
            text=True,
        )

    @property
    def pid(self) -> int:
        return self.proc.pid

    def _ask(self, request: dict):
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"child died; its standard error:\n{self.stderr()}")
        answer = json.loads(line)
        if "error" in answer:
            raise ChildError(*answer["error"])
        return answer["value"]

    def exec(self, code: str) -> None:
        self._ask({"exec": code})

    def eval(self, expression: str):
        return self._ask({"eval": expression})

    def stderr_bytes(self) -> bytes:
        self._stderr.seek(0)
        return self._stderr.read()

    def stderr(self) -> str:
        return self.stderr_bytes().decode("utf-8", "backslashreplace")

    def trace(self) -> list[str]:
        """The trace lines written so far, without their prefix."""
        lines = self.stderr().splitlines()
        assert all(line.startswith("[ZNV]: ") for line in lines), lines
        return [line[len("[ZNV]: ") :] for line in lines]

    def cmdline(self) -> bytes:
        with open(f"/proc/{self.pid}/cmdline", "rb") as f:
            return f.read()

    def ps(self, field: str = "args") -> str:
        # -ww: ps otherwise cuts its lines to the terminal's width (80 columns
        # when there is none).
        return subprocess.run(
            ["ps", "-ww", "-o", f"{field}=", "-p", str(self.pid)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.rstrip("\n")

    def close(self) -> None:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        self.proc.stdout.close()
        self._stderr.close()


@pytest.fixture
def child_factory():
    """Starts children with Child(...) arguments and ends them after the test."""
    children: list[Child] = []

    def start(*args, **kwargs) -> Child:
        children.append(Child(*args, **kwargs))
        return children[-1]

    yield start
    for child in children:
        child.close()


@pytest.fixture
def child(child_factory) -> Child:
    """A fresh interpreter with the trace on and the module imported."""
    c = child_factory(debug="1")
    c.exec("import _setzentrave as z")
    return c


def run_python(
    code: str, *args: str, debug: str | None = None, timeout: float = 60, **env: str
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, with `env` added to the tests'
    environment, and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True,
        text=True,
        env=child_env(debug, **env),
        timeout=timeout,
    )


NATIVE = Path(__file__).with_name("native")


def _compile(command: list[str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        pytest.fail(f"building a test program failed:\n{' '.join(command)}\n{result.stderr}")


@pytest.fixture(scope="session")
def embedded_host(tmp_path_factory) -> Path:
    """A C++ program that embeds this interpreter, gives it no arguments and runs
    the Python code on its standard input."""
    base = Path(sys._base_executable).resolve().parent  # type: ignore[attr-defined]
    config = base / f"python{sys.version_info.major}.{sys.version_info.minor}{sys.abiflags}-config"
    if not config.exists():
        pytest.skip(f"no {config.name} next to the base interpreter to build an embedding host")
    flags = subprocess.run(
        [str(config), "--cflags", "--ldflags", "--embed"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    flags.append(f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}")  # not every config adds it
    # Unoptimised, whatever the config says: the host only has to run, and
    # builds 1.7 times as fast where the compiler is emulated.
    flags += ["-O0", "-g0"]
    host = tmp_path_factory.mktemp("embedded") / "embedded_host"
    _compile(["g++", "-std=c++20", "-o", str(host), str(NATIVE / "embedded_host.cpp"), *flags])
    return host


def _build_shim(tmp_path_factory, name: str) -> Path:
    """tests/native/NAME.c built as a library to preload."""
    shim = tmp_path_factory.mktemp("shim") / f"{name}.so"
    # gcc for aarch64 calls libgcc's helpers for atomic operations, which a
    # library linked against nothing lacks.
    inline = ["-mno-outline-atomics"] if platform.machine() == "aarch64" else []
    _compile(["gcc", "-c", "-fPIC", "-O2", *inline, "-o", f"{shim}.o", str(NATIVE / f"{name}.c")])
    # Linked against no C library: its calls bind to the one the process has,
    # so the programs a test process starts still run with it preloaded when
    # their C library is another (the musl flavour's /bin/sh is glibc's).
    _compile(["gcc", "-shared", "-nostdlib", "-o", str(shim), f"{shim}.o"])
    return shim


@pytest.fixture(scope="session")
def alloc_failure_shim(tmp_path_factory) -> Path:
    """A library to preload that fails the module's own strdup or malloc calls
    chosen by ZNV_TEST_FAIL_ALLOC, or its first fork handler registration."""
    if os.environ.get("ZNV_SANITIZED"):
        pytest.skip(
            "under AddressSanitizer its allocator must come first in the preload list, "
            "where the shim's malloc would never be called"
        )
    return _build_shim(tmp_path_factory, "alloc_failure_shim")


@pytest.fixture(scope="session")
def hold_shim(tmp_path_factory) -> Path:
    """A library to preload that stops the module's first uname() call, made
    under the title lock, as ZNV_TEST_HOLD_UNAME says."""
    if os.environ.get("ZNV_SANITIZED"):
        pytest.skip(
            "under AddressSanitizer its runtime must come first in the preload list, "
            "which the shim's would replace"
        )
    return _build_shim(tmp_path_factory, "hold_shim")


# tools/test names a file in ZNV_SKIP_LOG and fails the run on any test there
# that is not on its short list of allowed skips: every test that did not run
# (skipped, a whole file skipped, or expected to fail) is written to it. The
# file is made at the start, so that a run that wrote none is seen as such.
# Under pytest-xdist the workers write to it too (a skip may then be written
# twice), and only the controller makes it.
def pytest_sessionstart(session: pytest.Session) -> None:
    log = os.environ.get("ZNV_SKIP_LOG")
    if log and not hasattr(session.config, "workerinput"):
        open(log, "w").close()


def _log_skip(report: pytest.TestReport | pytest.CollectReport) -> None:
    log = os.environ.get("ZNV_SKIP_LOG")
    if not log or not report.skipped:
        return
    why = getattr(report, "wasxfail", None) or report.longrepr
    if isinstance(why, tuple):  # (file, line, "Skipped: why")
        why = why[2]
    with open(log, "a") as f:
        f.write(json.dumps({"test": report.nodeid, "why": str(why)}) + "\n")


pytest_runtest_logreport = _log_skip
pytest_collectreport = _log_skip
