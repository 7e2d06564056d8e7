"""Installing like a Python package: pip builds an abi3 wheel offline, with its stub.

The install goes into a throwaway virtual environment that sees the system's
packages (pip, setuptools, wheel), so the machine's Python is left alone.
"""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quorvel_ledger_rs import QuorvelRecorder
from conftest import REPO_ROOT

CHECK = """
import os, sys, tempfile
import quorvel_ledger_rs
from quorvel_ledger_rs import QuorvelRecorder
recorder = QuorvelRecorder(os.path.join(tempfile.mkdtemp(), "ledger.jsonl"))
recorder.commit_truth("alice", 1.5, "hello")
print(quorvel_ledger_rs.__file__)
print(recorder.verify_integrity())
"""


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """site-packages of a fresh venv into which pip installed the project."""
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(venv)], check=True)
    python = venv / "bin" / "python"
    result = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation",
                             "--no-index", "--no-deps", str(REPO_ROOT)],
                            capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout + result.stderr
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    return python, Path(site)


def test_pip_installs_an_abi3_wheel(installed):
    _, site = installed
    (info,) = site.glob("quorvel_ledger_rs-*.dist-info")
    wheel = (info / "WHEEL").read_text()
    assert "Tag: cp36-abi3-linux_x86_64" in wheel.splitlines()
    assert "Root-Is-Purelib: false" in wheel.splitlines()
    assert (site / "quorvel_ledger_rs.abi3.so").is_file()
    assert (site / "quorvel_ledger_rs.pyi").is_file()


def test_installed_module_imports_from_any_directory(installed, tmp_path):
    python, site = installed
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    result = subprocess.run([str(python), "-c", CHECK], cwd=tmp_path, env=env,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [str(site / "quorvel_ledger_rs.abi3.so"), "True"]


def test_installed_stub_matches_the_module(installed):
    _, site = installed
    tree = ast.parse((site / "quorvel_ledger_rs.pyi").read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    assert cls.name == "QuorvelRecorder"
    stubbed = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    assert set(stubbed) == {"__new__", "commit_truth", "verify_integrity"}

    def parameters(node):
        return [arg.arg for arg in node.args.args][1:]  # without cls / self

    assert parameters(stubbed["__new__"]) == list(inspect.signature(QuorvelRecorder).parameters)
    for name in ("commit_truth", "verify_integrity"):
        real = list(inspect.signature(getattr(QuorvelRecorder, name)).parameters)[1:]
        assert parameters(stubbed[name]) == real
    returns = {name: ast.unparse(node.returns) for name, node in stubbed.items()}
    assert returns == {"__new__": "'QuorvelRecorder'", "commit_truth": "str",
                       "verify_integrity": "bool"}
