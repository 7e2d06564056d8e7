"""Shared set-up: the package quorvel_ledger_audit under test, and nothing else.

The package (and the module quorvel_ledger_rs beside it) is taken from
QUORVEL_AUDIT_DIR, or from build/py-helper/python in the repository, inserted
first on sys.path. A package that cannot be imported from there stops the
whole run: the tests never fall back to another copy (the sources at the
repository's top, an installed one). The tool, for the comparisons with its
reports, is QUORVEL_LEDGER_TOOL, else QUORVEL_LEDGER_CLI, else the one built
beside the package; the tests of audit() and entries() that need it are
skipped without it (`tool` fixture).
"""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_DIR = os.path.abspath(os.environ.get("QUORVEL_AUDIT_DIR")
                              or os.path.join(ROOT, "build", "py-helper", "python"))

sys.path.insert(0, PACKAGE_DIR)
try:
    import quorvel_ledger_audit  # noqa: E402
    import quorvel_ledger_rs  # noqa: E402
except ImportError as error:
    raise RuntimeError(
        "cannot import quorvel_ledger_audit from {} ({}); build it first "
        "(scripts/build-module DIR) or point QUORVEL_AUDIT_DIR at DIR/python".format(PACKAGE_DIR, error)
    ) from error
for _module in (quorvel_ledger_audit, quorvel_ledger_rs):
    _where = os.path.abspath(_module.__file__)
    if not _where.startswith(PACKAGE_DIR + os.sep):
        raise RuntimeError("{} was imported from {}, not from {}".format(
            _module.__name__, _where, PACKAGE_DIR))


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
