"""The reliability runs start scripts in child interpreters: a crash there
is a failed test here, not a dead test runner."""

from __future__ import annotations

from pathlib import Path

import pytest

from reliability.common import DEBUG_PYTHON


@pytest.fixture(scope="session")
def debug_python() -> Path:
    """The debug interpreter's venv with the package built for it (./dev
    builds it; skips elsewhere)."""
    if not DEBUG_PYTHON.exists():
        pytest.skip("no debug build (build/venv-dbg: ./dev test and ./dev check make it)")
    return DEBUG_PYTHON
