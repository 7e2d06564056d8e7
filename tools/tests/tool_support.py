"""The built module and the quorvel-ledger program, for the tool's Python tests.

Both come from the environment (QUORVEL_MODULE_DIR, QUORVEL_LEDGER_CLI); a test
file that cannot have them is skipped as a whole, with the reason.
"""

import os
import sys

import pytest


def module_and_tool(purpose):
    """Imports quorvel_ledger_rs and returns it with the tool's path; `purpose`
    says what the module is for, in the reason of a skip."""
    directory = os.environ.get("QUORVEL_MODULE_DIR")
    if not directory:
        pytest.skip(f"QUORVEL_MODULE_DIR is not set: no module {purpose}", allow_module_level=True)
    sys.path.insert(0, directory)
    try:
        import quorvel_ledger_rs
    except ImportError as error:
        pytest.skip(f"cannot import quorvel_ledger_rs from {directory}: {error}", allow_module_level=True)
    tool = os.environ.get("QUORVEL_LEDGER_CLI")
    if not tool or not os.access(tool, os.X_OK):
        pytest.skip("QUORVEL_LEDGER_CLI does not name the quorvel-ledger program", allow_module_level=True)
    return quorvel_ledger_rs, tool
