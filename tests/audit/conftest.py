"""The audit package's tests run against one built copy of it.

The package comes from QUORVEL_AUDIT_DIR, else build/py-helper/python, put
first on sys.path; a run that would import another copy (the sources at the
repository's top, an installed one) stops. The tool, for the comparisons with
its reports, is QUORVEL_LEDGER_TOOL, else QUORVEL_LEDGER_CLI, else the one
built beside the package; tests that need it are skipped without it.
"""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_DIR = os.path.abspath(os.environ.get("QUORVEL_AUDIT_DIR")
                              or os.path.join(ROOT, "build", "py-helper", "python"))

sys.path.insert(0, PACKAGE_DIR)
import quorvel_ledger_audit  # noqa: E402
import quorvel_ledger_rs  # noqa: E402

for _module in (quorvel_ledger_audit, quorvel_ledger_rs):
    _where = os.path.abspath(_module.__file__)
    if not _where.startswith(PACKAGE_DIR + os.sep):
        raise pytest.UsageError("{} comes from {}, not from {}: the tests run against one build "
                                "(set QUORVEL_AUDIT_DIR)".format(_module.__name__, _where,
                                                                 PACKAGE_DIR))


def _tool():
    for variable in ("QUORVEL_LEDGER_TOOL", "QUORVEL_LEDGER_CLI"):
        if os.environ.get(variable):
            return os.environ[variable]
    return os.path.join(os.path.dirname(PACKAGE_DIR), "tools", "quorvel-ledger")


TOOL = os.path.abspath(_tool())


@pytest.fixture(scope="session")
def tool():
    """The quorvel-ledger program."""
    if not os.access(TOOL, os.X_OK):
        pytest.skip("no quorvel-ledger program at {} (set QUORVEL_LEDGER_TOOL)".format(TOOL))
    return TOOL
