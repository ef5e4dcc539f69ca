"""Entry point of the tools/ scripts: `python3 tools/znv/run.py MODULE ARGS...`
runs znv.MODULE's main(ARGS) under the host's python3."""

import importlib
import subprocess
import sys
from pathlib import Path

sys.path[0] = str(Path(__file__).resolve().parents[1])
try:
    from znv.cache import use_compiler_cache

    if sys.argv[1] != "door":  # the door runs the caller's program in the caller's environment
        use_compiler_cache()
    sys.exit(importlib.import_module(f"znv.{sys.argv[1]}").main(sys.argv[2:]))
except (RuntimeError, ValueError, subprocess.CalledProcessError) as error:
    # The failing step has said what went wrong; no traceback on top.
    print(f"ERROR: {error}", file=sys.stderr)
    sys.exit(1)
except KeyboardInterrupt:
    sys.exit(130)
