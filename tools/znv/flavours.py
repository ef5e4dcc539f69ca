"""Every interpreter flavour the project is tested on, and the one door into each.

A flavour is a CPython build: "3.13", "3.13t" and the newest free-threaded
"3.Nt" live on the host (tools.znv.interpreters); "3.14" and "3.15", Debian's
own builds, live in the Debian sid root (tools.znv.root); "3.13-musl" lives on
the host with Zig's compilers for musl first on PATH (tools.znv.musl);
"3.13-aarch64", "3.14-aarch64" and "3.15-aarch64", Debian's arm64 builds,
live in virtual machines (tools.znv.vm).
world() says which; nothing else needs to know. Each has its venv at
.venv/<flavour>/ in the repository, with the module installed from the working
tree; inside the root and the VM the repository is at the same path, so that
path means the same on all sides (but runs only through command()).

ZNV_FLAVOURS="3.13 3.14" (or comma separated) limits every tool to some flavours.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TypeVar

from . import cross, interpreters, musl, root, venvs, vm
from .cache import log

T = TypeVar("T")


def in_root(flavour: str) -> bool:
    return flavour in root.MINORS


def world(flavour: str) -> str:
    """Where FLAVOUR lives: "host", "musl" (the host, entered with the musl
    toolchain first on PATH), "root" or "vm"."""
    if in_root(flavour):
        return "root"
    if flavour in musl.FLAVOURS:
        return "musl"
    return "vm" if flavour in vm.FLAVOURS else "host"


def names() -> list[str]:
    """The flavours a tool covers: ZNV_FLAVOURS, else every default flavour."""
    chosen = os.environ.get("ZNV_FLAVOURS", "").replace(",", " ").split()
    defaults = [*interpreters.default_flavours(), *musl.FLAVOURS, *root.MINORS, *vm.FLAVOURS]
    return chosen or defaults


def provision(flavour: str) -> None:
    """Make FLAVOUR's world and base interpreter (not its venv); seconds when
    they are made."""
    if world(flavour) == "vm":
        vm.provision(flavour)
    elif world(flavour) == "root":
        root.provision(refresh=interpreters.refresh())
    else:
        base_python(flavour)


def setup(flavour: str) -> None:
    """Provision FLAVOUR's interpreter and venv, and install the module from the
    working tree if it changed; raises if any of that fails. Seconds when
    everything is in place."""

    def enter(argv: Sequence[str | os.PathLike[str]]) -> list[str]:
        return command(flavour, argv)

    provision(flavour)
    if world(flavour) == "vm":
        # The guest only makes its venv: the host fills it (tools.znv.cross).
        version = vm.python_version(flavour)
        venvs.ensure(flavour, enter, base_python(flavour), version, cross.installer(flavour))
    else:
        venvs.ensure(flavour, enter, base_python(flavour))


def _ready(candidates: Sequence[str]) -> list[str]:
    done = []
    for flavour in candidates:
        try:
            setup(flavour)
            done.append(flavour)
        except Exception as error:  # one flavour's failure leaves the others usable
            log("flavours", f"{flavour}: not ready: {error}")
    return done


def ready() -> list[str]:
    """The flavours that are ready (see names()), provisioning them first when needed."""
    return _ready(names())


def host_flavours() -> list[str]:
    """The ready flavours that live on the host (see names()); no root is made."""
    return _ready([f for f in names() if world(f) == "host"])


def kept(flavour: str) -> contextlib.AbstractContextManager[None]:
    """Within it, FLAVOUR's world stays up between commands: a VM flavour's VM
    is booted once for all of them. Elsewhere there is nothing to keep."""
    return vm.kept(flavour) if world(flavour) == "vm" else contextlib.nullcontext()


def in_turn(
    flavours: Sequence[str], prepare: Callable[[str], T]
) -> Iterator[tuple[str, Future[T]]]:
    """Each of FLAVOURS in order, with PREPARE(flavour) under way or done, and
    its world kept (see kept()) until the next is asked for. PREPARE (making
    a venv: pip, on one CPU or waiting on the index) runs for the host's
    flavours two at a time from the start; for a VM flavour, only in its
    turn, so that nothing runs beside an emulated suite: its two virtual
    CPUs take both of the host's, and making the next VM ready beside one
    saved nothing that could be shown."""
    with ThreadPoolExecutor(2) as pool:
        futures = {f: pool.submit(prepare, f) for f in flavours if world(f) != "vm"}
        for flavour in flavours:
            with contextlib.ExitStack() as kept_world:
                if flavour not in futures:
                    try:
                        kept_world.enter_context(kept(flavour))
                        futures[flavour] = pool.submit(prepare, flavour)
                    except Exception as error:  # a VM that cannot boot fails its flavour only
                        futures[flavour] = Future()
                        futures[flavour].set_exception(error)
                yield flavour, futures[flavour]


def command(flavour: str, argv: Sequence[str | os.PathLike[str]]) -> list[str]:
    """ARGV as run in FLAVOUR's world: unchanged on the host; for a root flavour,
    chrooted in a private mount namespace with the repository at the same
    path, /tmp shared and the working directory kept (the repository's when
    the caller's is not visible inside); for a VM flavour, the same in a VM
    of its own, without /tmp. The environment passes through."""
    if world(flavour) == "root":
        return root.command(argv)
    if world(flavour) == "musl":
        return musl.command(argv)
    if world(flavour) == "vm":
        return vm.command(flavour, argv)
    return [str(arg) for arg in argv]


def pytest_workers(flavour: str) -> list[str]:
    """pytest arguments that spread the suite over FLAVOUR's CPUs (pytest-xdist):
    the VM's two, all of the host's."""
    return ["-n", "2" if world(flavour) == "vm" else "auto"]


def python(flavour: str) -> list[str]:
    """The argv prefix that runs FLAVOUR's venv interpreter (command() applied)."""
    return command(flavour, [venvs.venv_python(flavour)])


def base_python(flavour: str) -> list[str]:
    """FLAVOUR's base interpreter (not the venv), as an argv prefix for command();
    a host flavour is provisioned first if needed."""
    if world(flavour) == "root":
        return root.python(flavour)
    if world(flavour) == "musl":
        return [str(musl.provision())]
    if world(flavour) == "vm":
        return vm.python(flavour)
    return [str(interpreters.provision(flavour))]


def main(args: Sequence[str]) -> int:
    """tools/make-venvs [FLAVOUR...]: set up each flavour (default: all)."""
    failed = []
    for flavour in args or names():
        try:
            setup(flavour)
            log("venv", f"{flavour}: ready: .venv/{flavour}/bin/python")
        except Exception as error:  # every flavour gets its turn
            log("venv", f"{flavour}: FAILED: {error}")
            failed.append(flavour)
    if failed:
        log("venv", f"failed: {' '.join(failed)}")
    return 1 if failed else 0
