"""A short run through everything the module does, for the memory checkers in
tools/check-memory (valgrind, the leak sanitizer): setup, process titles of
every shape, thread titles from several threads, and every way a call can be
refused. Prints "workout done" when it got through."""

import threading

import _setzentrave as z

TITLES = [
    "",
    "a",
    "worker: idle",
    "x" * 255,
    "y" * 256,
    "z" * 5000,
    "ü" * 200,
    "\U0001f600" * 70,
    "100% done %s %n",
    "tab\there",
]

# The first call runs setup: the command line is found and becomes the title.
first = z.getzentrave()
assert isinstance(first, str)

for _ in range(20):
    for title in TITLES:
        z.setzentrave(title)
        assert z.getzentrave().encode() == title.encode()[: len(z.getzentrave().encode())]
z.setzentrave(title="by keyword")
assert z.getzentrave() == "by keyword"

REFUSED = [
    lambda: z.setzentrave(None),  # type: ignore[arg-type]
    lambda: z.setzentrave(b"bytes"),  # type: ignore[arg-type]
    lambda: z.setzentrave("nul\0inside"),
    lambda: z.setzentrave("lone \ud800 surrogate"),
    lambda: z.setzentrave(),  # type: ignore[call-arg]
    lambda: z.setzentrave("a", "b"),  # type: ignore[call-arg]
    lambda: z.setzentrave(name="x"),  # type: ignore[call-arg]
    lambda: z.setthreadtitle(None),  # type: ignore[arg-type]
    lambda: z.setthreadtitle("nul\0inside"),
    lambda: z.setthreadtitle("\udcff"),
    lambda: z.getzentrave("extra"),  # type: ignore[call-arg]
    lambda: z.getthreadtitle("extra"),  # type: ignore[call-arg]
]
for call in REFUSED:
    try:
        call()
    except (TypeError, ValueError, UnicodeError):
        pass
    else:
        raise AssertionError("a call that should be refused was accepted")
assert z.getzentrave() == "by keyword"


def worker(number: int) -> None:
    for i in range(200):
        z.setthreadtitle(f"w{number}-{i}-ééé")
        z.getthreadtitle()
        z.setzentrave(f"worker {number} step {i} " + "é" * (i % 130))
        z.getzentrave()


threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

z.setthreadtitle("main-thread-with-a-long-name")
assert z.getthreadtitle() == "main-thread-wit"
print("workout done", flush=True)
