"""Shared by the hardening tests (properties, faults, crashes, stress).

QUORVEL_HARDEN chooses how hard they push: "short" (the default, for every
test run), "long" (scripts/harden --long) or "quick" (fewest iterations, for
runs under valgrind). QUORVEL_HARDEN_FIGURES, when set, names a file to which
each test appends one JSON line of the figures it measured, so that
scripts/harden can print them; QUORVEL_HARDEN_RUN names the run they belong to.
"""

import json
import os

from conftest import MODULE_DIR

MODE = os.environ.get("QUORVEL_HARDEN", "short")
if MODE not in ("quick", "short", "long"):
    raise RuntimeError(f"QUORVEL_HARDEN must be quick, short or long, not {MODE!r}")


def by_mode(quick, short, long):
    """The value for the current mode."""
    return {"quick": quick, "short": short, "long": long}[MODE]


def child_env(**extra):
    """Environment of a child interpreter that imports the module under test."""
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR), PYTHONDONTWRITEBYTECODE="1")
    env.update(extra)
    return env


def record_figures(name, **figures):
    """Appends the figures of one test to the file QUORVEL_HARDEN_FIGURES names."""
    target = os.environ.get("QUORVEL_HARDEN_FIGURES")
    if target:
        with open(target, "a", encoding="utf-8") as out:
            run = os.environ.get("QUORVEL_HARDEN_RUN", "tests")
            out.write(json.dumps({"test": f"{name} ({run}, {MODE})", **figures}) + "\n")
