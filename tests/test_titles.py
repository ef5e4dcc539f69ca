"""Setting and reading the process title through the module's functions."""

import pytest
from conftest import ChildError

PARSE_FAILED = "failed to parse tuple and keywords"


def test_round_trip_by_position_and_by_keyword(child):
    child.exec("z.setzentrave('worker: idle')")
    assert child.eval("z.getzentrave()") == "worker: idle"
    child.exec("z.setzentrave(title='worker: busy')")
    assert child.eval("z.getzentrave()") == "worker: busy"
    assert child.eval("z.setzentrave('x')") is None


@pytest.mark.parametrize(
    "call, kind",
    [
        ("z.setzentrave()", "TypeError"),
        ("z.setzentrave('a', 'b')", "TypeError"),
        ("z.setzentrave(42)", "TypeError"),
        ("z.setzentrave(None)", "TypeError"),
        ("z.setzentrave(b'bytes')", "TypeError"),
        ("z.setzentrave('nul\\x00inside')", "ValueError"),
        ("z.setzentrave('lone \\udc80 surrogate')", "UnicodeEncodeError"),
        ("z.setzentrave(name='other keyword')", "TypeError"),
        ("z.setzentrave('a', title='both')", "TypeError"),
        ("z.setthreadtitle()", "TypeError"),
        ("z.setthreadtitle(b'bytes')", "TypeError"),
        ("z.setthreadtitle(name='x')", "TypeError"),
    ],
)
def test_wrong_arguments_raise_the_parsers_exception_and_leave_the_title(child, call, kind):
    child.exec("z.setzentrave('kept')")
    with pytest.raises(ChildError) as raised:
        child.exec(call)
    assert raised.value.kind == kind
    assert child.trace()[-1] == PARSE_FAILED
    assert child.eval("z.getzentrave()") == "kept"


@pytest.mark.parametrize(
    "call", ["z.getzentrave(1)", "z.getthreadtitle('x')", "z.getzentrave(title='x')"]
)
def test_getters_refuse_arguments_without_tracing(child, call):
    traced = len(child.trace())
    with pytest.raises(ChildError) as raised:
        child.exec(call)
    assert raised.value.kind == "TypeError"
    assert len(child.trace()) == traced


@pytest.mark.parametrize(
    "title, stored",
    [
        ("a" * 300, "a" * 255),
        ("b" * 255, "b" * 255),
        ("c" * 256, "c" * 255),
        ("", ""),
        ("100% %s %d %n %%", "100% %s %d %n %%"),
        ("été 東京 🐍", "été 東京 🐍"),
        ("é" * 200, "é" * 127),  # 400 bytes; the cut at 255 would split an 'é'
        ("x" + "é" * 200, "x" + "é" * 127),  # the cut falls between two characters
        ("€" * 100, "€" * 85),  # 255 bytes exactly
        ("ab" + "🐍" * 70, "ab" + "🐍" * 63),
    ],
)
def test_titles_are_kept_whole_up_to_255_bytes_and_cut_before_a_character(child, title, stored):
    child.exec(f"z.setzentrave({title!r})")
    assert child.eval("z.getzentrave()") == stored
    assert len(stored.encode()) <= 255


def test_documentation_strings(child):
    assert child.eval("z.__doc__") == "Allow customization of the process title."
    assert child.eval("z.setzentrave.__doc__") == "setzentrave(title) -- Change the process title."
    assert child.eval("z.getzentrave.__doc__") == "getzentrave() -- Get the current process title."
    assert child.eval("z.setthreadtitle.__doc__") == (
        "setthreadtitle(title) -- Change the thread title."
    )
    assert child.eval("z.getthreadtitle.__doc__") == "getthreadtitle() -- Return the thread title."
    assert child.eval("sorted(n for n in dir(z) if not n.startswith('__'))") == [
        "getthreadtitle",
        "getzentrave",
        "setthreadtitle",
        "setzentrave",
    ]


def test_thread_title_functions_answer(child):
    assert child.eval("z.setthreadtitle('pool-1')") is None
    assert child.eval("z.setthreadtitle(title='pool-2')") is None
    assert isinstance(child.eval("z.getthreadtitle()"), str)


def test_threads_setting_and_reading_at_once_always_read_a_whole_title(child):
    child.exec("""
import threading
titles = {f"[{n}:" + "é" * (n * 7) + f":{n}]" for n in range(1, 9)}
start = threading.Barrier(8)
seen = set()
def work(title):
    start.wait()
    for _ in range(2000):
        z.setzentrave(title)
        seen.add(z.getzentrave())
threads = [threading.Thread(target=work, args=(t,)) for t in titles]
for t in threads: t.start()
for t in threads: t.join()
""")
    assert child.eval("sorted(seen - titles)") == []
    assert child.eval("z.getzentrave() in titles") is True
