"""Shared set-up of the packaging tests: where the repository is."""

from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
