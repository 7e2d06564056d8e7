"""Installing like a Python package: the source distribution, built into an abi3
wheel by pip offline, gives a virtual environment the module, the auditor's tool
and types that mypy finds.

The install goes into a throwaway virtual environment that sees the system's
packages (pip, setuptools, wheel, mypy), so the machine's Python is left alone.
"""

import ast
import inspect
import os
import subprocess
import sys
import tarfile
from pathlib import Path
from types import SimpleNamespace

import pytest

from quorvel_ledger_rs import QuorvelRecorder
from conftest import REPO_ROOT

MODULE = "quorvel_ledger_rs"
STUBS = MODULE + "-stubs"
VERSION = (REPO_ROOT / "VERSION").read_text().strip()

CHECK = """
import importlib.metadata, os, sys
import quorvel_ledger_rs
from quorvel_ledger_rs import QuorvelRecorder
recorder = QuorvelRecorder(sys.argv[1])
recorder.commit_truth("alice", 1.5, "hello")
recorder.commit_truth("bob", -2, "world")
print(quorvel_ledger_rs.__file__)
print(recorder.verify_integrity())
print(importlib.metadata.version("quorvel_ledger_rs"))
"""


def clean_env():
    """The environment without anything that would make the repository's build
    or stub visible to the installed interpreter."""
    return {key: value for key, value in os.environ.items()
            if key not in ("PYTHONPATH", "MYPYPATH")}


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A fresh venv into which pip installed the project from its source
    distribution: its python, bin/ and site-packages, and the archive."""
    work = tmp_path_factory.mktemp("install")
    # The egg-info goes to the work directory, so the checkout stays clean.
    subprocess.run([sys.executable, "setup.py", "-q", "egg_info", "--egg-base", str(work),
                    "sdist", "-d", str(work / "dist")],
                   cwd=REPO_ROOT, check=True, capture_output=True, timeout=300)
    (sdist,) = (work / "dist").glob(MODULE + "-*.tar.gz")
    venv = work / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(venv)], check=True)
    python = venv / "bin" / "python"
    result = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation",
                             "--no-index", "--no-deps", "--no-cache-dir", str(sdist)],
                            cwd=work, env=clean_env(), capture_output=True, text=True,
                            timeout=900)
    assert result.returncode == 0, result.stdout + result.stderr
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    return SimpleNamespace(python=python, bin=venv / "bin", site=Path(site), sdist=sdist)


def test_sdist_builds_an_abi3_wheel_with_module_tool_and_stubs(installed):
    site = installed.site
    with tarfile.open(installed.sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    # Only what the build reads and the documents; no build output.
    assert {"VERSION", "LICENSE", "CMakeLists.txt", "src/python/module.cpp",
            "tools/cli/main.cpp", STUBS + "/__init__.pyi"} <= names
    assert not [name for name in names if name.startswith("build/") or name.endswith(".so")]

    (info,) = site.glob(MODULE + "-*.dist-info")
    wheel = (info / "WHEEL").read_text().splitlines()
    assert "Tag: cp36-abi3-linux_x86_64" in wheel
    assert "Root-Is-Purelib: false" in wheel
    metadata = (info / "METADATA").read_text().split("\n\n", 1)[0].splitlines()
    for field in (f"Version: {VERSION}", "License: MIT", "License-File: LICENSE",
                  "Description-Content-Type: text/markdown"):
        assert field in metadata
    assert (site / (MODULE + ".abi3.so")).is_file()
    assert (site / STUBS / "__init__.pyi").is_file()
    assert not (site / (MODULE + ".pyi")).exists()  # one place for the types
    tool = installed.bin / "quorvel-ledger"
    assert tool.is_file() and os.access(tool, os.X_OK)
    assert tool.read_bytes()[:4] == b"\x7fELF"  # the native program, not a wrapper


def test_installed_module_and_tool_work_from_any_directory(installed, tmp_path):
    ledger = tmp_path / "audit.jsonl"
    result = subprocess.run([str(installed.python), "-c", CHECK, str(ledger)], cwd=tmp_path,
                            env=clean_env(), capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [str(installed.site / (MODULE + ".abi3.so")), "True",
                                          VERSION]

    # The tool on the environment's PATH, as an activated venv has it.
    env = clean_env()
    env["PATH"] = f"{installed.bin}{os.pathsep}{env.get('PATH', '')}"
    version = subprocess.run(["quorvel-ledger", "--version"], cwd=tmp_path, env=env,
                             capture_output=True, text=True)
    assert version.returncode == 0, version.stderr
    assert version.stdout.startswith(f"quorvel-ledger {VERSION} (")
    verify = subprocess.run(["quorvel-ledger", "verify", "--quiet", str(ledger)], cwd=tmp_path,
                            env=env, capture_output=True, text=True)
    assert (verify.returncode, verify.stderr) == (0, "")
    ledger.write_text(ledger.read_text().replace('"delta_i":1.5', '"delta_i":2.5'))
    verify = subprocess.run(["quorvel-ledger", "verify", "--quiet", str(ledger)], cwd=tmp_path,
                            env=env, capture_output=True, text=True)
    assert verify.returncode == 1


def test_installed_stub_matches_the_module(installed):
    tree = ast.parse((installed.site / STUBS / "__init__.pyi").read_text())
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


MYPY_CASES = [
    # (script, exit status, what the report must hold)
    ("from quorvel_ledger_rs import QuorvelRecorder\n"
     "recorder = QuorvelRecorder('audit.jsonl')\n"
     "signature: str = recorder.commit_truth('alice', 1, 'opening')\n"
     "recorder.commit_truth(actor='bob', delta=2.5, payload='paid')\n"
     "intact: bool = recorder.verify_integrity()\n",
     0, "Success: no issues found"),
    ("from quorvel_ledger_rs import QuorvelRecorder\n"
     "QuorvelRecorder('audit.jsonl').commit_truth(7, 1.5, 'opening')\n",
     1, 'Argument 1 to "commit_truth" of "QuorvelRecorder" has incompatible type "int"; '
        'expected "str"'),
    ("from quorvel_ledger_rs import QuorvelRecorder\n"
     "QuorvelRecorder('audit.jsonl').commit_truth('alice', '1.5', 'opening')\n",
     1, 'Argument 2 to "commit_truth" of "QuorvelRecorder" has incompatible type "str"'),
]


@pytest.mark.parametrize("script, status, expected", MYPY_CASES)
def test_mypy_finds_the_installed_types(installed, tmp_path, script, status, expected):
    (tmp_path / "script.py").write_text(script)
    result = subprocess.run([str(installed.python), "-m", "mypy", "--strict",
                             "--cache-dir", str(tmp_path / "cache"), "script.py"],
                            cwd=tmp_path, env=clean_env(), capture_output=True, text=True,
                            timeout=300)
    assert "Cannot find implementation or library stub" not in result.stdout
    assert result.returncode == status, result.stdout + result.stderr
    assert expected in result.stdout
