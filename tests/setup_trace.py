"""What a successful setup traces, checked against the process's memory layout
as the kernel reports it in /proc/PID/stat."""

import re

ADDRESS = "0x[0-9a-f]+"


def stat_field(pid: int, number: int) -> int:
    """Field `number` (1-based, as proc(5) counts) of /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    fields = text[text.rindex(")") + 2 :].split()  # the name may hold blanks
    return int(fields[number - 3])


def arguments(cmdline: bytes) -> list[str]:
    return [arg.decode() for arg in cmdline.split(b"\0")[:-1]]


# How the walk's start is traced: from environ[0], or, when environ[0] is not
# there (the first line tells why), from the kernel's record.
FROM_ENVIRON = ["found environ at @"]
KERNEL_START = "starting where the kernel put the environment, at @"
NOT_THERE = "environ[0] at @ is not where the kernel put the environment"
FROM_KERNEL = [NOT_THERE, KERNEL_START]
NO_STRINGS = ["environ pointer is NULL", KERNEL_START]


def walk_lines(args: list[str], start: list[str] = FROM_ENVIRON) -> list[str]:
    """The walk's lines for `args`, as patterns matching any address at @."""
    lines = (
        ["walking from environ to look for the arguments", *start]
        + [f"found argv[{i}] at @: {args[i]}" for i in range(len(args) - 1, 0, -1)]
        + ["argv[0] should be at @", f"found argv[0]: {args[0]}"]
    )
    return [re.escape(line).replace("@", ADDRESS, 1) for line in lines]


def _address(line: str) -> int:
    """The address a walk line gives."""
    found = re.search(ADDRESS, line)
    assert found, line
    return int(found.group(), 16)


def check_walk(
    lines: list[str], args: list[str], pid: int, start: list[str] = FROM_ENVIRON
) -> None:
    """`lines` are exactly the walk's success lines, and the addresses they give
    are where the kernel put the arguments and the environment."""
    patterns = walk_lines(args, start)
    assert len(lines) == len(patterns), lines
    for line, pattern in zip(lines, patterns, strict=True):
        assert re.fullmatch(pattern, line), (line, pattern)
    lines = lines[:1] + lines[len(start) :]  # the start's last line gives its address
    addresses = [_address(line) for line in lines[1:-1]]
    environment, found = addresses[0], addresses[1:-1][::-1]  # argv[1] first
    argv0 = addresses[-1]
    arg_start = stat_field(pid, 48)
    assert argv0 == arg_start
    assert environment == stat_field(pid, 50)  # env_start
    offset = arg_start
    for i, address in enumerate([argv0, *found]):
        assert address == offset, f"argv[{i}]"
        offset += len(args[i].encode()) + 1
    assert offset == environment


def check_interpreter_setup(
    lines: list[str], args: list[str], pid: int, start: list[str] = FROM_ENVIRON
) -> None:
    """A whole successful setup from the interpreter's arguments."""
    assert lines[:2] == ["reading argc/argv from Python main", f"found {len(args)} arguments"]
    check_walk(lines[2:], args, pid, start)
