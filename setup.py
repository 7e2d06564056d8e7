"""Builds quorvel_ledger_rs with CMake and packages it as an abi3 wheel.

The wheel holds the extension module, the package quorvel_ledger_audit with its
native part, the auditor's tool quorvel-ledger as a script (so an
environment's bin/ has it) and the stub-only package quorvel_ledger_rs-stubs
with the module's types. Metadata is in pyproject.toml; the version is read
from VERSION, as CMake reads it for the tool.

Works offline with the system's setuptools and wheel, from a checkout or from
the source distribution (python3 setup.py sdist):

    python3 -m pip wheel --no-build-isolation --no-deps -w dist .
    python3 -m pip install --no-build-isolation .

How libcrypto is linked is build_ext's option link-crypto:
  static  (the default) libcrypto.a inside every native file, so that the wheel
          runs where no libcrypto is installed. The wheel is tagged
          manylinux_2_36_x86_64 when its native files keep to that policy
          (scripts/check-wheel's rules, which need readelf), linux_x86_64 with
          a warning when they do not (a build on a newer system).
  shared  the system's libcrypto: a wheel for machines like the build machine,
          tagged linux_x86_64. The source distribution's setup.cfg chooses it:
          whoever builds from source has libcrypto's development files, and
          the installed module then follows the system's libcrypto updates.
Set it in setup.cfg ([build_ext] link-crypto = shared) or on the command line
(setup.py build_ext --link-crypto=shared bdist_wheel).
"""

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist
# setuptools provides distutils (imported after it, also where Python has none).
from distutils import log  # noqa: E402
from distutils.command.build_scripts import build_scripts  # noqa: E402
from distutils.errors import DistutilsError, DistutilsOptionError  # noqa: E402

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 makes wheels only with the wheel package
    bdist_wheel = None

ROOT = Path(__file__).resolve().parent
MODULE = "quorvel_ledger_rs"
AUDIT = "quorvel_ledger_audit"
TOOL = "quorvel-ledger"
STUBS = MODULE + "-stubs"
# Each extension and where the CMake build puts it, under its build directory
# (the targets are the ones scripts/build-module builds).
BUILT_EXTENSIONS = {
    MODULE: Path("python") / (MODULE + ".abi3.so"),
    AUDIT + "._native": Path("python") / AUDIT / "_native.abi3.so",
}
LINK_CRYPTO = ("static", "shared")
# Written into the source distribution as its setup.cfg.
SOURCE_CONFIG = """\
# A build from this archive links the system's shared libcrypto; set
# link-crypto = static for a wheel that carries its own (see setup.py).
[build_ext]
link-crypto = shared
"""
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
    """Builds the modules and the tool in one CMake build directory and puts the
    modules where setuptools packs them."""

    # The name its options are looked up by when a command (bdist_wheel)
    # reinitialises it; without it the class's name is taken, under which
    # setup.cfg sets nothing.
    command_name = "build_ext"
    user_options = build_ext.user_options + [
        ("link-crypto=", None, "how libcrypto is linked: static (default) or shared"),
    ]

    def initialize_options(self):
        super().initialize_options()
        self.link_crypto = None

    def finalize_options(self):
        super().finalize_options()
        self.link_crypto = self.link_crypto or "static"
        if self.link_crypto not in LINK_CRYPTO:
            raise DistutilsOptionError("link-crypto must be static or shared, not %r"
                                       % self.link_crypto)

    def build_extensions(self):
        build_dir = cmake_build_dir(self)
        static = "ON" if self.link_crypto == "static" else "OFF"
        # The project's module build, for the interpreter that runs pip; no
        # benchmarks (the source distribution does not carry them).
        subprocess.run([str(ROOT / "scripts" / "build-module"), str(build_dir),
                        "-DPython3_EXECUTABLE=" + sys.executable,
                        "-DLEDGER_BUILD_BENCH=OFF", "-DLEDGER_STATIC_CRYPTO=" + static],
                       check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", TOOL,
                        "-j", BUILD_JOBS], check=True)
        for ext in self.extensions:
            target = Path(self.get_ext_fullpath(ext.name)).resolve()
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(build_dir / BUILT_EXTENSIONS[ext.name], target)


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


def wheel_checker():
    """scripts/check-wheel, imported as a module."""
    path = str(ROOT / "scripts" / "check-wheel")
    loader = importlib.machinery.SourceFileLoader("check_wheel", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_wheel",
                                                                             loader))
    loader.exec_module(module)
    return module


def policy_problems(checker, directory):
    """What the manylinux policy refuses in the native files under directory
    (paths relative to it), or why they could not be checked."""
    problems = []
    for path in sorted(Path(directory).rglob("*")):
        if not path.is_file() or path.is_symlink():
            continue
        with open(path, "rb") as candidate:
            if candidate.read(4) != checker.ELF_MAGIC:
                continue
        try:
            found = checker.native_problems(str(path))
        except checker.ReadelfError as error:
            return [str(error)]
        name = path.relative_to(directory).as_posix()
        problems += ["%s: %s" % (name, problem) for problem in found]
    return problems


if bdist_wheel is not None:
    class Wheel(bdist_wheel):
        """Tags a wheel whose libcrypto is linked in with the manylinux
        platform whose policy its native files keep to."""

        platform = None  # decided once, when the files are in place

        def get_tag(self):
            python, abi, platform = super().get_tag()
            if self.platform is None:
                self.platform = self.checked_platform(platform)
            return python, abi, self.platform

        def checked_platform(self, platform):
            link = self.get_finalized_command("build_ext").link_crypto
            if link != "static" or platform != "linux_x86_64":
                return platform
            checker = wheel_checker()
            problems = policy_problems(checker, self.bdist_dir)
            if not problems:
                return checker.PLATFORM
            log.warn("the wheel is tagged %s, not %s:\n  %s", platform, checker.PLATFORM,
                     "\n  ".join(problems))
            return platform
else:
    class Wheel(Command):
        """Stands for bdist_wheel where the wheel package is missing, to say so
        when anything (pip's metadata step, a wheel build) asks for it."""

        description = "build a wheel (needs the wheel package)"
        user_options = [("dist-dir=", "d", "directory to put the wheel in")]

        def initialize_options(self):
            self.dist_dir = None
            self.py_limited_api = None  # set by setup()'s options

        def finalize_options(self):
            raise DistutilsError(
                "building a wheel needs the 'wheel' package in the interpreter that runs "
                "setup.py (%s): install it there (pip install wheel, from the package "
                "index), or build the wheel with an interpreter that has it (Debian's "
                "/usr/bin/python3 with python3-wheel: /usr/bin/python3 -m pip wheel "
                "--no-build-isolation --no-deps -w dist .) and install that wheel"
                % sys.executable)

        def run(self):
            pass  # never reached: finalize_options refuses


class SourceArchive(sdist):
    """The source distribution, with a setup.cfg that links the system's
    libcrypto."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        config = os.path.join(base_dir, "setup.cfg")
        if os.path.exists(config):
            os.remove(config)  # a hard link to the checkout's file
        with open(config, "w") as written:
            written.write(SOURCE_CONFIG)


setup(
    ext_modules=[Extension(name, sources=[], py_limited_api=True)
                 for name in BUILT_EXTENSIONS],
    cmdclass={"build_ext": CMakeBuild, "build_scripts": ToolScript,
              "bdist_wheel": Wheel, "sdist": SourceArchive},
    packages=[AUDIT, STUBS],
    package_data={AUDIT: ["py.typed", "*.pyi"], STUBS: ["__init__.pyi"]},
    py_modules=[],
    scripts=[TOOL],
    options={
        "build": {"build_base": "build/py-setuptools"},
        "bdist_wheel": {"py_limited_api": LIMITED_API_TAG},
    },
)
