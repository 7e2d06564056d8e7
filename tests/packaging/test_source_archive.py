"""The source archive (python3 setup.py sdist) builds on its own: with a plain
CMake configure and build, and with scripts/build-module, which pip's install
of the archive runs. The archive carries neither the C++ tests nor the
benchmarks, so both builds must do without them.
"""

import os
import subprocess
import sys
import tarfile

import pytest

from conftest import REPO_ROOT

VERSION = (REPO_ROOT / "VERSION").read_text().strip()
IMPORT_BOTH = ("import quorvel_ledger_rs, quorvel_ledger_audit, quorvel_ledger_audit._native; "
               "print(quorvel_ledger_rs.__file__); print(quorvel_ledger_audit._native.__file__)")


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory):
    """The archive made from the checkout, unpacked: its top directory."""
    work = tmp_path_factory.mktemp("sdist")
    # The egg-info goes to the work directory, so the checkout stays clean.
    subprocess.run(["/usr/bin/python3", "setup.py", "-q", "egg_info", "--egg-base", str(work),
                    "sdist", "-d", str(work / "dist")],
                   cwd=REPO_ROOT, check=True, capture_output=True, timeout=300)
    (archive,) = (work / "dist").glob("quorvel_ledger_rs-*.tar.gz")
    with tarfile.open(archive) as tar:
        tar.extractall(work / "src")
    top = work / "src" / ("quorvel_ledger_rs-" + VERSION)
    assert not (top / "tests").exists() and not (top / "bench").exists()
    return top


def assert_imports_from(directory, cwd):
    """Both modules import from directory (run elsewhere than the checkout,
    whose package would come first)."""
    imported = run([sys.executable, "-c", IMPORT_BOTH], cwd=str(cwd),
                   env=dict(os.environ, PYTHONPATH=str(directory)))
    assert imported.stdout.splitlines() == [
        str(directory / "quorvel_ledger_rs.abi3.so"),
        str(directory / "quorvel_ledger_audit" / "_native.abi3.so")]


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=1200, **options)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result


def test_plain_cmake_builds_the_archive(unpacked, tmp_path):
    build = tmp_path / "build"
    configure = run(["cmake", "-S", str(unpacked), "-B", str(build)])
    for line in ("-- No tests/cpp: the C++ tests (the core's and the tool's, built on its "
                 "helpers) are not built", "-- No bench/: the benchmark helpers are not built"):
        assert line in configure.stdout.splitlines()
    run(["cmake", "--build", str(build), "-j", "2"])
    version = run([str(build / "tools" / "quorvel-ledger"), "--version"])
    assert version.stdout.startswith("quorvel-ledger %s (" % VERSION)
    assert_imports_from(build / "python", tmp_path)


def test_build_module_builds_the_archive(unpacked, tmp_path):
    build = tmp_path / "module"
    run([str(unpacked / "scripts" / "build-module"), str(build)])
    assert_imports_from(build / "python", tmp_path)
