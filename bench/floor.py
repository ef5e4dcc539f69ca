"""Builds and imports the floor module (floor.cpp) for the interpreter running
this: compiled with the flags the module's optimised build uses, kept under
build/bench-floor/ in the repository and rebuilt when its source is newer.
Never installed anywhere."""

import importlib.util
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType

NAME = "_znv_floor"
SOURCE = Path(__file__).with_name("floor.cpp")
# The module's Release build, its language and what it leaves out.
FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden"]
FLAGS += ["-fno-exceptions", "-fno-rtti"]


def built() -> Path:
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = SOURCE.parents[1] / "build" / "bench-floor" / f"{NAME}{suffix}"
    if not target.exists() or target.stat().st_mtime < SOURCE.stat().st_mtime:
        target.parent.mkdir(parents=True, exist_ok=True)
        include = sysconfig.get_paths()["include"]
        subprocess.run(["c++", *FLAGS, f"-I{include}", "-o", str(target), str(SOURCE)], check=True)
    return target


def load() -> ModuleType:
    """The floor module, built first when needed."""
    found = importlib.util.spec_from_file_location(NAME, built())
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
