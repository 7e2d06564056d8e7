"""The wheel installs into a virtual environment of its own (no system
packages, nothing but pip in it) and works there: scripts/check-installed
writes, verifies and refuses a ledger with the installed module, audit package
and tool.

The wheel is QUORVEL_WHEEL (scripts/test-all builds it), or one built here.
"""

import os
import subprocess
from pathlib import Path

import pytest

from conftest import REPO_ROOT


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    given = os.environ.get("QUORVEL_WHEEL")
    if given:
        return Path(given)
    directory = tmp_path_factory.mktemp("wheel")
    subprocess.run(["/usr/bin/python3", "-m", "pip", "wheel", "--no-build-isolation",
                    "--no-deps", "--no-cache-dir", "-w", str(directory), str(REPO_ROOT)],
                   check=True, capture_output=True, timeout=1200)
    (built,) = directory.glob("quorvel_ledger_rs-*.whl")
    return built


def test_the_wheel_installs_and_works_in_a_bare_virtualenv(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    environment = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    install = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-cache-dir",
                              str(wheel)], capture_output=True, text=True, env=environment)
    assert install.returncode == 0, install.stdout + install.stderr
    check = subprocess.run([python, str(REPO_ROOT / "scripts" / "check-installed")],
                           cwd=tmp_path, capture_output=True, text=True, env=environment)
    assert check.returncode == 0, check.stdout + check.stderr
    assert check.stdout.splitlines()[-1].startswith(
        "check-installed: a ledger written, verified and, once changed, refused (module, ")

    # The package as in the checkout (its types too), with its native part.
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    assert package_files(Path(site) / "quorvel_ledger_audit") == package_files(
        REPO_ROOT / "quorvel_ledger_audit") | {"_native.abi3.so"}


def package_files(directory):
    return {path.name for path in directory.iterdir() if path.name != "__pycache__"}
