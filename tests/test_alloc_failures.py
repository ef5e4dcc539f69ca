"""No memory at each allocation the module makes, one at a time, through the
preloaded shim: no crash, a trace line telling what failed, the title calls
return normally (an exception left pending would make them fail), and the
environment and the program's name stay as they were."""

import json
import re
from pathlib import Path

import pytest
from conftest import child_env
from test_embedded import run_host

C_LIBRARY_VIEW = (Path(__file__).parent / "c_library_view.py").read_text()

# Runs in the process under test, before and after its first title calls.
SCENARIO = (
    C_LIBRARY_VIEW
    + """
import json

def listing():
    with open("/proc/self/cmdline", "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")

def environment():
    return [c_environ(), dict(os.environ), program_names(), os.getenv("HOME")]

import _setzentrave as z
before = environment()
listing_before = listing()
first = z.getzentrave()             # setup and the first title
z.setzentrave("after a failure")
report = {
    "first": first,
    "after": z.getzentrave(),
    "listing_before": listing_before,
    "listing_after": listing(),
    "environment_kept": environment() == before,
    "allocations": ctypes.c_long.in_dll(libc, "znv_shim_module_allocations").value,
}
"""
)

# The command line of the interpreter under test ends with an argument that
# holds a control byte, so that the trace shows it escaped, in a copy.
ARGUMENT = "tab\there"


def interpreter_run(child_factory, shim, nth: int):
    c = child_factory(
        ARGUMENT, env=child_env("1", LD_PRELOAD=str(shim), ZNV_TEST_FAIL_ALLOC=f"nth:{nth}")
    )
    c.exec(SCENARIO)
    return c.eval("report"), c.trace()


def embedded_run(host, shim, nth: int):
    program = SCENARIO + "print(os.getpid())\nprint(json.dumps(report))\n"
    _, printed, trace = run_host(
        host, program, LD_PRELOAD=str(shim), ZNV_TEST_FAIL_ALLOC=f"nth:{nth}"
    )
    return json.loads(printed[0]), trace


FAILED_SETUP = "failed to initialize setzentrave"
WALK_FAILED = ["couldn't find argv from environ", "get_argc_argv failed", FAILED_SETUP]

# The allocations in the order the module makes them, each with the trace
# lines its failure ends with (patterns), whether the first title is still
# the command line, and whether later titles still reach the listing.
INTERPRETER_ALLOCATIONS = {
    "copy of argv[0]": (
        [
            "found 3 arguments",
            r"couldn't get a copy of argv\[0\]",
            "get_argc_argv failed",
            FAILED_SETUP,
        ],
        False,
        True,
    ),
    "argument vector": (["can't malloc 3 args!", *WALK_FAILED], False, True),
    "escaped argument in the trace": (
        [
            r"found argv\[2\] at 0x[0-9a-f]+: \(text not shown: out of memory\)",
            r"found argv\[1\] at .*",
        ],
        True,
        True,
    ),
    "joined command line": ([r"found argv\[0\]: .*", FAILED_SETUP], False, True),
    "environment moved out": (
        [
            r"can't malloc \d+ bytes to move the environment: "
            "the process listing stays as it is"
        ],
        True,
        False,
    ),
}
EMBEDDED_ALLOCATIONS = {
    "copy of argv[0] from /proc": (
        [
            "arg0 strdup failed",
            "failed to get args from proc fs",
            "get_argc_argv failed",
            FAILED_SETUP,
        ],
        False,
        True,
    ),
    "argument vector": (["can't malloc 1 args!", *WALK_FAILED], False, True),
    "joined command line": ([r"found argv\[0\]: .*", FAILED_SETUP], False, True),
    "environment moved out": (
        [
            r"can't malloc \d+ bytes to move the environment: "
            "the process listing stays as it is"
        ],
        True,
        False,
    ),
}


def contains_run(trace: list[str], patterns: list[str]) -> bool:
    """Whether consecutive lines of `trace` match `patterns`, in order."""
    return any(
        all(re.fullmatch(p, line) for p, line in zip(patterns, trace[i:], strict=False))
        for i in range(len(trace) - len(patterns) + 1)
    )


def check(report: dict, trace: list[str], expected) -> None:
    lines, first_title_kept, listing_shows = expected
    assert contains_run(trace, lines), trace
    command_line = " ".join(report["listing_before"].split("\0")[:-1])
    # Normal results: a pending exception would have made these calls raise.
    assert report["first"] == (command_line if first_title_kept else "")
    assert report["after"] == "after a failure"
    listing = "after a failure\0" if listing_shows else report["listing_before"]
    assert report["listing_after"] == listing
    assert report["environment_kept"] is True


def test_the_interpreter_makes_these_allocations_and_no_other(child_factory, alloc_failure_shim):
    report, trace = interpreter_run(child_factory, alloc_failure_shim, 0)
    assert report["allocations"] == len(INTERPRETER_ALLOCATIONS)
    assert any(line.endswith(": tab\\x09here") for line in trace)  # the escaped copy
    assert trace[-1] == "setup was called more than once!"


@pytest.mark.parametrize(
    "nth, what",
    list(enumerate(INTERPRETER_ALLOCATIONS, start=1)),
    ids=list(INTERPRETER_ALLOCATIONS),
)
def test_no_memory_under_an_interpreter(child_factory, alloc_failure_shim, nth, what):
    report, trace = interpreter_run(child_factory, alloc_failure_shim, nth)
    check(report, trace, INTERPRETER_ALLOCATIONS[what])


def test_an_embedding_host_makes_these_allocations_and_no_other(embedded_host, alloc_failure_shim):
    report, _ = embedded_run(embedded_host, alloc_failure_shim, 0)
    assert report["allocations"] == len(EMBEDDED_ALLOCATIONS)


@pytest.mark.parametrize(
    "nth, what", list(enumerate(EMBEDDED_ALLOCATIONS, start=1)), ids=list(EMBEDDED_ALLOCATIONS)
)
def test_no_memory_under_an_embedding_host(embedded_host, alloc_failure_shim, nth, what):
    report, trace = embedded_run(embedded_host, alloc_failure_shim, nth)
    check(report, trace, EMBEDDED_ALLOCATIONS[what])


# Every call that allocates in the module's sources, file by file: a new one
# needs its failure added above.
ALLOCATING_CALLS = {
    "setup/argc_argv.cpp": 1,  # copy of argv[0]
    "setup/proc_cmdline.cpp": 1,  # copy of argv[0] from /proc
    "setup/locate_argv.cpp": 1,  # argument vector
    "debug/trace_text.cpp": 1,  # escaped text for the trace
    "setup/join_arguments.cpp": 1,  # joined command line
    "platform/linux/process_title.cpp": 1,  # environment moved out
}


def test_every_allocation_in_the_sources_is_failed_above():
    source = Path(__file__).resolve().parent.parent / "src"
    call = re.compile(r"\b(?:std::)?(?:malloc|calloc|realloc|strdup|strndup)\s*\(|\bnew\b")
    found = {}
    for path in sorted(source.rglob("*.[ch]*")):
        code = [
            line for line in path.read_text().splitlines() if not line.lstrip().startswith("//")
        ]
        count = sum(len(call.findall(line)) for line in code)
        if count:
            found[str(path.relative_to(source))] = count
    assert found == ALLOCATING_CALLS
