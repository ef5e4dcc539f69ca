"""What the C library holds of the process: its environment vector and its
record of the program's name. The tests prepend this source to the programs
they run in the process under test."""

import ctypes
import os

libc = ctypes.CDLL(None)
libc.getenv.restype = ctypes.c_void_p


def c_environ() -> list[str]:
    vector = ctypes.POINTER(ctypes.c_char_p).in_dll(libc, "environ")
    strings, i = [], 0
    while vector[i] is not None:
        strings.append(vector[i].decode("utf-8", "surrogateescape"))
        i += 1
    return strings


def c_getenv_all() -> dict:
    values = {}
    for name in os.environ:
        address = libc.getenv(os.fsencode(name))
        values[name] = (
            None
            if address is None
            else ctypes.string_at(address).decode("utf-8", "surrogateescape")
        )
    return values


def program_names() -> list[str]:
    names = []
    for symbol in ("program_invocation_name", "program_invocation_short_name"):
        value = ctypes.c_char_p.in_dll(libc, symbol).value
        assert value is not None, f"{symbol} is a null pointer"
        names.append(value.decode("utf-8", "surrogateescape"))
    return names
