"""Builds the quorvel_ledger_rs extension with CMake and packages it as an abi3 wheel.

Driven by setuptools (see pyproject.toml); works offline with the system's
setuptools and wheel:

    python3 -m pip install --no-build-isolation .
"""

import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
MODULE = "quorvel_ledger_rs"
STUB = MODULE + ".pyi"
# The oldest CPython whose stable ABI the module uses (Py_LIMITED_API in
# src/python/python_api.h); the wheel is tagged with it.
LIMITED_API_TAG = "cp36"


class CMakeBuild(build_ext):
    """Builds the module through the project's CMake build and puts the type
    stub beside it, so both land in the wheel."""

    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = Path(self.build_temp).resolve() / "cmake"
        # The project's module build, for the interpreter that runs pip.
        subprocess.run([str(ROOT / "scripts" / "build-module"), str(build_dir),
                        "-DPython3_EXECUTABLE=" + sys.executable], check=True)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / (MODULE + ".abi3.so"), target)
        shutil.copyfile(ROOT / STUB, target.parent / STUB)


setup(
    ext_modules=[Extension(MODULE, sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    py_modules=[],
    options={
        "build": {"build_base": "build/py-setuptools"},
        "bdist_wheel": {"py_limited_api": LIMITED_API_TAG},
    },
)
