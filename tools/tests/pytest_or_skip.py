"""Runs pytest with the given arguments, or reports the test skipped when this
interpreter has no pytest.

ctest runs the tool's Python tests through it (tools/tests/CMakeLists.txt),
with SKIP_RETURN_CODE set to SKIPPED, so that a build on a machine without
pytest shows them as skipped, with the reason in the test's output, instead of
failed.
"""

import sys

SKIPPED = 77

try:
    import pytest
except ImportError as error:
    print(f"skipped: {sys.executable} cannot import pytest ({error}); "
          "install it (Debian: python3-pytest) to run this test")
    sys.exit(SKIPPED)
sys.exit(pytest.main(sys.argv[1:]))
