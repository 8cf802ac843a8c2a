"""Every Python snippet in the documentation runs as written.

Each document's snippets run in order in one fresh interpreter, in an empty
directory, with an X display for the window snippets.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import support

DOCS = [support.REPO / "README.md", *sorted((support.REPO / "docs").glob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def snippets(path: Path) -> str:
    return "\n".join(FENCE.findall(path.read_text()))


@pytest.fixture(scope="module")
def display():
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    proc, name = support.start_xvfb()
    try:
        yield name
    finally:
        support.stop_xvfb(proc)


@pytest.mark.parametrize("doc", [d for d in DOCS if snippets(d)], ids=lambda d: d.name)
def test_snippets_run(doc: Path, display: str, tmp_path: Path) -> None:
    env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", snippets(doc)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
