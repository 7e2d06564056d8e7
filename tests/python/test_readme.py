"""The README's Python examples run as written, against the module under test.

Each ```python block runs in a fresh interpreter in an empty directory. The
block that handles PanicException runs a second time with a clock that reads
before 1970, so that its handler is the path taken.
"""

import re

import pytest

from conftest import REPO_ROOT, run_python
from test_panic import clock_shim  # noqa: F401  (the fixture)

BLOCKS = re.findall(r"^```python\n(.*?)^```$", (REPO_ROOT / "README.md").read_text(),
                    re.MULTILINE | re.DOTALL)


def run_in(directory, code, env_extra=None):
    return run_python(f"import os\nos.chdir({str(directory)!r})\n" + code, env_extra=env_extra)


def test_readme_has_its_examples():
    assert len(BLOCKS) >= 3
    assert any("is_panic" in block for block in BLOCKS)


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(block, tmp_path):
    result = run_in(tmp_path, block)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert (tmp_path / "audit.jsonl").read_text().count("\n") == 1


def test_readme_panic_handler_catches_the_fault(clock_shim, tmp_path):  # noqa: F811
    (block,) = [block for block in BLOCKS if "is_panic" in block]
    flag = tmp_path / "clock-before-1970"
    flag.touch()
    result = run_in(tmp_path, block,
                    env_extra={"LD_PRELOAD": str(clock_shim), "CLOCK_SHIM_FLAG": str(flag)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ledger fault: system time before Unix epoch: ")
    assert "internal fault" in result.stderr  # the module's own report
    assert not (tmp_path / "audit.jsonl").exists()
