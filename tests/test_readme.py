"""The README's Python examples run as written and print what it shows."""

import re
from pathlib import Path

import pytest
from conftest import run_python

README = Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.MULTILINE | re.DOTALL)

RUN_EXAMPLES = """
import doctest, sys
test = doctest.DocTestParser().get_doctest(sys.argv[1], {}, "README", "README.md", 0)
assert test.examples, "a block without examples"
runner = doctest.DocTestRunner()
runner.run(test)
sys.exit(1 if runner.failures else 0)
"""


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_a_readme_example_runs_as_written(block):
    done = run_python(RUN_EXAMPLES, block)
    assert done.returncode == 0, done.stdout + done.stderr
