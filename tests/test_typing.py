"""The stubs match the modules, and typed code written against them checks."""

import subprocess
import sys

import pytest

from support import REPO

pytest.importorskip("mypy")


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=REPO,
                          timeout=300)


def test_stubs_match_the_runtime() -> None:
    # The whole package: the extension modules' stubs and lumabo.device.
    done = run("mypy.stubtest", "lumabo")
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_client_examples_and_distrib_check_strictly() -> None:
    done = run("mypy", "--strict", "--no-incremental", "tests/typing/client.py", "examples", "distrib")
    assert done.returncode == 0, done.stdout + done.stderr
