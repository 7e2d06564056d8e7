"""Builds quorvel_ledger_rs with CMake and packages it as an abi3 wheel.

The wheel holds the extension module, the auditor's tool quorvel-ledger as a
script (so an environment's bin/ has it) and the stub-only package
quorvel_ledger_rs-stubs with the module's types. Metadata is in pyproject.toml;
the version is read from VERSION, as CMake reads it for the tool.

Works offline with the system's setuptools and wheel, from a checkout or from
the source distribution (python3 setup.py sdist):

    python3 -m pip install --no-build-isolation .
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
# setuptools provides distutils (imported after it, also where Python has none).
from distutils.command.build_scripts import build_scripts  # noqa: E402

ROOT = Path(__file__).resolve().parent
MODULE = "quorvel_ledger_rs"
TOOL = "quorvel-ledger"
STUBS = MODULE + "-stubs"
# The oldest CPython whose stable ABI the module uses (Py_LIMITED_API in
# src/python/python_api.h); the wheel is tagged with it.
LIMITED_API_TAG = "cp36"
# The machine is shared; the build takes at most two jobs.
BUILD_JOBS = "2"


def cmake_build_dir(command):
    """The CMake build directory, under the build_ext command's temporary tree."""
    ext = command.get_finalized_command("build_ext")
    return Path(ext.build_temp).resolve() / "cmake"


class CMakeBuild(build_ext):
    """Builds the module and the tool in one CMake build directory and puts the
    module where setuptools packs it."""

    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = cmake_build_dir(self)
        # The project's module build, for the interpreter that runs pip; no
        # benchmarks (the source distribution does not carry them).
        subprocess.run([str(ROOT / "scripts" / "build-module"), str(build_dir),
                        "-DPython3_EXECUTABLE=" + sys.executable,
                        "-DLEDGER_BUILD_BENCH=OFF"], check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", TOOL,
                        "-j", BUILD_JOBS], check=True)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / (MODULE + ".abi3.so"), target)


class ToolScript(build_scripts):
    """Takes the tool that CMakeBuild built as the wheel's one script. The tool
    is a native program: it is copied as it is, never given a Python shebang."""

    def get_source_files(self):
        return []  # built, not shipped: the sources are CMake's

    def run(self):
        self.run_command("build_ext")
        built = cmake_build_dir(self) / "tools" / TOOL
        self.mkpath(self.build_dir)
        target = os.path.join(self.build_dir, TOOL)
        self.copy_file(str(built), target)
        os.chmod(target, 0o755)
        self.outfiles = [target]

    def get_outputs(self):
        return [os.path.join(self.build_dir, TOOL)]


setup(
    ext_modules=[Extension(MODULE, sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild, "build_scripts": ToolScript},
    packages=[STUBS],
    package_data={STUBS: ["__init__.pyi"]},
    py_modules=[],
    scripts=[TOOL],
    options={
        "build": {"build_base": "build/py-setuptools"},
        "bdist_wheel": {"py_limited_api": LIMITED_API_TAG},
    },
)
