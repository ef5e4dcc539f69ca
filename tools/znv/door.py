"""tools/python FLAVOUR [ARGS...]: run FLAVOUR's interpreter, its venv with the
module installed from the working tree, setting it up first when needed.
tools/python --list: print the ready flavours, one a line."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from . import flavours


def main(args: Sequence[str]) -> int:
    if not args or args[0] in ("-h", "--help"):
        print(__doc__, file=sys.stderr)
        return 0 if args else 2
    if args[0] == "--list":
        print("\n".join(flavours.ready()))
        return 0
    flavour, rest = args[0], list(args[1:])
    try:
        flavours.setup(flavour)
    except Exception as error:
        print(f"tools/python: {flavour} is not ready: {error}", file=sys.stderr)
        return 1
    argv = [*flavours.python(flavour), *rest]
    os.execvp(argv[0], argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
