"""Failed imports leave the module importable once the cause is gone, and
leave no reference behind."""

from __future__ import annotations

import importlib

import pytest

from reliability.common import explain, run_script

pytestmark = pytest.mark.no_refleak


def built(module: str) -> bool:
    """Whether the module defines its class yet (music and sound are still
    placeholders until they land)."""
    return hasattr(importlib.import_module(f"lumabo.{module}.{module}"), module.capitalize())


MODULES = [pytest.param(m, marks=pytest.mark.skipif(not built(m), reason=f"{m} not built yet"))
           for m in ("music", "sound", "cursor")]


@pytest.mark.parametrize("module", MODULES)
def test_failed_imports_then_import(module):
    done = run_script("reliability.imports", module)
    assert done.returncode == 0, explain(done)
    assert "imports and works once the causes are gone" in done.stderr


@pytest.mark.parametrize("module", MODULES)
def test_failed_imports_leak_nothing(module, debug_python):
    done = run_script("reliability.imports", module, "--hunt", "2:3", python=debug_python)
    assert done.returncode == 0, explain(done)
    assert "reference deltas [0, 0, 0], memory block deltas [0, 0, 0]" in done.stderr, done.stderr
