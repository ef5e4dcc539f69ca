"""Setting a title after the first is a copy into memory: no file I/O."""


def read_calls(pid: int) -> int:
    with open(f"/proc/{pid}/io") as f:
        return int(next(line for line in f if line.startswith("syscr:")).split()[1])


def reads_during(c, code: str) -> int:
    before = read_calls(c.pid)
    c.exec(code)
    return read_calls(c.pid) - before


def test_titles_after_the_first_read_no_files(child_factory):
    c = child_factory()
    c.exec("import _setzentrave as z")
    idle = reads_during(c, "pass")  # the driver's own reading of the request
    first = reads_during(c, "z.setzentrave('first')")
    assert first > idle  # the first title reads /proc/self: the measure sees it
    loop = reads_during(c, "for i in range(1000): z.setzentrave('title %d' % i * (i % 20))")
    assert loop == idle
