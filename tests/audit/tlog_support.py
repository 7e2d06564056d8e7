"""What the tests of keys, notes, checkpoints and proofs share: the tool to compare with, and ledgers."""

import os
import shutil
import subprocess
from pathlib import Path
from typing import List, Optional

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
# Fifteen lines: thirteen chained entries written by a recorder, and two blank
# lines (the 7th and the 12th), which are not leaves of the tree.
SAMPLE_LEDGER = REPO_ROOT / "tools" / "tests" / "data" / "tlog-ledger.jsonl"
SAMPLE_LINES = SAMPLE_LEDGER.read_bytes().splitlines(keepends=True)


def _find_tool() -> Optional[str]:
    import quorvel_ledger_audit
    named = os.environ.get("QUORVEL_LEDGER_TOOL")
    if named:
        return named
    beside = Path(quorvel_ledger_audit.__file__).resolve().parents[2] / "tools" / "quorvel-ledger"
    for candidate in (beside, REPO_ROOT / "build" / "default" / "tools" / "quorvel-ledger"):
        if os.access(str(candidate), os.X_OK):
            return str(candidate)
    return None


TOOL = _find_tool()


def run_tool(*args: str, cwd: Optional[Path] = None) -> subprocess.CompletedProcess:
    """Runs quorvel-ledger with `args`; its output as text."""
    if TOOL is None:
        pytest.fail("no quorvel-ledger to compare with: set QUORVEL_LEDGER_TOOL or build the "
                    "target quorvel-ledger in the package's build directory")
    return subprocess.run([TOOL] + list(args), cwd=None if cwd is None else str(cwd),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def tool_error(ran: subprocess.CompletedProcess) -> str:
    """The one error line the tool printed on standard error, without its program name."""
    assert ran.stderr.startswith("quorvel-ledger: "), ran.stderr
    return ran.stderr[len("quorvel-ledger: "):].rstrip("\n")


def write_ledger(path: Path, lines: int = len(SAMPLE_LINES), tail: bytes = b"") -> Path:
    """A ledger of the sample's first `lines` lines, then `tail`."""
    path.write_bytes(b"".join(SAMPLE_LINES[:lines]) + tail)
    return path


def tool_checkpoint(ledger: Path, *args: str) -> str:
    """The note `quorvel-ledger checkpoint ARGS LEDGER` prints; it must succeed."""
    ran = run_tool("checkpoint", *(list(args) + [str(ledger)]))
    assert ran.returncode == 0, ran.stderr
    return ran.stdout


def tool_keys(directory: Path, name: str = "example.com/books") -> List[Path]:
    """[signer key, verifier key] made by the tool's keygen in `directory`."""
    key, pub = directory / (name.replace("/", "_") + ".key"), directory / (name.replace("/", "_") + ".pub")
    ran = run_tool("keygen", "--name", name, "--key", str(key), "--pub", str(pub))
    assert ran.returncode == 0, ran.stderr
    return [key, pub]


def copy_as(source: Path, target: Path) -> Path:
    shutil.copyfile(str(source), str(target))
    return target
