"""What the installed shared object offers the rest of the system."""

import subprocess
import sys
import sysconfig
from importlib import metadata

import _setzentrave
import pytest

EXPORTED = {"PyInit__setzentrave", "znv_strlcpy", "PyFile_FromString"}


def defined_dynamic_symbols(path: str) -> set[str]:
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    return {line.split()[-1] for line in listing.splitlines() if line.strip()}


def test_only_the_named_symbols_are_exported():
    assert defined_dynamic_symbols(_setzentrave.__file__) == EXPORTED


def test_the_shared_object_carries_the_interpreters_extension_suffix():
    assert _setzentrave.__file__.endswith("/_setzentrave" + sysconfig.get_config_var("EXT_SUFFIX"))


def test_the_installed_wheel_carries_the_interpreters_tag():
    try:
        wheel = metadata.distribution("setzentrave").read_text("WHEEL")
    except metadata.PackageNotFoundError:
        pytest.skip("the module is not installed from a wheel here")
    assert wheel is not None, "the installed distribution has no WHEEL file"
    abi = f"cp{sys.version_info.major}{sys.version_info.minor}"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        abi += "t"
    tags = [line.split(": ", 1)[1] for line in wheel.splitlines() if line.startswith("Tag: ")]
    assert tags and all(tag.split("-")[1] == abi for tag in tags), tags


def test_the_module_runs_without_the_gil():
    code = "import sys, _setzentrave; print(sys._is_gil_enabled())"
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("a GIL build always has the GIL")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip() == "False", done.stderr


def test_the_type_stub_ships_as_a_stub_only_package():
    try:
        dist = metadata.distribution("setzentrave")
    except metadata.PackageNotFoundError:
        pytest.skip("the module is not installed here, only built")
    installed = {str(path) for path in dist.files or []}
    assert "_setzentrave-stubs/__init__.pyi" in installed
    assert "_setzentrave.pyi" not in installed
    stub = dist.locate_file("_setzentrave-stubs/__init__.pyi")
    assert "def setzentrave(title: str) -> None" in stub.read_text()
