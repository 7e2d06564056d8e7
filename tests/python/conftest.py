"""Shared set-up: find the built extension module and make it importable.

The module is taken from QUORVEL_MODULE_DIR (set by scripts/test-all), or from
build/py-helper/python in the repository. A module that cannot be imported
from there stops the whole run: the tests never fall back to another copy.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
MODULE_DIR = Path(
    os.environ.get("QUORVEL_MODULE_DIR", REPO_ROOT / "build" / "py-helper" / "python")
).resolve()

sys.path.insert(0, str(MODULE_DIR))
try:
    import quorvel_ledger_rs  # noqa: E402
except ImportError as error:
    raise RuntimeError(
        f"cannot import quorvel_ledger_rs from {MODULE_DIR} ({error}); build it first "
        "(scripts/test-all does) or point QUORVEL_MODULE_DIR at the directory holding "
        "quorvel_ledger_rs.abi3.so"
    ) from error
if Path(quorvel_ledger_rs.__file__).resolve().parent != MODULE_DIR:
    raise RuntimeError(f"quorvel_ledger_rs was imported from {quorvel_ledger_rs.__file__}, "
                       f"not from {MODULE_DIR}")


@pytest.fixture
def ledger_path(tmp_path):
    """Path (str) of a ledger file that does not exist yet."""
    return str(tmp_path / "ledger.jsonl")


@pytest.fixture
def recorder(ledger_path):
    return quorvel_ledger_rs.QuorvelRecorder(ledger_path)


def run_python(code, *, env_extra=None, timeout=120):
    """Runs `code` in a fresh interpreter that imports the module under test."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(MODULE_DIR)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=timeout)
