"""setup.py's refusals say what is wrong and what to do."""

import subprocess
import sys

import pytest

from conftest import REPO_ROOT

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
