"""setup.py: its refusals say what is wrong and what to do, and the wheel's
platform tag follows how libcrypto is linked and what its native files need."""

import os
import subprocess
import sys

import pytest

from conftest import REPO_ROOT

VERSION = (REPO_ROOT / "VERSION").read_text().strip()

# Runs setup.py with the given modules made unimportable.
RUN_SETUP = """
import runpy, sys
for name in sys.argv[1].split(","):
    if name:
        sys.modules[name] = None
sys.argv = ["setup.py"] + sys.argv[2:]
runpy.run_path("setup.py", run_name="__main__")
"""

REFUSALS = [
    # (modules made unimportable, setup.py's arguments, the last line it prints)
    (["wheel", "wheel.bdist_wheel"], ["bdist_wheel"],
     "error: building a wheel needs the 'wheel' package in the interpreter that runs setup.py "
     "(%s): install it there (pip install wheel, from the package index), or build the wheel "
     "with an interpreter that has it (Debian's /usr/bin/python3 with python3-wheel: "
     "/usr/bin/python3 -m pip wheel --no-build-isolation --no-deps -w dist .) and install that "
     "wheel" % sys.executable),
    ([], ["build_ext", "--link-crypto=dynamic"],
     "error: link-crypto must be static or shared, not 'dynamic'"),
]


@pytest.mark.parametrize("hidden, arguments, message", REFUSALS,
                         ids=["no wheel package", "unknown link-crypto"])
def test_setup_refuses_with_a_reason(hidden, arguments, message):
    result = subprocess.run([sys.executable, "-c", RUN_SETUP, ",".join(hidden), *arguments],
                            cwd=REPO_ROOT, capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == message


def compile_native(directory, name, *flags):
    source = directory / (name + ".c")
    source.write_text("int main(void) { return 0; }\nint PyInit_probe(void) { return 0; }\n")
    subprocess.run(["gcc", "-fPIC", "-o", str(directory / name), str(source), *flags],
                   check=True, capture_output=True)
    return directory / name


@pytest.fixture(scope="module")
def natives(tmp_path_factory):
    directory = tmp_path_factory.mktemp("natives")
    return {
        "plain": compile_native(directory, "plain.so", "-shared"),
        "libssl": compile_native(directory, "libssl.so", "-shared", "-Wl,--no-as-needed",
                                 "-lssl"),
        "tool": compile_native(directory, "tool"),
    }


TAGGING = [
    # (how libcrypto is linked, the module's kind, the wheel's tag, setup.py's warning)
    ("static", "plain", "cp36-abi3-manylinux_2_36_x86_64", []),
    ("static", "libssl", "cp36-abi3-linux_x86_64",
     ["the wheel is tagged linux_x86_64, not manylinux_2_36_x86_64:",
      "  quorvel_ledger_rs.abi3.so: needs libssl.so.3, which is not on the manylinux_2_36 "
      "list"]),
    ("shared", "plain", "cp36-abi3-linux_x86_64", []),
]


@pytest.mark.parametrize("link, module, tag, warning", TAGGING,
                         ids=["static, keeps to the policy", "static, needs libssl",
                              "shared"])
def test_the_wheel_is_tagged_manylinux_when_its_native_files_keep_to_the_policy(
        natives, tmp_path, link, module, tag, warning):
    # Packs native files built here instead of CMake's: the build's directories
    # (from the user's configuration file) hold them, and bdist_wheel skips the build.
    lib, scripts, home = tmp_path / "lib", tmp_path / "scripts", tmp_path / "home"
    for directory in (lib / "quorvel_ledger_audit", scripts, home):
        directory.mkdir(parents=True)
    (lib / "quorvel_ledger_rs.abi3.so").write_bytes(natives[module].read_bytes())
    (lib / "quorvel_ledger_audit" / "_native.abi3.so").write_bytes(natives["plain"].read_bytes())
    (scripts / "quorvel-ledger").write_bytes(natives["tool"].read_bytes())
    (home / ".pydistutils.cfg").write_text(
        "[build]\nbuild_base = %s\nbuild_lib = %s\nbuild_scripts = %s\n[build_ext]\n"
        "link_crypto = %s\n" % (tmp_path / "build", lib, scripts, link))
    result = subprocess.run(
        ["/usr/bin/python3", "setup.py", "-q", "egg_info", "--egg-base", str(tmp_path),
         "bdist_wheel", "--skip-build", "--bdist-dir", str(tmp_path / "bdist"),
         "--dist-dir", str(tmp_path / "dist")],
        cwd=REPO_ROOT, env=dict(os.environ, HOME=str(home)), capture_output=True, text=True,
        timeout=120)
    assert result.returncode == 0, result.stderr
    assert [path.name for path in (tmp_path / "dist").iterdir()] == [
        "quorvel_ledger_rs-%s-%s.whl" % (VERSION, tag)]
    lines = result.stderr.splitlines()
    start = [number for number, line in enumerate(lines) if line.startswith("the wheel is")]
    assert (lines[start[0]:start[0] + len(warning)] if start else []) == warning
