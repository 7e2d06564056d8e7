"""The package's types hold under mypy --strict, for its own code and for a program using every public function."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel_ledger_audit
from tlog_support import REPO_ROOT

TOUR = REPO_ROOT / "examples" / "audit_tour.py"
PACKAGE_DIR = Path(quorvel_ledger_audit.__file__).resolve().parents[1]


def test_mypy_strict_passes_over_the_package_and_the_tour(tmp_path):
    # quorvel_ledger_rs's types are a stub-only package, found through MYPYPATH here.
    stubs = tmp_path / "stubs" / "quorvel_ledger_rs"
    stubs.mkdir(parents=True)
    shutil.copyfile(str(REPO_ROOT / "quorvel_ledger_rs-stubs" / "__init__.pyi"), str(stubs / "__init__.pyi"))
    env = dict(os.environ, MYPYPATH="{}{}{}".format(PACKAGE_DIR, os.pathsep, tmp_path / "stubs"))
    ran = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         str(PACKAGE_DIR / "quorvel_ledger_audit"), str(TOUR)],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=600)
    assert ran.returncode == 0, ran.stdout


def test_the_tour_runs():
    pytest.importorskip("quorvel_ledger_audit._audit")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_DIR))
    ran = subprocess.run([sys.executable, str(TOUR)], cwd=str(PACKAGE_DIR), env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                         timeout=120)
    assert ran.returncode == 0, ran.stderr
    assert "proven: entry 1 is in the tree of size 5, which extends the tree of size 3" in ran.stdout
