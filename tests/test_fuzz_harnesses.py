"""The libFuzzer harnesses (tests/fuzz): each builds, and a few seconds of
fuzzing from its seeds find nothing beyond raylib's known faults.

./dev check runs them for minutes each (tests/reliability/check.sh).
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys

import pytest

import support

RUN = support.REPO / "tests" / "fuzz" / "run.py"
SECONDS = 5
TYPES = ("wav", "ogg", "mp3", "qoa", "xm", "mod")


def _checked_run() -> bool:
    # The debug and sanitized suites of ./dev check: its own fuzz step runs
    # the harnesses at length.
    return hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.no_refleak
@pytest.mark.skipif(_checked_run(), reason="./dev check runs the harnesses in a step of its own")
@pytest.mark.skipif(shutil.which("clang++") is None, reason="libFuzzer needs clang")
def test_harnesses_find_nothing_new(tmp_path):
    done = subprocess.run(
        [sys.executable, os.fspath(RUN), "--seconds", str(SECONDS), "--out", os.fspath(tmp_path)],
        capture_output=True, text=True, timeout=1800, cwd=support.REPO,
    )
    ran = re.findall(r"^fuzz: (\w+): (\d+) inputs", done.stdout, re.MULTILINE)
    # Every harness ran, over its seeds at least.
    assert sorted(t for t, n in ran if int(n) > 0) == sorted(TYPES), done.stdout + done.stderr[-3000:]
    assert done.returncode == 0, done.stdout[-6000:] + done.stderr[-3000:]
