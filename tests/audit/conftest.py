"""Shared set-up: the package quorvel_ledger_audit under test, and nothing else.

The package is taken from QUORVEL_AUDIT_DIR, or from build/py-helper/python in
the repository, inserted first on sys.path. A package that cannot be imported
from there stops the whole run: the tests never fall back to another copy.
"""

import os
import sys
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
PACKAGE_DIR = Path(
    os.environ.get("QUORVEL_AUDIT_DIR", REPO_ROOT / "build" / "py-helper" / "python")
).resolve()

sys.path.insert(0, str(PACKAGE_DIR))
try:
    import quorvel_ledger_audit  # noqa: E402
except ImportError as error:
    raise RuntimeError(
        "cannot import quorvel_ledger_audit from {} ({}); build it first "
        "(scripts/build-module DIR) or point QUORVEL_AUDIT_DIR at DIR/python".format(PACKAGE_DIR, error)
    ) from error
if Path(quorvel_ledger_audit.__file__).resolve().parent.parent != PACKAGE_DIR:
    raise RuntimeError("quorvel_ledger_audit was imported from {}, not from {}".format(
        quorvel_ledger_audit.__file__, PACKAGE_DIR))
