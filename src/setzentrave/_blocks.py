"""Blocks that carry a title while they run, the process's (``titled``) or the
calling thread's (``thread_titled``), and on leaving set back the one that was
current when they began."""

from contextlib import ContextDecorator

from _setzentrave import getthreadtitle, getzentrave, setthreadtitle, setzentrave


class _Restoring(ContextDecorator):
    def __init__(self, title: str) -> None:
        self._title = title
        # One entry a block open on this object, so that the same object
        # entered again inside its own block restores in order.
        self._started_with: list[str] = []

    def _read(self) -> str:
        raise NotImplementedError

    def _write(self, title: str) -> None:
        raise NotImplementedError

    def __enter__(self) -> None:
        before = self._read()
        # A title the setter refuses raises here, before anything changed.
        self._write(self._title)
        self._started_with.append(before)

    def __exit__(self, *exc_info: object) -> None:
        self._write(self._started_with.pop())

    def _recreate_cm(self) -> "_Restoring":
        # Each call of a decorated function is a block of its own: calls on
        # several threads at once each restore what they began with.
        return type(self)(self._title)


class titled(_Restoring):
    """titled(title) -- Title the process for the length of a block.

    As ``with titled(title):`` or as the decorator ``@titled(title)``: sets the
    process title on entering and, on leaving (by an exception too, which then
    goes on unchanged), sets the title that was current on entering. Nested
    blocks restore in order. A title ``setzentrave`` refuses raises its
    exception on entering, before the block or the decorated function runs,
    and leaves the title as it was; so does a current title that cannot be
    read as text (a command line that is not UTF-8), which could not be set
    back.

    The title is the process's: blocks on several threads at once each set
    back, on leaving, the title that was current when they began, whatever
    the other threads set since. A block that ends while a block begun after
    it on another thread still runs sets a title that is no longer that
    block's, and the later block, on leaving, sets the earlier block's title.
    """

    def _read(self) -> str:
        return getzentrave()

    def _write(self, title: str) -> None:
        setzentrave(title)


class thread_titled(_Restoring):
    """thread_titled(name) -- Name the calling thread for the length of a block.

    As ``with thread_titled(name):`` or as the decorator
    ``@thread_titled(name)``: names the thread that enters and, on leaving
    (by an exception too, which then goes on unchanged), gives it back the name
    it had on entering. Nested blocks restore in order, and each thread's
    blocks restore that thread's own name. A name ``setthreadtitle`` refuses
    raises its exception on entering and leaves the name as it was; so does a
    current name that is not UTF-8 (given by other code), which could not be
    set back.
    """

    def _read(self) -> str:
        name = getthreadtitle()
        # Bytes that are not UTF-8 come back as surrogates, which the setter
        # refuses: refused here, before the block, not when it ends.
        name.encode()
        return name

    def _write(self, title: str) -> None:
        setthreadtitle(title)
