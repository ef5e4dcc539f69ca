"""Properties of the setters over arbitrary input, many examples in one child
interpreter: each call either stores the title under the store's rules and
shows it in the listing, or raises the argument parser's exception and leaves
the title as it was."""

import pickle
from dataclasses import dataclass

import pytest
from conftest import Child, child_env
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

PROPERTIES = settings(
    max_examples=300,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@dataclass(frozen=True)
class Text:
    """A str sent to the child as a piece and a repeat count, so that a title
    of megabytes costs a few bytes to describe."""

    piece: str
    repeat: int = 1

    def head(self) -> str:
        """The first 256 characters: all that a title cut at 255 bytes can
        hold, without making megabytes here too."""
        pieces = min(self.repeat, 256 // max(len(self.piece), 1) + 1)
        return (self.piece * pieces)[:256]


# Every code point, surrogates included, with the awkward ones made common.
CHARACTERS = st.one_of(
    st.characters(exclude_categories=()),
    st.sampled_from(["\0", "\ud800", "\udfff", "é", "東", "🐍", "\U0010ffff", "%", " "]),
)


def texts(**size) -> st.SearchStrategy[str]:
    # Joined by hand: st.text() leaves surrogates out whatever its alphabet.
    return st.lists(CHARACTERS, **size).map("".join)


TEXTS = st.one_of(
    st.builds(Text, texts(max_size=300)),
    # Around the 255-byte cut, where a character may straddle it.
    st.builds(lambda pad, tail: Text("a" * pad + tail), st.integers(240, 262), texts(max_size=8)),
    st.builds(Text, texts(min_size=1, max_size=4), st.integers(1, 2_000_000)),
)
NON_STR = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.complex_numbers(),
    st.binary(max_size=40),
    st.binary(max_size=40).map(bytearray),
    st.lists(st.text(max_size=5), max_size=3),
    st.tuples(st.text(max_size=5)),
    st.dictionaries(st.text(max_size=5), st.integers(), max_size=2),
    st.frozensets(st.integers(), max_size=3),
)
VALUES = st.one_of(TEXTS, NON_STR)
KEYWORD_NAMES = st.one_of(st.just("title"), texts(max_size=12))


def wire(value):
    return ("text", value.piece, value.repeat) if isinstance(value, Text) else ("other", value)


# In the child: rebuilds the call from its description, makes it, and answers
# with what it raised and the title read back.
ATTEMPT = """
import pickle, _setzentrave as z

def rebuild(item):
    return item[1] * item[2] if item[0] == "text" else item[1]

def attempt(payload):
    function, args, kwargs = pickle.loads(bytes.fromhex(payload))
    args = [rebuild(a) for a in args]
    kwargs = {k: rebuild(v) for k, v in kwargs.items()}
    call = getattr(z, function)
    try:
        result = call(*args, **kwargs)
    except Exception as error:
        raised = type(error).__name__
    else:
        assert result is None
        raised = None
    read = z.getzentrave if function == "setzentrave" else z.getthreadtitle
    return [raised, read()]
"""


@pytest.fixture(scope="module")
def prop_child():
    c = Child(env=child_env())
    c.exec(ATTEMPT)
    c.exec("z.setzentrave('before any example')")
    yield c
    c.close()


def whole_character_prefix(title: str, limit: int) -> str:
    """The longest prefix of `title` of at most `limit` UTF-8 bytes that ends
    between two characters."""
    encoded = title[: limit + 1].encode()
    if len(encoded) <= limit:
        return title
    cut = limit
    while (encoded[cut] & 0xC0) == 0x80:  # the byte at the cut continues a character
        cut -= 1
    return encoded[:cut].decode()


def expected_outcome(args: list, kwargs: dict):
    """(exception name, None) or (None, the Text to be stored)."""
    if len(args) == 1 and not kwargs:
        value = args[0]
    elif not args and list(kwargs) == ["title"]:
        value = kwargs["title"]
    else:
        return "TypeError", None  # none, too many, or a keyword other than title
    if not isinstance(value, Text):
        return "TypeError", None
    # A repeated piece encodes, and holds a NUL, exactly when the piece does.
    try:
        value.piece.encode()
    except UnicodeEncodeError:
        return "UnicodeEncodeError", None
    if "\0" in value.piece:
        return "ValueError", None
    return None, value


def call(c, function: str, args: list, kwargs: dict):
    payload = pickle.dumps(
        (function, [wire(a) for a in args], {k: wire(v) for k, v in kwargs.items()})
    ).hex()
    return c.eval(f"attempt({payload!r})")


def check_set(c, args: list, kwargs: dict) -> None:
    before = c.cmdline()
    raised, title = call(c, "setzentrave", args, kwargs)
    error, text = expected_outcome(args, kwargs)
    assert raised == error
    event(f"raised {raised}")  # shown by --hypothesis-show-statistics
    if text is not None and len(text.piece.encode()) * text.repeat > 255:
        event("cut" if len(text.piece) * text.repeat < 1_000_000 else "cut from a megabyte or more")
    if error is None:
        stored = whole_character_prefix(text.head(), 255)
        assert title == stored
        assert c.cmdline() == stored.encode() + b"\0"
    else:
        assert c.cmdline() == before  # the previous title is in place
        assert title.encode() + b"\0" == before


@PROPERTIES
@given(title=TEXTS)
def test_any_text_is_stored_cut_or_refused(prop_child, title):
    check_set(prop_child, [title], {})


@PROPERTIES
@given(value=NON_STR)
def test_any_other_value_is_refused(prop_child, value):
    check_set(prop_child, [value], {})


@PROPERTIES
@given(args=st.lists(VALUES, max_size=3), kwargs=st.dictionaries(KEYWORD_NAMES, VALUES, max_size=3))
def test_any_arguments_and_keywords(prop_child, args, kwargs):
    check_set(prop_child, args, kwargs)


@PROPERTIES
@given(title=TEXTS)
def test_any_thread_title_is_named_cut_or_refused(prop_child, title):
    before = prop_child.eval("z.getthreadtitle()")
    raised, name = call(prop_child, "setthreadtitle", [title], {})
    error, text = expected_outcome([title], {})
    assert raised == error
    assert name == (before if error else whole_character_prefix(text.head(), 15))


def test_the_prefix_rule_on_known_cuts():
    assert whole_character_prefix("a" * 300, 255) == "a" * 255
    assert whole_character_prefix("é" * 200, 255) == "é" * 127
    assert whole_character_prefix("ab" + "🐍" * 70, 255) == "ab" + "🐍" * 63
    assert whole_character_prefix("€" * 85, 255) == "€" * 85
    assert whole_character_prefix("", 255) == ""
