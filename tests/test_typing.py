"""The stubs match the modules, and typed code written against them checks."""

import subprocess
import sys

import pytest

from support import REPO

MODULES = ["lumabo.audio_stream.audio_stream", "lumabo.cursor.cursor", "lumabo.music.music",
           "lumabo.sound.sound"]

pytest.importorskip("mypy")


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=REPO,
                          timeout=300)


def test_stubs_match_the_runtime() -> None:
    done = run("mypy.stubtest", *MODULES)
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_client_and_examples_check_strictly() -> None:
    done = run("mypy", "--strict", "--no-incremental", "tests/typing/client.py", "examples")
    assert done.returncode == 0, done.stdout + done.stderr
