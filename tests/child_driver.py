"""Runs in a fresh interpreter started by the tests: executes the statements it
is sent on standard input, one JSON request a line, and answers each on
standard output, so a test can look at the process from outside between steps."""

import json
import os
import sys

protocol = os.fdopen(os.dup(1), "w", buffering=1)
sys.stdout = sys.stderr  # anything the code prints must not corrupt the answers
namespace: dict = {}

for line in sys.stdin:
    request = json.loads(line)
    answer: dict[str, object]
    try:
        if "exec" in request:
            exec(request["exec"], namespace)
            value = None
        else:
            value = eval(request["eval"], namespace)
    except BaseException as error:
        answer = {"error": [type(error).__name__, str(error)]}
    else:
        try:
            json.dumps(value)
            answer = {"value": value}
        except (TypeError, ValueError):  # values that JSON cannot carry come back as repr
            answer = {"value": repr(value)}
    protocol.write(json.dumps(answer) + "\n")
