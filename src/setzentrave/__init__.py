"""Set the title a process shows in ps and top, read it back, and name threads.

The four functions are those of the extension module ``_setzentrave``, which
this package is built on, re-exported as they are. ``titled`` and
``thread_titled`` give the process or the calling thread a title for the
length of a block.
"""

from _setzentrave import getthreadtitle, getzentrave, setthreadtitle, setzentrave

__all__ = [
    "getthreadtitle",
    "getzentrave",
    "setthreadtitle",
    "setzentrave",
    "thread_titled",
    "titled",
]

# Importing this package loads the extension and nothing else: the blocks
# (which need contextlib) and the version (which needs importlib.metadata,
# each many times the extension's import) are loaded when first asked for.
# Type checkers see them as plain names; mypy knows TYPE_CHECKING without
# the typing module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._blocks import thread_titled, titled

    __version__: str
else:

    def __getattr__(name):
        if name in ("titled", "thread_titled"):
            from . import _blocks

            value = getattr(_blocks, name)
        elif name == "__version__":
            from importlib.metadata import version

            value = version("setzentrave")
        else:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        globals()[name] = value
        return value

    def __dir__():
        return sorted({*globals(), *__all__, "__version__"})
