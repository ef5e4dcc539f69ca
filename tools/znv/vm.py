"""Debian arm64 virtual machines, for the flavours that need a real aarch64
kernel: emulating only the programs (qemu-user) is not enough, since the
argument area the kernel shows in /proc/PID/cmdline would be the emulator's,
not the program's.

qemu-system-aarch64 (software emulation) boots Debian trixie's arm64 kernel
into a root of the Debian suite that ships the flavour's interpreter: trixie
for 3.13, sid for 3.14 and 3.15. A root is made with debootstrap's first
stage; its packages are unpacked with dpkg-deb in place of the second stage,
whose maintainer scripts would need an arm64 machine. It is kept as an ext4
image that every VM mounts read-only under a layer in memory, so VMs run side
by side and leave it as it was.
A VM serves the door's commands (tools/python FLAVOUR ...): its init starts
a small agent that runs each job the host puts into a shared job directory,
in namespaces of its own (whatever a job leaves running dies with it, and
each has a fresh /tmp). A command boots a VM of its own (seconds) and stops
it when it ends, unless a tool keeps one running for a series of commands
(kept(): tools/test and tools/release, for each aarch64 flavour). Three 9p
shares from the host: the repository at the same path, the VM's job
directory, and the guest's ~/.cache, which keeps pip's cache and the tests'
tool venvs between boots. qemu dies with the tool that started it, however
that ends. The guest only runs: the module, the unit tests and its venv's
packages are built and installed by the host (tools.znv.cross).
"""

from __future__ import annotations

import contextlib
import ctypes
import hashlib
import lzma
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from pathlib import Path

from . import interpreters, root
from .cache import (
    CACHE,
    COMPILER_CACHE_ENV,
    LOGS,
    REPO,
    apt_install,
    locked,
    log,
    mark_complete,
    marker,
    run_step,
)

# The Debian suite of each guest interpreter. Trixie's root also gives the
# boot its kernel and busybox.
SUITES = {"3.13": "trixie", "3.14": "sid", "3.15": "sid"}
FLAVOURS = tuple(f"{minor}-aarch64" for minor in SUITES)
BOOT = CACHE / "vm" / "boot"
INITRD = BOOT / "initrd.cpio"
KERNEL_DEB = CACHE / "vm" / "linux-image-arm64.deb"
JOBS = CACHE / "vm" / "jobs"
GUEST_CACHE = CACHE / "vm" / "guest-cache"
MIRROR = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
HOST_PACKAGES = ["qemu-system-arm", "debootstrap", "debian-archive-keyring", "cpio", "e2fsprogs"]
# Each root's packages: the interpreters (the host builds the module and the
# unit tests for them: their headers are read from here) and what the tests
# call (ps, pgrep, unshare, a C compiler for the embedding host and the
# preloaded shims, Debian's uWSGI with its plugin for the suite's default
# interpreter). What only one root needs: trixie's gives the boot its kernel
# and busybox (which mounts the root and brings up the network); sid's has
# uWSGI's plugin sources, to build the plugin for the interpreter Debian builds
# none for.
_TESTED = ["g++", "procps", "ca-certificates", "uwsgi-core", "uwsgi-plugin-python3"]
_ONLY = {"trixie": ["busybox-static", "linux-image-arm64"], "sid": ["uwsgi-dev"]}
BOOT_SUITE = "trixie"


def _minors(suite: str) -> list[str]:
    return [minor for minor, of in SUITES.items() if of == suite]


def _packages(suite: str) -> list[str]:
    parts = ("", "-dev", "-venv")
    pythons = [f"python{minor}{part}" for minor in _minors(suite) for part in parts]
    return sorted([*pythons, *_TESTED, *_ONLY[suite]])


# The kernel's modules the guest loads (with what they need): the root's disk,
# its file system and the overlay that makes it writable, 9p over virtio for
# the shares, the network card. Virtio's PCI transport is built in.
MODULES = ("virtio_blk", "crc32c_generic", "ext4", "overlay", "9p", "9pnet_virtio", "virtio_net")
# Only installing needs these.
UNUSED = (
    "var/cache/apt",
    "var/lib/apt/lists",
    "usr/share/doc",
    "usr/share/man",
    "usr/share/locale",
)
BOOT_TIMEOUT = int(os.environ.get("ZNV_VM_BOOT_TIMEOUT", "180"))
TAG = "vm"
DOOR_FAILED = 125  # the door failed, not the command

# PID 1 of the initramfs: loads the modules, mounts the root's disk read-only
# under memory for what the guest writes, brings up user-mode networking
# (qemu's fixed addresses) and hands over to the root's init.
_STAGE1 = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /proc /dev /disk /memory /new
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod "/modules/$module"; done
mount -t ext4 -o ro /dev/vda /disk || { echo "no root on /dev/vda"; exit 1; }
mount -t tmpfs memory /memory
mkdir /memory/upper /memory/work
mount -t overlay root -o lowerdir=/disk,upperdir=/memory/upper,workdir=/memory/work /new
ip link set lo up
ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2
umount /proc
mount --move /dev /new/dev
exec switch_root /new /sbin/znv-init
"""

# PID 1 of the root: mounts the shares and starts the agent (with the newest
# interpreter the root has); the VM powers off if the agent ends.
_INIT = r"""#!/bin/sh
PATH=/usr/sbin:/usr/bin
export PATH
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm /run/znv-jobs /run/znv-repo /root/.cache
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
nine() { mount -t 9p -o "trans=virtio,version=9p2000.L,msize=524288,$3" "$1" "$2"; }
nine jobs /run/znv-jobs cache=none
nine repo /run/znv-repo cache=loose
nine cache /root/.cache cache=loose
for python in /usr/bin/python3.1?; do :; done
"$python" /run/znv-jobs/agent.py
echo o > /proc/sysrq-trigger
"""

# The guest's side of the door. A job is a directory job-* holding
# command.sh; the host makes it whole under another name and renames it, so
# the agent never sees half of one. Everything a job wrote to the shares is
# synced before its status appears: the host may stop the VM as soon as it
# sees the status.
_AGENT = r"""
import os, subprocess, threading, time

JOBS = "/run/znv-jobs"
# PID and mount namespaces of the job's own: what it leaves running dies with
# its shell, and its /tmp is new and goes with it. The repository is mounted
# at its host path after that, since the host's may lie under /tmp.
ISOLATED = ["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "sh", "-c"]
ISOLATED += [
    'repo=$(cat /run/znv-jobs/repo) && mount -t tmpfs tmp /tmp && mkdir -p "$repo"'
    ' && mount --bind /run/znv-repo "$repo" && exec sh "$0"'
]


def serve(job):
    # The shares are cached loosely (nothing revalidates): what the guest
    # read before a job is forgotten, so that the job sees what the host
    # changed since, as a VM of its own would.
    with open("/proc/sys/vm/drop_caches", "w") as caches:
        caches.write("3")
    with open(f"{job}/stdout", "wb") as out, open(f"{job}/stderr", "wb") as err:
        shell = subprocess.Popen(
            [*ISOLATED, f"{job}/command.sh"], stdin=subprocess.DEVNULL, stdout=out, stderr=err
        )
        while True:
            try:
                status = shell.wait(timeout=0.2)
                break
            except subprocess.TimeoutExpired:
                if os.path.exists(f"{job}/cancel"):  # its door went away
                    shell.kill()
    os.sync()
    with open(f"{job}/status.new", "w") as handle:
        handle.write(f"{128 - status if status < 0 else status}\n")
    os.rename(f"{job}/status.new", f"{job}/status")


open(f"{JOBS}/started", "w").close()
seen = set()
while True:
    for name in os.listdir(JOBS):
        if name.startswith("job-") and name not in seen:
            seen.add(name)
            threading.Thread(target=serve, args=(f"{JOBS}/{name}",)).start()
    time.sleep(0.05)
"""


def minor_of(flavour: str) -> str:
    return flavour.split("-")[0]


def _suite(flavour: str) -> str:
    return SUITES[minor_of(flavour)]


def _root(suite: str) -> Path:
    return CACHE / "vm" / f"{suite}-arm64"


def guest_root(flavour: str) -> Path:
    """The root (on the host) that holds FLAVOUR's interpreter."""
    return _root(_suite(flavour))


def _image(suite: str) -> Path:
    return CACHE / "vm" / "images" / suite / "root.ext4"


def python(flavour: str) -> list[str]:
    """The guest's interpreter of FLAVOUR, as an argv prefix for command()."""
    return [f"/usr/bin/python{minor_of(flavour)}"]


def python_version(flavour: str) -> str:
    """What stands for the guest interpreter's sys.version, read from the root
    without booting it: the version its headers give, and the root's packages."""
    tree = guest_root(flavour)
    header = (tree / f"usr/include/python{minor_of(flavour)}/patchlevel.h").read_text()
    version = re.search(r'#define PY_VERSION\s+"([^"]+)"', header)
    if not version:
        raise RuntimeError(f"no PY_VERSION in {tree}'s patchlevel.h")
    suite = _suite(flavour)
    return f"{version.group(1)} (Debian {suite} arm64: {marker(tree).get('packages')})"


def fast_python(minor: str, shares: Sequence[Path] = ()) -> list[str]:
    """An interpreter of the guest's MINOR at the host's speed, as an argv
    prefix, for what does not depend on the machine (bytecode): the host's
    3.13, or the sid root's 3.14 and 3.15, which sees the repository, /tmp
    and SHARES."""
    if minor in root.MINORS:
        root.provision()
        return root.command(root.python(minor), shares)
    return [str(interpreters.provision(minor))]


def command(flavour: str, argv: Sequence[str | os.PathLike[str]]) -> list[str]:
    """ARGV as run in a VM of FLAVOUR's (which must be provisioned): the one
    kept() keeps, else one of its own. The host side is this module's main()."""
    run_py = Path(__file__).with_name("run.py")
    return [sys.executable, str(run_py), "vm", flavour, *map(str, argv)]


def _recipe() -> str:
    recipe = _STAGE1 + _INIT + ";".join(MODULES)
    return hashlib.sha256(recipe.encode()).hexdigest()[:16]


def _root_ready(suite: str) -> bool:
    return marker(_root(suite)).get("packages") == ";".join(_packages(suite))


def _image_recipe(suite: str) -> str:
    """What SUITE's image is made from: the init it boots and its root's packages."""
    return f"{_recipe()} {';'.join(_packages(suite))}"


def _ready(suite: str) -> bool:
    return (
        _root_ready(BOOT_SUITE)
        and _root_ready(suite)
        and marker(BOOT).get("recipe") == _recipe()
        and marker(_image(suite).parent).get("made") == _image_recipe(suite)
    )


def provision(flavour: str) -> None:
    """Make the roots a VM of FLAVOUR needs (its suite's, and the boot's) once,
    and its initramfs and disk image again whenever what they are made of
    changed."""
    suite = _suite(flavour)
    if _ready(suite):
        return
    with locked("vm"):
        logfile = LOGS / "vm-root.log"
        for needed in dict.fromkeys([BOOT_SUITE, suite]):
            if not _root_ready(needed):
                _bootstrap(needed, logfile)
        if marker(BOOT).get("recipe") != _recipe():
            _make_boot()
        if marker(_image(suite).parent).get("made") != _image_recipe(suite):
            _make_image(suite, logfile)
        log(TAG, f"VM ready for {flavour}")


def _bootstrap(suite: str, logfile: Path) -> None:
    apt_install(TAG, HOST_PACKAGES)
    tree = _root(suite)
    log(TAG, f"making a Debian {suite} arm64 root in {tree} (log: {logfile})")
    shutil.rmtree(tree, ignore_errors=True)
    run_step(
        TAG,
        f"debootstrap {suite} (first stage)",
        [
            "debootstrap",
            "--foreign",
            "--arch=arm64",
            "--variant=minbase",
            f"--keyring={KEYRING}",
            f"--include={','.join(_packages(suite))}",
            suite,
            tree,
            MIRROR,
        ],
        logfile,
    )
    debs = sorted((tree / "var/cache/apt/archives").glob("*.deb"))
    log(TAG, f"unpacking {len(debs)} packages")
    for deb in debs:
        if deb.name.startswith("linux-image-6"):
            # The kernel stays out of the root: the guest needs only a few modules.
            shutil.copy(deb, KERNEL_DEB)
            continue
        _unpack(deb, tree)
    _configure(tree)
    for minor in _minors(suite):
        _compile_standard_library(tree, minor, logfile)
    mark_complete(tree, packages=";".join(_packages(suite)))


def _unpack(deb: Path, into: Path) -> None:
    # The root's /bin, /lib and /sbin are links into /usr: keep them.
    tar = f"tar -x --keep-directory-symlink -C {shlex.quote(str(into))}"
    subprocess.run(
        ["sh", "-c", f"dpkg-deb --fsys-tarfile {shlex.quote(str(deb))} | {tar}"], check=True
    )


def _make_boot() -> None:
    """The kernel and the initramfs, from the boot root."""
    shutil.rmtree(BOOT, ignore_errors=True)
    kernel = BOOT / "kernel"
    kernel.mkdir(parents=True)
    _unpack(KERNEL_DEB, kernel)
    _make_initrd(kernel)
    shutil.rmtree(kernel)
    mark_complete(BOOT, recipe=_recipe())


def _configure(tree: Path) -> None:
    """What the packages' maintainer scripts would have done, as far as the
    guest needs it."""
    proc = tree / "proc"  # debootstrap's link to the host's /proc
    if proc.is_symlink():
        proc.unlink()
    proc.mkdir(exist_ok=True)
    for unused in UNUSED:
        shutil.rmtree(tree / unused, ignore_errors=True)
    etc = tree / "etc"
    for name in ("passwd", "group"):
        shutil.copy(tree / f"usr/share/base-passwd/{name}.master", etc / name)
    (etc / "resolv.conf").unlink(missing_ok=True)
    (etc / "resolv.conf").write_text("nameserver 10.0.2.3\n")  # qemu's user-mode DNS
    (etc / "ssl/certs").mkdir(parents=True, exist_ok=True)
    shutil.copy("/etc/ssl/certs/ca-certificates.crt", etc / "ssl/certs/ca-certificates.crt")
    for link, target in (("awk", "mawk"), ("cc", "gcc"), ("c++", "g++")):
        path = tree / "usr/bin" / link
        if not path.exists() and (tree / "usr/bin" / target).exists():
            path.symlink_to(target)


def _compile_standard_library(tree: Path, minor: str, logfile: Path) -> None:
    """The standard library's bytecode, which Debian's postinst would compile:
    what a guest compiles itself stays in its memory and is lost with it.
    Bytecode does not depend on the machine: an interpreter of the same
    version at the host's speed makes it, for the guest's paths."""
    run_step(
        TAG,
        f"compiling the standard library of {minor}",
        [
            *fast_python(minor, shares=[tree]),
            *("-m", "compileall", "-q", "-j0", "-s", tree, "-p", "/"),
            tree / f"usr/lib/python{minor}",
        ],
        logfile,
    )


def _module_order(tree: Path, names: Sequence[str]) -> list[Path]:
    """The modules NAMES and everything they depend on, dependencies first."""
    found = {path.name.split(".ko")[0].replace("-", "_"): path for path in tree.rglob("*.ko*")}
    order: list[Path] = []

    def add(name: str) -> None:
        path = found[name.replace("-", "_")]
        if path in order:
            return
        depends = re.search(rb"\0depends=([^\0]*)", _module_bytes(path))
        for needed in depends.group(1).decode().split(",") if depends else []:
            if needed:
                add(needed)
        order.append(path)

    for name in names:
        add(name)
    return order


def _module_bytes(path: Path) -> bytes:
    return lzma.decompress(path.read_bytes()) if path.suffix == ".xz" else path.read_bytes()


def _make_initrd(kernel: Path) -> None:
    """The initramfs: busybox, the modules (uncompressed: busybox's insmod
    takes them so) and the first init."""
    staging = BOOT / "initrd"
    (staging / "bin").mkdir(parents=True)
    (staging / "modules").mkdir()
    shutil.copy(_root(BOOT_SUITE) / "usr/bin/busybox", staging / "bin/busybox")
    image = next((kernel / "boot").glob("vmlinuz-*"))
    shutil.copy(image, BOOT / "Image")  # arm64's is an uncompressed Image
    order = []
    for module in _module_order(kernel / "usr/lib/modules", MODULES):
        name = module.name.split(".ko")[0] + ".ko"
        (staging / "modules" / name).write_bytes(_module_bytes(module))
        order.append(name)
    (staging / "modules/order").write_text("\n".join(order) + "\n")
    (staging / "init").write_text(_STAGE1)
    (staging / "init").chmod(0o755)
    names = [str(path.relative_to(staging)) for path in staging.rglob("*")]
    with open(INITRD, "wb") as out:
        subprocess.run(
            ["cpio", "--quiet", "-o", "-H", "newc", "--null"],
            input="\0".join(names).encode(),
            stdout=out,
            cwd=staging,
            check=True,
        )
    shutil.rmtree(staging)


def _make_image(suite: str, logfile: Path) -> None:
    """SUITE's root as an ext4 image, read only in the guest: several VMs share
    it. Its init is the one this recipe boots."""
    tree, image = _root(suite), _image(suite)
    init = tree / "sbin/znv-init"
    init.write_text(_INIT)
    init.chmod(0o755)
    shutil.rmtree(image.parent, ignore_errors=True)
    image.parent.mkdir(parents=True)
    used = int(
        subprocess.run(
            ["du", "-sxb", tree], capture_output=True, text=True, check=True
        ).stdout.split()[0]
    )
    size_mb = used * 13 // 10 // 2**20 + 64
    run_step(
        TAG,
        f"making the {suite} root's disk image",
        [
            "mke2fs",
            "-q",
            "-F",
            "-t",
            "ext4",
            "-O",
            "^has_journal,^metadata_csum",
            "-i",
            "8192",
            "-d",
            tree,
            image,
            f"{size_mb}M",
        ],
        logfile,
    )
    mark_complete(image.parent, made=_image_recipe(suite))


def _share(name: str, path: Path) -> list[str]:
    escaped = str(path).replace(",", ",,")
    return [
        "-fsdev",
        f"local,id={name},path={escaped},security_model=passthrough",
        "-device",
        f"virtio-9p-pci,fsdev={name},mount_tag={name}",
    ]


# KASLR would force kernel page table isolation on (the emulated Cortex-A72 is
# not affected by Meltdown, so nothing else asks for it): a switch of page
# tables on every entry into the kernel, which emulation pays for dearly; a
# Python start takes 1.4 times as long with it, the aarch64 suite 1.3 times.
_KERNEL_ARGS = "console=ttyAMA0 panic=-1 quiet kpti=0"


def _qemu(vm_dir: Path, suite: str) -> list[str]:
    return [
        "qemu-system-aarch64",
        *("-M", "virt", "-cpu", "cortex-a72", "-smp", "2", "-m", "2048"),
        *("-nographic", "-monitor", "none", "-no-reboot"),
        *("-serial", f"file:{vm_dir / 'console.log'}"),
        *("-kernel", str(BOOT / "Image"), "-initrd", str(INITRD)),
        *("-drive", f"file={_image(suite)},format=raw,if=virtio,readonly=on"),
        *("-append", _KERNEL_ARGS),
        *_share("jobs", vm_dir),
        *_share("repo", REPO),
        *_share("cache", GUEST_CACHE),
        *("-netdev", "user,id=net", "-device", "virtio-net-pci,netdev=net,romfile="),
    ]


def _script(argv: Sequence[str]) -> str:
    """The job: the caller's directory when the repository holds it (nothing
    else of the host is there), the caller's environment, ARGV. The emulated
    guest compiles Python many times slower than the host, so it always keeps
    the bytecode of what it imports (in the venvs, on the shares), and pip
    leaves compiling to those imports instead of compiling all it installs.
    The guest's cache is its own ~/.cache (kept by the host), wherever the
    host's is; the host's compiler cache is not there."""
    cwd = os.getcwd()
    if not (cwd == str(REPO) or cwd.startswith(f"{REPO}/")):
        cwd = str(REPO)
    env = dict(os.environ, PIP_NO_COMPILE="1")
    for name in ("PYTHONDONTWRITEBYTECODE", "XDG_CACHE_HOME", KEPT, *COMPILER_CACHE_ENV):
        env.pop(name, None)
    assignments = [f"{name}={value}" for name, value in env.items()]
    words = ["exec", "env", "-i", *assignments, *argv]
    return f"cd {shlex.quote(cwd)} || exit {DOOR_FAILED}\n{shlex.join(words)}\n"


def _die_with_parent() -> None:
    # qemu must not outlive the tool, however the tool ends.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _clear_stale_vms() -> None:
    # A tool killed outright leaves its VM's directory (the VM died with it).
    for vm_dir in JOBS.glob("*-*"):
        if not Path(f"/proc/{vm_dir.name.split('-')[0]}").exists():
            shutil.rmtree(vm_dir, ignore_errors=True)


def _boot(flavour: str) -> tuple[Path, subprocess.Popen[bytes]]:
    """Start a VM of FLAVOUR's; returns its directory (the job share) and qemu.
    The VM is ready when its agent has written "started" there."""
    provision(flavour)
    JOBS.mkdir(parents=True, exist_ok=True)
    _clear_stale_vms()
    GUEST_CACHE.mkdir(parents=True, exist_ok=True)
    vm_dir = Path(tempfile.mkdtemp(prefix=f"{os.getpid()}-", dir=JOBS))
    (vm_dir / "repo").write_text(str(REPO))
    (vm_dir / "agent.py").write_text(_AGENT)
    with open(vm_dir / "qemu.log", "wb") as qemu_log:
        qemu = subprocess.Popen(
            _qemu(vm_dir, _suite(flavour)),
            stdin=subprocess.DEVNULL,
            stdout=qemu_log,
            stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent,
        )
    (vm_dir / "qemu.pid").write_text(str(qemu.pid))
    return vm_dir, qemu


def _stop(vm_dir: Path, qemu: subprocess.Popen[bytes]) -> None:
    qemu.kill()
    qemu.wait()
    shutil.rmtree(vm_dir, ignore_errors=True)


KEPT = "ZNV_KEPT_VM"  # "FLAVOUR DIRECTORY" of the VM kept() keeps


@contextlib.contextmanager
def kept(flavour: str) -> Iterator[None]:
    """While inside, the door runs FLAVOUR's commands in one VM, booted here and
    stopped on the way out, instead of booting one for each (seconds each)."""
    vm_dir, qemu = _boot(flavour)
    previous = os.environ.get(KEPT)
    os.environ[KEPT] = f"{flavour} {vm_dir}"
    try:
        yield
    finally:
        if previous is None:
            del os.environ[KEPT]
        else:
            os.environ[KEPT] = previous
        _stop(vm_dir, qemu)


def _kept_vm(flavour: str) -> Path | None:
    kept_flavour, _, vm_dir = os.environ.get(KEPT, "").partition(" ")
    return Path(vm_dir) if kept_flavour == flavour and Path(vm_dir).is_dir() else None


def _running(vm_dir: Path) -> bool:
    """Whether the VM's qemu runs: a dead one not yet reaped by the tool that
    started it does not."""
    try:
        stat = Path(f"/proc/{(vm_dir / 'qemu.pid').read_text()}/stat").read_text()
    except FileNotFoundError:
        return False
    return stat.rpartition(")")[2].split()[0] != "Z"


class _Follower:
    """Copies what the job writes to a file of the job directory to one of ours."""

    def __init__(self, path: Path, out: int) -> None:
        self.path, self.out, self.offset = path, out, 0

    def copy(self) -> None:
        try:
            with open(self.path, "rb") as handle:
                handle.seek(self.offset)
                data = handle.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        while data:
            data = data[os.write(self.out, data) :]


def _fail(vm_dir: Path, why: str) -> int:
    lines: list[str] = []
    for name in ("qemu.log", "console.log"):
        path = vm_dir / name
        if path.exists():
            lines += path.read_text(errors="replace").splitlines()
    tail = "\n".join(lines[-30:])
    print(f"tools/znv/vm: {why}; the end of its console:\n{tail}", file=sys.stderr)
    return DOOR_FAILED


def _submit(vm_dir: Path, argv: Sequence[str]) -> Path:
    """Hand ARGV to the VM's agent; returns the job's directory."""
    new = Path(tempfile.mkdtemp(prefix=".new-", dir=vm_dir))
    (new / "command.sh").write_text(_script(argv))
    job = vm_dir / f"job-{new.name.removeprefix('.new-')}"
    new.rename(job)
    return job


def _follow(vm_dir: Path, job: Path) -> int:
    followers = [_Follower(job / "stdout", 1), _Follower(job / "stderr", 2)]
    started = time.monotonic()
    booted = False
    while True:
        for follower in followers:
            follower.copy()
        status = job / "status"
        if status.exists():
            for follower in followers:
                follower.copy()
            return int(status.read_text())
        if not _running(vm_dir):
            return _fail(vm_dir, "the VM stopped before the command ended")
        if not booted:
            booted = (vm_dir / "started").exists()
            if not booted and time.monotonic() - started > BOOT_TIMEOUT:
                return _fail(vm_dir, f"the VM did not boot within {BOOT_TIMEOUT} s")
        time.sleep(0.05)


def run(flavour: str, argv: Sequence[str]) -> int:
    """Run ARGV in FLAVOUR's kept VM, or else in a VM of its own; its output
    goes to ours; returns its exit status."""
    vm_dir, own = _kept_vm(flavour), None
    if vm_dir is None:
        vm_dir, own = _boot(flavour)
    # A terminated door still stops its job, and its own VM (see _die_with_parent).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    job = _submit(vm_dir, argv)
    try:
        return _follow(vm_dir, job)
    except BrokenPipeError:
        # Whoever reads the output went away (`| head`): end as a program
        # killed by SIGPIPE would, with the job.
        return 128 + signal.SIGPIPE
    finally:
        if own is not None:
            _stop(vm_dir, own)
        elif (job / "status").exists():
            shutil.rmtree(job, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):  # unless the VM is gone
                (job / "cancel").touch()  # the agent kills the job; the VM stays


def main(args: Sequence[str]) -> int:
    """tools/znv/run.py vm FLAVOUR ARGV...: ARGV run in a VM of FLAVOUR's own."""
    if len(args) < 2 or args[0] not in FLAVOURS:
        print(f"usage: tools/znv/run.py vm {{{','.join(FLAVOURS)}}} ARGV...", file=sys.stderr)
        return 2
    return run(args[0], args[1:])
